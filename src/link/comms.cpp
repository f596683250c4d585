// The channel link's channels: opening and closing the transport, and the
// reports that move through it into the channel buffers and out of them.
#include "link/comms.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/failure_note.h"

namespace zqk {

TzqComms::TzqComms(std::unique_ptr<ReportDevice> Hid, Clock& TimeSource, const std::string& LockName,
                   bool TakeClassicLock)
    : lockBase_(LockName),
      classicLock_(TakeClassicLock && ClassicProgramsRunHere() ? std::make_unique<DeviceLock>(LockName) : nullptr),
      hid_(std::move(Hid)),
      trace_(TimeSource),
      clock_(TimeSource)
{
    // A device handed over open (a handle's) takes its own lock as one opened later does.
    if (hid_->IsOpen())
        UseLockOfOpenedDevice();
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
    UseLockOfOpenedDevice();
    pace_ = ReportPace();  // the device opened may send at a pace of its own
    trace_.Event("device opened");
    return true;
}

void TzqComms::Attach(std::unique_ptr<ReportDevice> Opened)
{
    std::unique_ptr<ReportDevice> old;
    {
        const std::scoped_lock alone(input_, writing_);
        old = std::exchange(hid_, std::move(Opened));
        ClearChannelBuffersHeld();  // what the device before sent is not this one's
        pace_ = ReportPace();
        if (hid_->IsOpen()) {
            UseLockOfOpenedDevice();
            trace_.Event("device opened");
        }
    }
    old->Close();
}

void TzqComms::ClearChannelBuffersHeld()
{
    for (ChannelBuffer& buffer : rxBuffers_)
        buffer.Clear();
}

bool TzqComms::HoldsDeviceFoundByMatching() const
{
    const std::lock_guard<std::mutex> guard(writing_);
    return hid_->FoundByMatching();
}

void TzqComms::Close()
{
    const std::scoped_lock alone(input_, writing_);
    if (hid_->IsOpen())
        trace_.Event("device closed");
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
            NoteWriteFailure();
            if (gone) {
                ForgetOwedTransfers();
                trace_.Event("device gone");
            }
            Close();
            return false;
        }
        if (Channel == 0)
            PayOwed(n);
    }
    return true;
}

void TzqComms::NoteWriteFailure() const
{
    const std::lock_guard<std::mutex> guard(writing_);
    // A device that went away is no longer open either: asked first.
    if (!hid_->Gone() && !hid_->IsOpen()) {
        NoteFailure(Failure::NotOpen, "the device is not open");
        return;
    }
    const int32_t error = hid_->LastError();
    NoteFailure(Failure::Gone, "a write to the device failed (" +
                                   (error ? hid_->ErrorText(error) : std::string("it did not take the report")) +
                                   "); it was closed");
}

bool TzqComms::WriteOne(const Packet& Report, int32_t Timeout)
{
    const std::lock_guard<std::mutex> oneWriter(writing_);
    if (hid_->WriteReport(Report.data(), kPacketSize, Timeout) != kPacketSize)
        return false;
    trace_.Report(Report.data(), kPacketSize, false);
    return true;
}

TzqComms::ReadOutcome TzqComms::ReadOne(uint8_t* Report, int32_t Timeout, uint64_t StampUs)
{
    const int32_t n = hid_->ReadReport(Report, kPacketSize, Timeout);
    if (n <= 0)
        return ReadOutcome::Nothing;
    trace_.Report(Report, static_cast<size_t>(n), true, StampUs);
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
    trace_.Event("device gone");
    NoteFailure(Failure::Gone, "the device went away; it was closed");
    const std::lock_guard<std::mutex> noWriter(writing_);
    hid_->Close();
    return true;
}

