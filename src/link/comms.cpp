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

bool TzqComms::Open()
{
    const std::unique_lock<std::shared_mutex> alone(hidUse_);
    return hid_->Open(match_[0], match_[1], match_[2], match_[3]);
}

void TzqComms::Close()
{
    const std::unique_lock<std::shared_mutex> alone(hidUse_);
    hid_->Close();
}

bool TzqComms::IsOpen() const
{
    const std::shared_lock<std::shared_mutex> use(hidUse_);
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
    failed_ = false;
    for (size_t offset = 0; offset < Data.size(); offset += kMaxPacketData) {
        const size_t n = std::min<size_t>(kMaxPacketData, Data.size() - offset);
        if (!WriteOne(MakePacket(static_cast<uint8_t>(Channel), Tag, Data.data() + offset, n), Timeout)) {
            failed_ = true;
            Close();
            return false;
        }
    }
    return true;
}

bool TzqComms::WriteOne(const Packet& Report, int32_t Timeout)
{
    const std::shared_lock<std::shared_mutex> use(hidUse_);
    return hid_->WriteReport(Report.data(), kPacketSize, Timeout) == kPacketSize;
}

TzqComms::ReadOutcome TzqComms::ReadOne(int32_t Timeout)
{
    uint8_t report[kPacketSize];
    const std::lock_guard<std::mutex> oneReader(reading_);
    const std::shared_lock<std::shared_mutex> use(hidUse_);
    const int32_t n = hid_->ReadReport(report, kPacketSize, Timeout);
    if (n <= 0)
        return ReadOutcome::Nothing;
    if (n != kPacketSize || report[0] >= kChannelCount)
        return ReadOutcome::NotAPacket;
    const std::lock_guard<std::mutex> guard(buffers_);
    ChannelBuffer& buffer = rxBuffers_[report[0]];
    if (buffer.Size() < kRxBufferCap)
        buffer.Append(report, kPacketSize);
    return ReadOutcome::Packet;
}

bool TzqComms::Poll(int32_t Timeout)
{
    bool arrived = false;
    int32_t remaining = Timeout;
    for (;;) {
        const int32_t chunk = remaining <= 500 ? remaining : 500;
        const ReadOutcome outcome = ReadOne(chunk);
        if (outcome == ReadOutcome::Nothing) {
            remaining -= chunk;
            if (remaining <= 0)
                break;
            continue;
        }
        arrived = arrived || outcome == ReadOutcome::Packet;
        remaining = 0;  // drain what is waiting without blocking
    }
    return arrived;
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

bool TzqComms::TakeFrontIfWhole(int32_t Channel, int32_t MaxCount, std::string& Data)
{
    const std::lock_guard<std::mutex> guard(buffers_);
    ChannelBuffer& buffer = rxBuffers_[Channel];
    if (buffer.Size() >= kPacketSize) {
        TakeFront(buffer, MaxCount, Data);
        return true;
    }
    buffer.Clear();  // less than a packet is a fragment and is thrown away
    return false;
}

void TzqComms::Receive(int32_t Channel, int32_t Timeout, int32_t MaxCount, std::string& Data)
{
    if (!IsChannel(Channel))
        return;
    failed_ = false;
    Data.clear();
    const uint32_t start = Ticks();
    for (;;) {
        Poll(0);
        if (TakeFrontIfWhole(Channel, MaxCount, Data))
            return;
        if (!Poll(Timeout)) {
            failed_ = true;
            return;
        }
        if (Timeout < 0)
            return;
        // A packet that arrived during the last wait but after the deadline
        // stays buffered for the next call.
        if (Ticks() - start >= static_cast<uint32_t>(Timeout))
            return;
    }
}

void TzqComms::ClearChannel(int32_t Channel)
{
    if (IsChannel(Channel))
        ClearBuffer(Channel);
}

void TzqComms::ClearBuffer(int32_t Channel)
{
    const std::lock_guard<std::mutex> guard(buffers_);
    rxBuffers_[Channel].Clear();
}

int32_t TzqComms::PollTimeout() const { return pollTimeout_; }
int32_t TzqComms::ExtraTimeout() const { return extraTimeout_; }

std::string TzqComms::SerialNumber()
{
    const std::shared_lock<std::shared_mutex> use(hidUse_);
    return AnsiFromUtf16(hid_->GetSerialNumberString());
}

std::string TzqComms::Manufacturer()
{
    const std::shared_lock<std::shared_mutex> use(hidUse_);
    return AnsiFromUtf16(hid_->GetManufacturerString());
}

std::string TzqComms::Product()
{
    const std::shared_lock<std::shared_mutex> use(hidUse_);
    return AnsiFromUtf16(hid_->GetProductString());
}

std::string TzqComms::IndexedString(int32_t Index)
{
    const std::shared_lock<std::shared_mutex> use(hidUse_);
    return AnsiFromUtf16(hid_->GetIndexedString(Index));
}

std::string TzqComms::DevicePath() const
{
    const std::shared_lock<std::shared_mutex> use(hidUse_);
    return hid_->DevicePath();
}

int32_t TzqComms::LastError() const
{
    const std::shared_lock<std::shared_mutex> use(hidUse_);
    return hid_->LastError();
}

bool TzqComms::ReadPending() const
{
    const std::shared_lock<std::shared_mutex> use(hidUse_);
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
    const std::lock_guard<std::mutex> oneReader(reading_);
    const std::shared_lock<std::shared_mutex> use(hidUse_);
    if (!hid_->IsOpen())
        return;
    uint8_t report[kPacketSize];
    const uint32_t start = Ticks();
    while (hid_->ReadReport(report, kPacketSize, kSilenceMs) > 0 && Ticks() - start < kMaxWaitMs) {
    }
}

void TzqComms::DiscardInput()
{
    {
        const std::lock_guard<std::mutex> oneReader(reading_);
        const std::shared_lock<std::shared_mutex> use(hidUse_);
        if (hid_->IsOpen())
            hid_->DiscardInput();
    }
    {
        const std::lock_guard<std::mutex> guard(buffers_);
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
    const std::lock_guard<std::mutex> guard(buffers_);
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
