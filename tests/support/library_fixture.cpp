#include "support/library_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace zqk::testing {

namespace {

std::set<std::string>& NamesToRemove()
{
    static auto* names = new std::set<std::string>;  // still there for the exit handler
    return *names;
}

// Each lock name also names the locks of the devices opened under it
// (NAME_serial_hash) and the state beside a node's lock (NAME.state).
void RemoveLockNames()
{
#ifndef _WIN32
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
        const std::string file = entry.path().filename().string();
        for (const std::string& name : NamesToRemove()) {
            if (file == name || file.rfind(name + "_", 0) == 0 || file.rfind(name + ".", 0) == 0)
                shm_unlink(("/" + file).c_str());
        }
    }
#endif
}

}  // namespace

std::string TestLockName(const std::string& Purpose)
{
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(RemoveLockNames); });
    std::string name = "zqk_test_" + Purpose + "_" + std::to_string(getpid());
    NamesToRemove().insert(name);
    return name;
}

void SimLibraryTest::SetUp()
{
    auto report = std::make_unique<sim::SimReportDevice>(device_, clock_);
    report_ = report.get();
    DeviceOptions options;
    options.Device = std::move(report);
    options.TimeSource = &clock_;
    options.LockName = TestLockName();
    ReplaceDefaultDevice(std::move(options));
}

int32_t SimLibraryTest::OpenHandle(sim::SimKeeper& Keeper)
{
    DeviceOptions options;
    options.Device = std::make_unique<sim::SimReportDevice>(Keeper.Device, clock_);
    options.TimeSource = &clock_;
    options.LockName = TestLockName();
    options.TakeClassicLock = false;
    auto device = std::make_shared<TzqkDevice>(std::move(options));
    if (!device->Comms.Open())
        return 0;
    device->LearnNameQuoting();
    const int32_t handle = TheLibrary()->Handles.Add(std::move(device));
    handles_.push_back(handle);
    return handle;
}

void SimLibraryTest::TearDown()
{
    for (const int32_t handle : handles_)
        zqkDevClose(handle);
    handles_.clear();
    DeviceOptions options;
    options.LockName = TestLockName();
    ReplaceDefaultDevice(std::move(options));
    report_ = nullptr;
}

}  // namespace zqk::testing
