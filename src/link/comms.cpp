#include "link/comms.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include <vector>

#include "base/failure_note.h"
#include "base/platform_text.h"

namespace zqk {

const char* const kDeviceLockName = "Vorlund_zq.keeper_Terminal_Mutex";

namespace {

// The device locks this thread holds, one entry per link: which lock of the
// device it took (the link may have opened another device since) and how
// often it took it.
// Plain data, so that nothing is left to destroy at the thread's exit (see
// StoredNote); the link keeps every lock it made alive as long as it lives.
struct LockHold {
    const TzqComms* Link;
    DeviceLock* Classic;  // null when not taken
    DeviceLock* Own;      // null when the link had opened no device yet
    uint32_t Depth;
};

// Links whose locks one thread holds at once: one, and another for each
// call from inside a progress callback into another device.
constexpr size_t kMaxHolds = 16;

struct Holds {
    LockHold Entries[kMaxHolds];
    size_t Count;
};

thread_local Holds t_holds;

LockHold* HoldOf(const TzqComms* Link)
{
    for (size_t i = 0; i < t_holds.Count; ++i) {
        if (t_holds.Entries[i].Link == Link)
            return &t_holds.Entries[i];
    }
    return nullptr;
}

// Whether this thread holds a lock of that name through some link: another
// link on the same device, whose conversation is in the middle of a turn.
bool HeldThroughAnotherLink(const std::string& Name)
{
    for (size_t i = 0; i < t_holds.Count; ++i) {
        if (t_holds.Entries[i].Own && t_holds.Entries[i].Own->Name() == Name)
            return true;
    }
    return false;
}

void Forget(LockHold* Hold)
{
    *Hold = t_holds.Entries[--t_holds.Count];
}

// Lock names become names of shared-memory objects and of Windows objects,
// which take no slashes: other characters than letters, digits, '-' and '.'
// become '_', and a hash of the key keeps keys that differ only there apart.
std::string LockNameFor(const std::string& Base, const std::string& Key)
{
    constexpr size_t kMaxKeyPart = 96;
    uint32_t hash = 2166136261u;
    std::string part;
    for (const char c : Key) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '.';
        if (part.size() < kMaxKeyPart)
            part += plain ? c : '_';
    }
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%08x", hash);
    return Base + "_" + part + suffix;
}

int32_t Remaining(int32_t Timeout, uint32_t Elapsed)
{
    if (Timeout < 0)
        return Timeout;
    return Elapsed >= static_cast<uint32_t>(Timeout) ? 0 : Timeout - static_cast<int32_t>(Elapsed);
}

}  // namespace

TzqComms::TzqComms(std::unique_ptr<ReportDevice> Hid, Clock& TimeSource, const std::string& LockName,
                   bool TakeClassicLock)
    : lockBase_(LockName),
      classicLock_(TakeClassicLock && ClassicProgramsRunHere() ? std::make_unique<DeviceLock>(LockName) : nullptr),
      hid_(std::move(Hid)),
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
    return true;
}

void TzqComms::Attach(std::unique_ptr<ReportDevice> Opened)
{
    std::unique_ptr<ReportDevice> old;
    {
        const std::scoped_lock alone(input_, writing_);
        old = std::exchange(hid_, std::move(Opened));
        ClearChannelBuffersHeld();  // what the device before sent is not this one's
        if (hid_->IsOpen())
            UseLockOfOpenedDevice();
    }
    old->Close();
}

void TzqComms::ClearChannelBuffersHeld()
{
    for (ChannelBuffer& buffer : rxBuffers_)
        buffer.Clear();
}

// Both link locks held. A conversation that holds the lock of the device
// opened before keeps it until it ends (its hold remembers which it took).
void TzqComms::UseLockOfOpenedDevice()
{
    std::string key = hid_->LockKey();
    if (key.empty())
        key = AnsiFromUtf16(hid_->GetSerialNumberString());
    if (key.empty())
        key = hid_->DevicePath();
    const std::string name = LockNameFor(lockBase_, key);
    const LockPlace place = hid_->LockedAt();
    classicApplies_ = !hid_->Simulated();
    const std::lock_guard<std::mutex> guard(deviceLockGuard_);
    // A program that goes back and forth between units takes each unit's
    // lock once, not once per switch; a unit plugged in again has a new node.
    const auto guardsIt = [&](const std::shared_ptr<DeviceLock>& lock) {
        return lock->Name() == name && lock->Guards(place);
    };
    const auto known = std::find_if(deviceLocks_.begin(), deviceLocks_.end(), guardsIt);
    deviceLock_ = known != deviceLocks_.end() ? *known
                                               : deviceLocks_.emplace_back(std::make_shared<DeviceLock>(name, place));
}

bool TzqComms::HoldsSimulated() const
{
    const std::lock_guard<std::mutex> guard(writing_);
    return hid_->Simulated();
}

std::shared_ptr<DeviceLock> TzqComms::CurrentDeviceLock() const
{
    const std::lock_guard<std::mutex> guard(deviceLockGuard_);
    return deviceLock_;
}

std::string TzqComms::LockProblem() const
{
    const std::shared_ptr<DeviceLock> own = CurrentDeviceLock();
    if (own && !own->Problem().empty())
        return own->Problem();
    return classicLock_ ? classicLock_->Problem() : std::string();
}