// The first report waited for up to Timeout, then what is waiting behind it
// without blocking. Reports taken without a wait were there at StampUs, when
// a caller read the clock before (0: none did).
TzqComms::ReadOutcome TzqComms::ReadBurstHeld(int32_t Timeout, uint64_t StampUs)
{
    uint8_t report[kPacketSize];
    if (Timeout != 0)
        StampUs = 0;
    ReadOutcome outcome = ReadOne(report, Timeout, StampUs);
    if (outcome == ReadOutcome::Nothing)
        return outcome;
    uint32_t reports = 1;
    for (ReadOutcome next; (next = ReadOne(report, 0, StampUs)) != ReadOutcome::Nothing; ++reports) {
        if (next == ReadOutcome::Packet)
            outcome = next;
    }
    pace_.Took(reports, StampUs != 0 ? StampUs : clock_.NowUs());
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
        const ReadOutcome outcome = ReadBurstHeld(chunk, 0);
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

// A long read wakes once for several reports rather than for each. Only
// where the caller waits at all: a time-out of 0 or less asks for one pass.
bool TzqComms::SleepForMoreHeld(std::unique_lock<std::mutex>& Input, size_t ExpectedBytes, int32_t Timeout,
                                uint64_t NowUs, uint64_t& StampUs)
{
    if (Timeout <= 0 || ExpectedBytes <= static_cast<size_t>(kMaxPacketData))
        return false;
    const size_t reports = (ExpectedBytes + kMaxPacketData - 1) / kMaxPacketData;
    const uint64_t sleepUs = pace_.SleepUs(static_cast<uint32_t>(std::min<size_t>(reports, UINT32_MAX)), NowUs);
    // The transport is asked only when a sleep is due: most calls end above.
    if (sleepUs == 0 || sleepUs >= uint64_t {static_cast<uint32_t>(Timeout)} * 1000 || !hid_->IsOpen() || hid_->Gone())
        return false;
    Input.unlock();
    const uint64_t before = clock_.NowUs();
    clock_.SleepUs(sleepUs);
    const uint64_t woke = clock_.NowUs();
    Input.lock();
    pace_.Slept(sleepUs, woke - before);
    StampUs = clock_.NowUs();  // what waits now was there once the input was had again
    return true;
}

bool TzqComms::Receive(int32_t Channel, int32_t Timeout, int32_t MaxCount, std::string& Data, size_t ExpectedBytes)
{
    if (!IsChannel(Channel))
        return false;
    Data.clear();
    // One clock read serves the time-out and the trace of what waits already.
    uint64_t stampUs = clock_.NowUs();
    const uint64_t startUs = stampUs;
    const uint32_t start = static_cast<uint32_t>(stampUs / 1000);
    std::unique_lock<std::mutex> input(input_);
    bool drained = false;  // the transport was read until it had nothing, the lock held since
    bool sleepTried = false;  // a call sleeps ahead once at most
    int32_t wait = Timeout;
    for (;;) {
        if (!input.owns_lock())
            input.lock();
        if (!drained)  // a packet is never taken while an older one waits in the transport
            ReadBurstHeld(0, std::exchange(stampUs, 0));
        if (TakeWholePacket(Channel, MaxCount, Data))
            return true;
        if (!std::exchange(sleepTried, true) && SleepForMoreHeld(input, ExpectedBytes, Timeout, startUs, stampUs)) {
            const auto elapsed = static_cast<int32_t>(Ticks() - start);
            wait = elapsed < Timeout ? Timeout - elapsed : 0;
            continue;
        }
        if (!PollHeld(input, wait))
            return false;
        drained = true;  // a wait that brought a packet read on behind it, and kept the lock
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

bool TzqComms::SetTrace(const std::string& Path)
{
    trace_.Stop();  // the rest of the trace before is written out, or it fails, now
    const std::string earlier = trace_.TakeWriteProblem();
    bool done = true;
    if (!Path.empty()) {
        std::string problem;
        const std::string serial = IsOpen() ? SerialNumber() : std::string();
        done = trace_.Start(Path, DevicePath(), serial, problem);
        if (!done)
            NoteFailure(Failure::LocalFile, problem);
    }
    if (!earlier.empty())
        NoteFailure(Failure::LocalFile, earlier + "; that trace stopped there");
    return done && earlier.empty();
}

uint32_t TzqComms::Ticks() const
{
    return static_cast<uint32_t>(clock_.NowMs());
}

}  // namespace zqk
