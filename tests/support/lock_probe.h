#pragma once
// Whether the device lock is free: another thread and another process must
// each take it at once, whatever the count of Lock and Unlock calls says.
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "link/device_lock.h"
#include "support/child_process.h"

namespace zqk::testing {

// Tries the device lock with time-out 0 from a thread of its own, as another
// caller in the process would.
class LockProbe {
public:
    explicit LockProbe(std::string Name) : worker_([this, Name] { Serve(Name); }) {}
    ~LockProbe()
    {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        worker_.join();
    }
    LockProbe(const LockProbe&) = delete;
    LockProbe& operator=(const LockProbe&) = delete;

    bool TakenAtOnce()
    {
        std::unique_lock<std::mutex> guard(mutex_);
        asked_ = true;
        answered_ = false;
        changed_.notify_all();
        changed_.wait(guard, [this] { return answered_; });
        return taken_;
    }

private:
    void Serve(const std::string& Name)
    {
        DeviceLock lock(Name);
        std::unique_lock<std::mutex> guard(mutex_);
        for (;;) {
            changed_.wait(guard, [this] { return asked_ || stop_; });
            if (stop_)
                return;
            asked_ = false;
            taken_ = lock.Lock(0);
            if (taken_)
                lock.Unlock();
            answered_ = true;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool asked_ = false, answered_ = false, stop_ = false, taken_ = false;
    std::thread worker_;  // last: it starts once the rest is there
};

// The same from a process of its own: the lock_holder helper, given its file
// name in the test programs' directory.
inline bool TakenAtOnceByAnotherProcess(const std::string& LockHolder, const std::string& Name)
{
    ChildProcess other(LockHolder, Name + " try");
    const bool locked = other.ReadLine() == "locked";
    return other.Wait() == 0 && locked;
}

}  // namespace zqk::testing
