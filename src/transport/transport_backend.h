#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/report_device.h"

namespace zqk {

// Vendor ID, product ID, usage page, usage; a negative value matches anything.
using MatchValues = std::array<int32_t, 4>;

// One way of reaching report devices by name. The opener asks the backends
// in turn (see opener.h); the first that takes a name opens it.
//
// Every member may be called from any thread, holds no lock of the caller's
// and takes none that outlives the call; each failure is noted with its
// reason (NoteFailure) and nothing else is left behind.
struct TransportBackend {
    // Whether names of this form are this backend's. Looks at the text only:
    // no device is asked, nothing is noted.
    bool (*TakesName)(const std::string& Name);
    // Opens the device the name picks, also one found by the match values
    // where names of the backend do that. Result: an open device, or null
    // with the reason noted.
    std::unique_ptr<ReportDevice> (*OpenName)(const std::string& Name, const MatchValues& Match);
    // Opens a device by its path only: the name is never taken for anything
    // but a path. Result as OpenName's.
    std::unique_ptr<ReportDevice> (*OpenPath)(const std::string& Path);
    // Whether OpenName would find the device now, without opening it where
    // that can be avoided. False may leave a reason noted.
    bool (*IsPresent)(const std::string& Name, const MatchValues& Match);
    // False when a name is present at once or never, so that waiting for
    // it to appear is of no use.
    bool DevicesArrive;
};

// The simulated devices, in their folders: "sim:DIR?option=value&..."
// (sim/sim_transport.cpp).
extern const TransportBackend kSimTransport;
// The platform's HID interfaces: every other name (hid_transport.cpp).
extern const TransportBackend kHidTransport;

}  // namespace zqk