std::string TzqComms::DeviceLockName() const
{
    const std::shared_ptr<DeviceLock> own = CurrentDeviceLock();
    return own ? own->Name() : std::string();
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
            NoteWriteFailure();
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

// The owed data is kept in the device's own lock, which every program that
// talks to the device takes.
DeviceLock* TzqComms::OwnLockHeld() const
{
    const LockHold* hold = HoldOf(this);
    return hold ? hold->Own : nullptr;
}

void TzqComms::OweTransfer(const OwedTransfer& Owed)
{
    DeviceLock* own = OwnLockHeld();
    if (!own)
        return;
    owedBytes_ = Owed.Bytes;
    own->RecordOwed(Owed.Bytes > 0 ? Owed : OwedTransfer {});
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
    DeviceLock* own = OwnLockHeld();  // owedBytes_ is the holder's alone
    if (!own || owedBytes_ == 0)
        return;
    owedBytes_ -= static_cast<uint32_t>(std::min<size_t>(Bytes, owedBytes_));
    if (owedBytes_ == 0)
        own->RecordOwed(OwedTransfer {});
    else
        own->RecordOwedBytes(owedBytes_);
}

void TzqComms::ForgetOwedTransfers()
{
    if (!OwnLockHeld())
        return;
    SettleTransfer();
    abandoned_.reset();
}

std::optional<OwedTransfer> TzqComms::TakeAbandonedTransfer()
{
    if (!abandoned_ || !OwnLockHeld() || !IsOpen())
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
    NoteFailure(Failure::Gone, "the device went away; it was closed");
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
    if (LockHold* hold = HoldOf(this)) {
        ++hold->Depth;
        ++lockCount_;
        return true;
    }
    if (t_holds.Count == kMaxHolds) {
        NoteFailure(Failure::Busy, "this thread holds the locks of too many devices at once");
        return false;
    }
    DeviceLock* own = CurrentDeviceLock().get();  // kept alive by deviceLocks_
    if (own && HeldThroughAnotherLink(own->Name())) {
        ++lockFailures_;
        NoteFailure(Failure::Busy, "this thread holds the device already through another handle (called from a "
                                   "progress callback, say); its conversation would be interleaved");
        return false;
    }
    DeviceLock* classic = classicApplies_ ? classicLock_.get() : nullptr;
    const uint32_t start = Ticks();
    if (!TakeTurn(Timeout)) {
        ++lockFailures_;
        return false;
    }
    if (!TakeLocks(Remaining(Timeout, Ticks() - start), classic, own)) {
        GiveTurn();
        ++lockFailures_;
        const std::string problem = LockProblem();
        if (!problem.empty())
            NoteFailure(Failure::Access, "the device lock cannot be used: " + problem);
        else
            NoteFailure(Failure::Busy, "another program or thread holds the device (its lock was not had within " +
                                           std::to_string(Timeout) + " ms)");
        return false;
    }
    t_holds.Entries[t_holds.Count++] = {this, classic, own, 1};
    ++lockCount_;
    if (own) {
        owedBytes_ = 0;
        const OwedTransfer left = own->Owed();
        abandoned_ = left.What == OwedTransfer::Kind::None ? std::nullopt : std::optional<OwedTransfer>(left);
    }
    const bool died = (classic && classic->PreviousHolderDied()) || (own && own->PreviousHolderDied());
    const bool elsewhere = (classic && classic->HeldElsewhereMeanwhile()) || (own && own->HeldElsewhereMeanwhile());
    if (died)
        DiscardUntilSilent();
    if (elsewhere)
        DiscardInput();
    return true;
}

// The classic lock first, then the device's own in the time that is left.
bool TzqComms::TakeLocks(int32_t Timeout, DeviceLock* Classic, DeviceLock* Own)
{
    const uint32_t start = Ticks();
    if (Classic && !Classic->Lock(Timeout))
        return false;
    if (Own && !Own->Lock(Remaining(Timeout, Ticks() - start))) {
        if (Classic)
            Classic->Unlock();
        return false;
    }
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
        ClearChannelBuffersHeld();
    }
    ++inputDiscards_;
}

void TzqComms::Unlock()
{
    LockHold* hold = HoldOf(this);
    if (!hold)
        return;
    --lockCount_;
    if (--hold->Depth > 0)
        return;
    DeviceLock* const own = hold->Own;
    DeviceLock* const classic = hold->Classic;
    Forget(hold);
    if (own)
        own->Unlock();
    if (classic)
        classic->Unlock();
    GiveTurn();
}

namespace {

// Any address that is this thread's alone names it.
const void* ThisThread()
{
    thread_local const char me = 0;
    return &me;
}

}  // namespace

bool TzqComms::TakeTurn(int32_t Timeout)
{
    std::unique_lock<std::mutex> guard(turnGuard_);
    if (turnOwner_ == ThisThread()) {
        ++turnDepth_;
        return true;
    }
    const auto free = [this] { return turnOwner_ == nullptr; };
    if (Timeout < 0)
        turnGiven_.wait(guard, free);
    else if (!turnGiven_.wait_for(guard, std::chrono::milliseconds(Timeout), free)) {
        guard.unlock();
        NoteFailure(Failure::Busy, "another thread of this program holds the device (it was not free within " +
                                       std::to_string(Timeout) + " ms)");
        return false;
    }
    turnOwner_ = ThisThread();
    turnDepth_ = 1;
    return true;
}

void TzqComms::GiveTurn()
{
    {
        const std::lock_guard<std::mutex> guard(turnGuard_);
        if (turnOwner_ != ThisThread() || --turnDepth_ > 0)
            return;
        turnOwner_ = nullptr;
    }
    turnGiven_.notify_one();
}

bool TzqComms::LockLink(int32_t Timeout)
{
    return TakeTurn(Timeout);
}

void TzqComms::UnlockLink()
{
    GiveTurn();
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
