#pragma once
// What the hidraw transport lets its tests reach: where it looks for the
// kernel's devices.
#include <string>

namespace zqk::hidraw {

// sysfs (class/hidraw, the HID and USB devices above each node) and the
// directory of the device nodes (hidrawN, bus/usb/BBB/DDD).
struct Roots {
    std::string Sysfs = "/sys";
    std::string Dev = "/dev";
};

// Points enumeration and every later open at other roots (a tree a test
// built) for its lifetime. Not for use while another thread opens a device.
class ScopedRoots {
public:
    explicit ScopedRoots(Roots Replacement);
    ~ScopedRoots();
    ScopedRoots(const ScopedRoots&) = delete;
    ScopedRoots& operator=(const ScopedRoots&) = delete;

private:
    Roots previous_;
};

}  // namespace zqk::hidraw
