#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/report_device.h"

namespace zqk {

// Where devices are opened, and so where the report device that each runs on
// is chosen: the platform's HID transport, or the simulated device for a
// "sim:" path. Every failure is noted with its reason.

// Vendor ID, product ID, usage page, usage; a negative value matches anything.
using MatchValues = std::array<int32_t, 4>;

struct FoundDevice {
    std::string Path;
    std::string SerialNumber;
    std::string Manufacturer;
    std::string Product;
};

// Binds the platform's HID access ("Could not load HID" when false).
bool StartPlatformDevices();
// A platform HID transport, not open yet.
std::unique_ptr<ReportDevice> NewPlatformDevice();
// The same for a link being made, whose construction binds the platform's
// HID access again; only there, since the bind count is not thread-safe.
std::unique_ptr<ReportDevice> NewLinkPlatformDevice();

// The present matching devices, read without opening them; -1 when they
// cannot be enumerated.
int32_t FindDevices(const MatchValues& Match, std::vector<FoundDevice>& Found);
// FindDevices into a list of the calling thread's, read by FoundDeviceField:
// Type -1 the path, 0 serial number, 1 manufacturer, 2 product.
int32_t FindDevicesForThisThread(const MatchValues& Match);
bool FoundDeviceField(int32_t Index, int32_t Type, std::string& Field);

// Open report devices, or null with the reason noted.
std::unique_ptr<ReportDevice> OpenFirstMatching(const MatchValues& Match);
// A path of the platform's (matching or not) or a "sim:" path.
std::unique_ptr<ReportDevice> OpenPath(const std::string& Path);
std::unique_ptr<ReportDevice> OpenSerial(const std::string& Serial, const MatchValues& Match);
// The one rule by which a name given to open or to wait for picks its
// device: empty, the first matching device; "sim:...", the simulated device
// it describes; a name with a slash or backslash, that platform path (a
// matching device's, or any other HID interface, a udev link to a node for
// instance); any other name, the first matching device with that serial
// number.
enum class NameKind { FirstMatching, Simulated, PlatformPath, SerialNumber };
NameKind KindOfName(const std::string& PathOrSerial);
// Opens what the name picks.
std::unique_ptr<ReportDevice> OpenNamed(const std::string& PathOrSerial, const MatchValues& Match);
// Whether what the name picks is present now: a matching device that opens,
// a "sim:" path that parses, a path that is a HID interface, a matching
// device with the serial number.
bool IsPresent(const std::string& PathOrSerial, const MatchValues& Match);
// Waits until such a device is present, looking every 100 ms, at most
// Timeout ms (negative: no limit). A "sim:" path is present at once or never.
bool WaitForDevice(const std::string& PathOrSerial, const MatchValues& Match, int32_t Timeout);

// "vendor 0x16D0, product 0x064E, usage page 0xFFB2, any usage"
std::string DescribeMatching(const MatchValues& Match);

}  // namespace zqk
