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

namespace {

bool HasControlByte(const std::string& Text)
{
    for (const char c : Text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return true;
    }
    return false;
}

// The undo the library writes: "NFDEL " and one name without control
// bytes, bare (blanks made underscores) or in double quotes (none inside),
// so that it deletes one file and does nothing else.
bool IsUndoOfTheLibrary(const std::string& Undo)
{
    const std::string command = "NFDEL ";
    if (Undo.empty())
        return true;
    if (Undo.rfind(command, 0) != 0 || Undo.size() == command.size() || HasControlByte(Undo))
        return false;
    const std::string name = Undo.substr(command.size());
    const bool bare = name.find(' ') == std::string::npos;
    const bool quoted = name.size() >= 2 && name.front() == '"' && name.find('"', 1) == name.size() - 1;
    return bare || quoted;
}

}  // namespace

OwedTransfer OwedRecord::Load() const
{
    constexpr uint32_t kMaxBytes = 0x7FFFFFFF;  // a transfer is smaller than 2 GiB
    const bool known = What == static_cast<uint32_t>(OwedTransfer::Kind::Write) ||
                       What == static_cast<uint32_t>(OwedTransfer::Kind::Firmware);
    if (!known || Bytes > kMaxBytes || UndoLength > kUndoRoom)
        return {};
    OwedTransfer owed;
    owed.What = static_cast<OwedTransfer::Kind>(What);
    owed.Bytes = Bytes;
    owed.Undo.assign(Undo, UndoLength);
    const bool undoFits = owed.What == OwedTransfer::Kind::Write || owed.Undo.empty();
    return undoFits && IsUndoOfTheLibrary(owed.Undo) ? owed : OwedTransfer {};
}

DeviceLock::DeviceLock(const std::string& Name, const LockPlace& Place) : name_(Name), lock_(Name, Place) {}

bool DeviceLock::Lock(int32_t TimeoutMs)
{
    const uint64_t me = ThisThreadId();
    if (owner_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return true;
    }
    if (!lock_.Acquire(TimeoutMs))
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
    lock_.Release();
}

bool DeviceLock::HeldByThisThread() const
{
    return owner_.load(std::memory_order_relaxed) == ThisThreadId();
}

}  // namespace zqk
