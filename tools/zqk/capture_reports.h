#pragma once
// The unit's reports in a capture: the library's own trace (link type
// USER0, one packet per report, events as comments), or a USB capture of
// real hardware from usbmon (Linux: link types 189 and 220) or USBPcap
// (Windows: 249), of which the interrupt transfers of the device with the
// matching vendor and product IDs are taken.
#include <cstdint>
#include <string>
#include <vector>

#include "capture_file.h"

namespace zqktool {

struct TracedReport {
    enum class Kind { ToDevice, FromDevice, Unknown, Event } kind = Kind::Unknown;
    uint64_t microseconds = 0;
    const uint8_t* data = nullptr;  // the report, into the capture's bytes
    size_t size = 0;
    std::string event;  // for an Event
};

struct CaptureReports {
    std::vector<TracedReport> reports;
    // How they were found, as lines for the reader: the capture's device,
    // or why the reports were taken as they were.
    std::vector<std::string> notes;
};

// Vendor or Product below 0 matches any.
CaptureReports ReportsOf(const CaptureReader& Reader, const std::vector<CapturePacket>& Packets, int32_t Vendor,
                         int32_t Product);
// One packet of the library's own trace as a report; false for a packet of
// an interface of another link type.
bool OwnTraceReport(const CaptureInterface& Interface, const CapturePacket& Packet, TracedReport& Report);
// Whether the bytes are one whole report of the channel protocol.
bool IsChannelPacket(const uint8_t* Data, size_t Size);

}  // namespace zqktool
