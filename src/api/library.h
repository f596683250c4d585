#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "api/device.h"

namespace zqk {

// The devices opened through handles. A handle is never given twice, so a
// closed one cannot reach another device; a device stays alive while a call
// that found it still runs, also when another thread closes its handle.
class DeviceTable {
public:
    // 0 when no handle is left to give.
    int32_t Add(std::shared_ptr<TzqkDevice> Device);
    std::shared_ptr<TzqkDevice> Find(int32_t Handle) const;
    std::shared_ptr<TzqkDevice> Remove(int32_t Handle);

private:
    mutable std::mutex guard_;
    std::map<int32_t, std::shared_ptr<TzqkDevice>> devices_;
    int32_t next_ = 1;
};

// The process-wide objects, created when the library is loaded and shared by
// every caller in the process: the classic functions' device and the
// devices of handles.
class Library {
public:
    Library();

    TzqkDevice& Default() { return *default_; }
    DeviceTable Handles;
    // What the locks of devices opened through handles are named after;
    // tests give their own.
    std::string HandleLockName = kDeviceLockName;

private:
    friend void ReplaceDefaultDevice(DeviceOptions Options);

    std::unique_ptr<TzqkDevice> default_;
};

// Library start-up: binds the platform's HID access, then creates the
// process-wide objects. False when the HID access cannot be had ("Could not
// load HID"); the library is then unusable. Repeated calls do nothing.
bool StartLibrary();

// The process-wide objects; null before start-up and after it failed.
Library* TheLibrary();

// Builds the classic functions' device anew on other parts (the process-wide
// objects first, where they are not there yet), for tests, benchmarks and
// fuzzing that drive a device of their own. Only while no export is running.
void ReplaceDefaultDevice(DeviceOptions Options);

}  // namespace zqk
