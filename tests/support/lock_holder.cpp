// Test helper: takes a device lock in a process of its own.
//   lock_holder NAME hold MS     take it, say "locked", hold it MS ms, give it back
//   lock_holder NAME abandon     take it, say "locked", end without giving it back
//   lock_holder NAME try         take it only when it is free at once: "locked" or "failed"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "link/device_lock.h"

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    zqk::DeviceLock lock(argv[1]);
    const bool tryOnly = std::strcmp(argv[2], "try") == 0;
    if (!lock.Lock(tryOnly ? 0 : 10000)) {
        std::puts("failed");
        return 1;
    }
    std::puts("locked");
    std::fflush(stdout);
    if (tryOnly) {
        lock.Unlock();
        return 0;
    }
    if (std::strcmp(argv[2], "abandon") == 0)
        std::_Exit(0);  // no unlock, no destructors: the lock is abandoned
    const int ms = argc > 3 ? std::atoi(argv[3]) : 1000;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    lock.Unlock();
    return 0;
}
