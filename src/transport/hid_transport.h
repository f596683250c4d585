#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/report_device.h"
#include "transport/transport_backend.h"

namespace zqk {

// The HID transport as a backend (kHidTransport), and what only it does:
// enumerate the matching devices and find one by its serial number. Every
// failure is noted with its reason.

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

// Open report devices, or null with the reason noted.
std::unique_ptr<ReportDevice> OpenFirstMatching(const MatchValues& Match);
std::unique_ptr<ReportDevice> OpenSerial(const std::string& Serial, const MatchValues& Match);

// "vendor 0x16D0, product 0x064E, usage page 0xFFB2, any usage"
std::string DescribeMatching(const MatchValues& Match);

}  // namespace zqk
