#include "link/device_lock.h"

namespace zqk {

namespace {

// Thread identities that are never reused, unlike platform thread ids, so a
// thread that starts after an owner died cannot mistake itself for it.
uint64_t ThisThreadId()
{
    static std::atomic<uint64_t> next{1};
    thread_local const uint64_t id = next.fetch_add(1);
    return id;
}

}  // namespace

void OwedRecord::Store(const OwedTransfer& Owed)
{
    const bool undoFits = Owed.Undo.size() <= kUndoRoom;
    UndoLength = undoFits ? static_cast<uint32_t>(Owed.Undo.size()) : 0;
    if (undoFits)
        Owed.Undo.copy(Undo, Owed.Undo.size());
    Bytes = Owed.Bytes;
    What = static_cast<uint32_t>(Owed.What);
}

// The state is another process's writing: only what makes sense is taken.
OwedTransfer OwedRecord::Load() const
{
    OwedTransfer owed;
    if (What != static_cast<uint32_t>(OwedTransfer::Kind::Write) &&
        What != static_cast<uint32_t>(OwedTransfer::Kind::Firmware))
        return owed;
    owed.What = static_cast<OwedTransfer::Kind>(What);
    owed.Bytes = Bytes;
    owed.Undo.assign(Undo, UndoLength <= kUndoRoom ? UndoLength : 0);
    return owed;
}

DeviceLock::DeviceLock(const std::string& Name) : name_(Name), mutex_(Name) {}

bool DeviceLock::Lock(int32_t TimeoutMs)
{
    const uint64_t me = ThisThreadId();
    if (owner_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return true;
    }
    if (!mutex_.Acquire(TimeoutMs))
        return false;
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
    return true;
}

void DeviceLock::Unlock()
{
    if (!HeldByThisThread())
        return;
    if (--depth_ > 0)
        return;
    owner_.store(0, std::memory_order_relaxed);
    mutex_.Release();
}

bool DeviceLock::HeldByThisThread() const
{
    return owner_.load(std::memory_order_relaxed) == ThisThreadId();
}

}  // namespace zqk
