#include "link/comms.h"

#include <algorithm>
#include <cstring>

#include "hid/raw_hid.h"

namespace zqk {

const char* const kDeviceLockName = "Vorlund_zq.keeper_Terminal_Mutex";

namespace {

std::unique_ptr<ReportDevice> PlatformDeviceUnlessGiven(std::unique_ptr<ReportDevice> hid)
{
    if (hid)
        return hid;
    return std::make_unique<TRawHid>();
}

}  // namespace

TzqComms::TzqComms(std::unique_ptr<ReportDevice> Hid, Clock& TimeSource, const std::string& LockName)
    : mutex_(LockName), clock_(TimeSource)
{
    HidBindAgain();
    hid_ = PlatformDeviceUnlessGiven(std::move(Hid));
}

TzqComms::~TzqComms() = default;

bool TzqComms::IsChannel(int32_t Channel) const
{
    return Channel >= 0 && Channel < kChannelCount;
}

// The device lock takes the access of the device's node: whoever may open
// the device may take its lock.
bool TzqComms::Open()
{
    const std::scoped_lock alone(input_, writing_);
    if (!hid_->Open(match_[0], match_[1], match_[2], match_[3]))
        return false;
    mutex_.AccessLike(hid_->DevicePath());
    return true;
}

void TzqComms::Close()
{
    const std::scoped_lock alone(input_, writing_);
    hid_->Close();
}

bool TzqComms::IsOpen() const
{
    const std::lock_guard<std::mutex> guard(writing_);
    return hid_->IsOpen();
}

bool TzqComms::HasSerialNumber()
{
    return !SerialNumber().empty();
}

bool TzqComms::Send(const std::string& Data, int32_t Channel, uint8_t Tag, int32_t Timeout)
{
    if (!IsChannel(Channel))
        return false;
    for (size_t offset = 0; offset < Data.size(); offset += kMaxPacketData) {
        const size_t n = std::min<size_t>(kMaxPacketData, Data.size() - offset);
        if (!WriteOne(MakePacket(static_cast<uint8_t>(Channel), Tag, Data.data() + offset, n), Timeout)) {
            bool gone = false;
            {
                const std::lock_guard<std::mutex> guard(writing_);
                gone = hid_->Gone();
            }
            if (gone)
                ForgetOwedTransfers();
            Close();
            return false;
        }
        if (Channel == 0)
            PayOwed(n);
    }
    return true;
}

void TzqComms::OweTransfer(const OwedTransfer& Owed)
{
    if (!mutex_.HeldByThisThread())
        return;
    owedBytes_ = Owed.Bytes;
    mutex_.RecordOwed(Owed.Bytes > 0 ? Owed : OwedTransfer {});
}

void TzqComms::SettleTransfer()
{
    OweTransfer(OwedTransfer {});
}

// Bytes of another thread, sent without the lock, are not counted: a count
// too high costs the next holder a few zero bytes as keys of its command
// line, which its escape drops; a count too low would leave the device
// waiting.
void TzqComms::PayOwed(size_t Bytes)
{
    if (!mutex_.HeldByThisThread() || owedBytes_ == 0)
        return;
    owedBytes_ -= static_cast<uint32_t>(std::min<size_t>(Bytes, owedBytes_));
    if (owedBytes_ == 0)
        mutex_.RecordOwed(OwedTransfer {});
    else
        mutex_.RecordOwedBytes(owedBytes_);
}

void TzqComms::ForgetOwedTransfers()
{
    if (!mutex_.HeldByThisThread())
        return;
    SettleTransfer();
    abandoned_.reset();
}

std::optional<OwedTransfer> TzqComms::TakeAbandonedTransfer()
{
    if (!abandoned_ || !mutex_.HeldByThisThread() || !IsOpen())
        return std::nullopt;
    std::optional<OwedTransfer> taken = std::move(abandoned_);
    abandoned_.reset();
    return taken;
}

bool TzqComms::WriteOne(const Packet& Report, int32_t Timeout)
{
    const std::lock_guard<std::mutex> oneWriter(writing_);
    return hid_->WriteReport(Report.data(), kPacketSize, Timeout) == kPacketSize;
}

TzqComms::ReadOutcome TzqComms::ReadOne(uint8_t* Report, int32_t Timeout)
{
    const int32_t n = hid_->ReadReport(Report, kPacketSize, Timeout);
    if (n <= 0)
        return ReadOutcome::Nothing;
    if (n != kPacketSize || Report[0] >= kChannelCount)
        return ReadOutcome::NotAPacket;
    ChannelBuffer& buffer = rxBuffers_[Report[0]];
    if (buffer.Size() < kRxBufferCap)
        buffer.Append(Report, kPacketSize);
    return ReadOutcome::Packet;
}

// The transport reports a device that went away but leaves the closing to
// the link, which holds both locks for it: nothing else moves a report on
// the handle that is being closed. Asked after a wait that brought nothing,
// not after every read: a device that is gone refuses every read at once.
bool TzqComms::CloseIfGoneHeld()
{
    if (!hid_->Gone())
        return false;
    ForgetOwedTransfers();
    const std::lock_guard<std::mutex> noWriter(writing_);
    hid_->Close();
    return true;
}

// The first report waited for up to Timeout, then what is waiting behind it
// without blocking.
TzqComms::ReadOutcome TzqComms::ReadBurstHeld(int32_t Timeout)
{
    uint8_t report[kPacketSize];
    ReadOutcome outcome = ReadOne(report, Timeout);
    if (outcome == ReadOutcome::Nothing)
        return outcome;
    for (ReadOutcome next = outcome; next != ReadOutcome::Nothing; next = ReadOne(report, 0)) {
        if (next == ReadOutcome::Packet)
            outcome = next;
    }
    return outcome;
}

bool TzqComms::Poll(int32_t Timeout)
{
    std::unique_lock<std::mutex> input(input_, std::defer_lock);
    return PollHeld(input, Timeout);
}

// Waits of more than 500 ms are cut into waits of 500 ms, between which
// other threads get their turn at the input.
bool TzqComms::PollHeld(std::unique_lock<std::mutex>& Input, int32_t Timeout)
{
    int32_t remaining = Timeout;
    for (;;) {
        const int32_t chunk = remaining <= 500 ? remaining : 500;
        if (!Input.owns_lock())
            Input.lock();
        const ReadOutcome outcome = ReadBurstHeld(chunk);
        if (outcome != ReadOutcome::Nothing)
            return outcome == ReadOutcome::Packet;
        if (CloseIfGoneHeld())
            return false;
        remaining -= chunk;
        if (remaining <= 0)
            return false;
        Input.unlock();
    }
}

void TzqComms::TakeFront(ChannelBuffer& Buffer, int32_t MaxCount, std::string& Data)
{
    uint8_t* packet = Buffer.Front();
    const uint8_t length = PacketDataLength(packet);
    uint8_t* data = packet + kPacketHeaderSize;
    if (MaxCount < 0 || length <= MaxCount) {
        Data.assign(reinterpret_cast<const char*>(data), length);
        Buffer.Consume(kPacketSize);
        return;
    }
    Data.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(MaxCount));
    std::memmove(data, data + MaxCount, static_cast<size_t>(length - MaxCount));
    packet[2] = static_cast<uint8_t>(length - MaxCount);
}

