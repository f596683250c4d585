#include "rig/lock_names.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>

#ifdef _WIN32
#include <process.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace zqk::rig {

namespace {

std::mutex& NamesMutex()
{
    static auto* mutex = new std::mutex;  // still there for the exit handler
    return *mutex;
}

std::set<std::string>& NamesToRemove()
{
    static auto* names = new std::set<std::string>;  // still there for the exit handler
    return *names;
}

// Each lock name also names the locks of the devices opened under it
// (NAME_serial_hash) and the state beside a node's lock (NAME.state). On
// Windows the locks are kernel objects, gone with the process.
void RemoveLockNames()
{
#ifndef _WIN32
    const std::lock_guard<std::mutex> guard(NamesMutex());
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

int ProcessId()
{
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

std::string ProcessLockName(const std::string& Run, const std::string& Purpose)
{
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(RemoveLockNames); });
    std::string name = "zqk_" + Run + "_" + Purpose + "_" + std::to_string(ProcessId());
    const std::lock_guard<std::mutex> guard(NamesMutex());
    NamesToRemove().insert(name);
    return name;
}

}  // namespace zqk::rig
