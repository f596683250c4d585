#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "transport/report_device.h"
#include "transport/transport_backend.h"

namespace zqk {

// Where devices are opened by name, and so where the report device that each
// runs on is chosen: the backends are asked in turn, the HID transport last,
// which takes every name the others leave. Every failure is noted with its
// reason.

// The backend that the name is for.
const TransportBackend& TransportFor(const std::string& Name);

// A path of one of the backends (for the HID transport: a platform path,
// matching or not).
std::unique_ptr<ReportDevice> OpenPath(const std::string& Path);
// Opens what the name picks (see the backends: for the HID transport, empty
// is the first matching device, a name with a slash or backslash that
// platform path, any other name the first matching device with that serial
// number).
std::unique_ptr<ReportDevice> OpenNamed(const std::string& PathOrSerial, const MatchValues& Match);
// Whether what the name picks is present now.
bool IsPresent(const std::string& PathOrSerial, const MatchValues& Match);
// Waits until such a device is present, looking every 100 ms, at most
// Timeout ms (negative: no limit). A name of a backend whose devices do not
// arrive is present at once or never.
bool WaitForDevice(const std::string& PathOrSerial, const MatchValues& Match, int32_t Timeout);

}  // namespace zqk
