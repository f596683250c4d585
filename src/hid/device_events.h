#pragma once
// What the platform tells of HID interfaces arriving and leaving, behind the
// little that the device watcher (transport/device_watcher.cpp) needs of
// it; one implementation file per platform.
#include <memory>
#include <string>
#include <vector>

namespace zqk {

struct DeviceChange {
    enum class Kind {
        Added,    // an interface at Path arrived
        Removed,  // the interface at Path left
        Unknown,  // something may have changed (or changes were lost): look at every device again
    };
    Kind What = Kind::Unknown;
    std::string Path;
};

class DeviceEvents {
public:
    virtual ~DeviceEvents() = default;
    // Waits for the platform's next changes, or for Wake, and appends them in
    // the order they happened (nothing after a Wake). False when the platform
    // stopped telling.
    virtual bool Wait(std::vector<DeviceChange>& Changes) = 0;
    // Ends the present or the next Wait early; from any thread.
    virtual void Wake() = 0;
};

// Starts listening to the platform: every change from now on is told by
// Wait, so that a device enumerated after this call cannot be missed. Null
// with the reason noted. Called on the thread that will Wait.
std::unique_ptr<DeviceEvents> ListenForDeviceChanges();

}  // namespace zqk
