// The conversation lock: the link's turn, the device locks taken in it, and
// the transfers owed to the device that they carry from holder to holder.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "base/failure_note.h"
#include "base/platform_text.h"
#include "link/comms.h"

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

// Both link locks held. A conversation that holds the lock of the device
// opened before keeps it until it ends (its hold remembers which it took).
void TzqComms::UseLockOfOpenedDevice()
{
    std::string key;
    if (hid_->SerialNumberNamesLock())
        key = AnsiFromUtf16(hid_->GetSerialNumberString());
    if (key.empty())
        key = hid_->DevicePath();
    const std::string name = LockNameFor(lockBase_, key);
    const LockPlace place = hid_->LockedAt();
    classicApplies_ = hid_->TakesClassicLock();
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

}  // namespace zqk
