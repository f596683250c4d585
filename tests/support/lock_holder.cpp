// Test helper: takes a device lock in a process of its own.
//   lock_holder LOCK hold MS     take it, say "locked", hold it MS ms, give it back
//   lock_holder LOCK abandon     take it, say "locked", end without giving it back
//   lock_holder LOCK try         take it only when it is free at once: "locked" or "failed"
// LOCK is a lock's name (a lock of no device's), or "--device PATH": the own
// lock of the device at PATH ("sim:DIR" too), opened and taken as every
// program of the library takes it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "transport/hid_transport.h"
#include "transport/opener.h"
#include "link/comms.h"
#include "link/device_lock.h"

namespace {

// The lock's Lock and Unlock, whichever kind it is.
class HeldLock {
public:
    virtual ~HeldLock() = default;
    virtual bool Lock(int32_t TimeoutMs) = 0;
    virtual void Unlock() = 0;
};

class NamedLock final : public HeldLock {
public:
    explicit NamedLock(const std::string& Name) : lock_(Name) {}
    bool Lock(int32_t TimeoutMs) override { return lock_.Lock(TimeoutMs); }
    void Unlock() override { lock_.Unlock(); }

private:
    zqk::DeviceLock lock_;
};

class DeviceOwnLock final : public HeldLock {
public:
    explicit DeviceOwnLock(std::unique_ptr<zqk::ReportDevice> Device)
        : comms_(std::move(Device), zqk::SystemClock::Instance(), zqk::kDeviceLockName, false)
    {
    }
    bool Lock(int32_t TimeoutMs) override { return comms_.Lock(TimeoutMs); }
    void Unlock() override { comms_.Unlock(); }

private:
    zqk::TzqComms comms_;
};

std::unique_ptr<HeldLock> LockOf(int& argc, char**& argv)
{
    if (std::strcmp(argv[1], "--device") != 0)
        return std::make_unique<NamedLock>(argv[1]);
    if (argc < 4)
        return nullptr;
    const std::string path = argv[2];
    argc -= 1;
    argv += 1;
    zqk::StartPlatformDevices();
    std::unique_ptr<zqk::ReportDevice> device = zqk::OpenPath(path);
    if (!device)
        return nullptr;
    return std::make_unique<DeviceOwnLock>(std::move(device));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    const std::unique_ptr<HeldLock> lock = LockOf(argc, argv);
    if (!lock) {
        std::puts("no such device");
        return 2;
    }
    const bool tryOnly = std::strcmp(argv[2], "try") == 0;
    if (!lock->Lock(tryOnly ? 0 : 10000)) {
        std::puts("failed");
        return 1;
    }
    std::puts("locked");
    std::fflush(stdout);
    if (tryOnly) {
        lock->Unlock();
        return 0;
    }
    if (std::strcmp(argv[2], "abandon") == 0)
        std::_Exit(0);  // no unlock, no destructors: the lock is abandoned
    const int ms = argc > 3 ? std::atoi(argv[3]) : 1000;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    lock->Unlock();
    return 0;
}