bool TzqComms::TakeWholePacket(int32_t Channel, int32_t MaxCount, std::string& Data)
{
    ChannelBuffer& buffer = rxBuffers_[Channel];
    if (buffer.Size() >= kPacketSize) {
        TakeFront(buffer, MaxCount, Data);
        return true;
    }
    buffer.Clear();  // less than a packet is a fragment and is thrown away
    return false;
}

bool TzqComms::Receive(int32_t Channel, int32_t Timeout, int32_t MaxCount, std::string& Data)
{
    if (!IsChannel(Channel))
        return false;
    Data.clear();
    const uint32_t start = Ticks();
    std::unique_lock<std::mutex> input(input_);
    for (;;) {
        if (!input.owns_lock())
            input.lock();
        ReadBurstHeld(0);  // a packet is never taken while an older one waits in the transport
        if (TakeWholePacket(Channel, MaxCount, Data))
            return true;
        if (!PollHeld(input, Timeout))
            return false;
        if (Timeout < 0)
            return true;
        // A packet that arrived during the last wait but after the deadline
        // stays buffered for the next call.
        if (Ticks() - start >= static_cast<uint32_t>(Timeout))
            return true;
    }
}

void TzqComms::ClearChannel(int32_t Channel)
{
    if (IsChannel(Channel))
        ClearBuffer(Channel);
}

void TzqComms::ClearBuffer(int32_t Channel)
{
    const std::lock_guard<std::mutex> guard(input_);
    rxBuffers_[Channel].Clear();
}

int32_t TzqComms::PollTimeout() const { return pollTimeout_; }
int32_t TzqComms::ExtraTimeout() const { return extraTimeout_; }

