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