std::string TzqComms::SerialNumber()
{
    const std::lock_guard<std::mutex> guard(writing_);
    return AnsiFromUtf16(hid_->GetSerialNumberString());
}

std::string TzqComms::Manufacturer()
{
    const std::lock_guard<std::mutex> guard(writing_);
    return AnsiFromUtf16(hid_->GetManufacturerString());
}

std::string TzqComms::Product()
{
    const std::lock_guard<std::mutex> guard(writing_);
    return AnsiFromUtf16(hid_->GetProductString());
}

std::string TzqComms::IndexedString(int32_t Index)
{
    const std::lock_guard<std::mutex> guard(writing_);
    return AnsiFromUtf16(hid_->GetIndexedString(Index));
}

std::string TzqComms::IndexedStringProblem() const
{
    const std::lock_guard<std::mutex> guard(writing_);
    return hid_->IndexedStringProblem();
}

std::string TzqComms::DevicePath() const
{
    const std::lock_guard<std::mutex> guard(writing_);
    return hid_->DevicePath();
}

int32_t TzqComms::LastError() const
{
    const std::lock_guard<std::mutex> guard(writing_);
    return hid_->LastError();
}

bool TzqComms::ReadPending() const
{
    const std::lock_guard<std::mutex> guard(writing_);
    return hid_->ReadPending();
}
std::string TzqComms::DeviceString204() { return IndexedString(204); }
std::string TzqComms::DeviceString210() { return IndexedString(210); }
std::string TzqComms::DeviceString211() { return IndexedString(211); }
std::string TzqComms::DeviceString201() { return IndexedString(201); }
std::string TzqComms::DeviceString202() { return IndexedString(202); }
std::string TzqComms::DeviceString203() { return IndexedString(203); }

bool TzqComms::Lock(int32_t Timeout)
{
    const bool takesTheMutex = !mutex_.HeldByThisThread();
    if (!mutex_.Lock(Timeout)) {
        ++lockFailures_;
        return false;
    }
    ++lockCount_;
    if (takesTheMutex) {
        owedBytes_ = 0;
        const OwedTransfer left = mutex_.Owed();
        abandoned_ = left.What == OwedTransfer::Kind::None ? std::nullopt : std::optional<OwedTransfer>(left);
    }
    if (takesTheMutex && mutex_.PreviousHolderDied())
        DiscardUntilSilent();
    if (takesTheMutex && mutex_.HeldElsewhereMeanwhile())
        DiscardInput();
    return true;
}

// A holder that died may have left the device in the middle of its answer,
// a file read for instance, that goes on arriving after the lock was handed
// on. That conversation ends when the device falls silent; bounded, for a
// device that never does.
void TzqComms::DiscardUntilSilent()
{
    constexpr int32_t kSilenceMs = 100;
    constexpr uint32_t kMaxWaitMs = 5000;
    const std::lock_guard<std::mutex> oneReader(input_);
    if (!hid_->IsOpen())
        return;
    uint8_t report[kPacketSize];
    const uint32_t start = Ticks();
    while (hid_->ReadReport(report, kPacketSize, kSilenceMs) > 0 && Ticks() - start < kMaxWaitMs) {
    }
    CloseIfGoneHeld();
}

void TzqComms::DiscardInput()
{
    {
        const std::lock_guard<std::mutex> oneReader(input_);
        if (hid_->IsOpen())
            hid_->DiscardInput();
        CloseIfGoneHeld();
    }
    {
        const std::lock_guard<std::mutex> guard(input_);
        for (ChannelBuffer& buffer : rxBuffers_)
            buffer.Clear();
    }
    ++inputDiscards_;
}

void TzqComms::Unlock()
{
    --lockCount_;
    mutex_.Unlock();
}

bool TzqComms::HasData(int32_t Channel)
{
    if (!IsChannel(Channel))
        return false;
    if (Buffered(Channel) > 0)
        return true;
    return Poll(PollTimeout());
}

size_t TzqComms::Buffered(int32_t Channel) const
{
    if (!IsChannel(Channel))
        return 0;
    const std::lock_guard<std::mutex> guard(input_);
    return rxBuffers_[Channel].Size();
}

int32_t TzqComms::MatchValue(int32_t Index) const
{
    return Index >= 0 && Index < 4 ? match_[Index].load() : 0;
}

void TzqComms::SetMatchValue(int32_t Index, int32_t Value)
{
    if (Index >= 0 && Index < 4)
        match_[Index] = Value;
}

uint32_t TzqComms::Ticks() const
{
    return static_cast<uint32_t>(clock_.NowMs());
}

}  // namespace zqk
