// The unit's reports out of a capture's packets (see capture_reports.h).
// A USB capture names devices by bus and address; which one is the unit is
// learnt from the device descriptor that the host reads at enumeration.
#include "capture_reports.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace zqktool {

namespace {

constexpr uint32_t kLinkTypeUser0 = 147, kLinkTypeUsbLinux = 189, kLinkTypeUsbLinuxMmapped = 220,
                   kLinkTypeUsbPcap = 249;
// epb_flags' direction bits.
constexpr uint32_t kInbound = 1, kOutbound = 2;
constexpr uint8_t kControl = 2, kInterrupt = 1, kInEndpoint = 0x80;
constexpr size_t kReportSize = 64, kHeaderSize = 3, kMaxChannel = 31, kMaxReportData = 61;

// One USB transfer event as usbmon or USBPcap records it.
struct UsbEvent {
    uint32_t device = 0;  // bus << 16 | address
    uint8_t endpoint = 0, transfer = 0;
    bool completion = false;
    const uint8_t* data = nullptr;
    size_t size = 0;
};

uint16_t Little16(const uint8_t* At) { return static_cast<uint16_t>(At[0] | (At[1] << 8)); }

uint32_t Little32(const uint8_t* At) { return Little16(At) | (uint32_t {Little16(At + 2)} << 16); }

// linux/usb/mon.h's header: 48 bytes (189), or 64 with the fields of the
// memory-mapped interface (220), in the capturing host's byte order, which
// is the file's. The data follows it.
bool UsbmonEvent(const CapturePacket& Packet, size_t HeaderSize, bool BigEndian, UsbEvent& Event)
{
    if (Packet.size < HeaderSize)
        return false;
    const uint8_t* h = Packet.data;
    const uint16_t bus = static_cast<uint16_t>(BigEndian ? (h[12] << 8) | h[13] : Little16(h + 12));
    const uint8_t* lengthAt = h + 36;
    const uint32_t length = BigEndian ? (uint32_t {lengthAt[0]} << 24) | (lengthAt[1] << 16) | (lengthAt[2] << 8) |
                                            lengthAt[3]
                                      : Little32(lengthAt);
    Event.device = (uint32_t {bus} << 16) | h[11];
    Event.transfer = h[9];
    Event.endpoint = h[10];
    Event.completion = h[8] == 'C';
    Event.data = h + HeaderSize;
    Event.size = h[15] != 0 ? 0 : std::min<size_t>(length, Packet.size - HeaderSize);  // flag_data 0: data present
    return true;
}

// USBPcap's packed header: its own length first (27, 28 for control
// transfers), little-endian; bit 0 of its info byte marks a completion.
bool UsbPcapEvent(const CapturePacket& Packet, UsbEvent& Event)
{
    if (Packet.size < 27)
        return false;
    const uint8_t* h = Packet.data;
    const size_t headerSize = Little16(h);
    if (headerSize < 27 || headerSize > Packet.size)
        return false;
    Event.completion = (h[16] & 1) != 0;
    Event.device = (uint32_t {Little16(h + 17)} << 16) | Little16(h + 19);
    Event.endpoint = h[21];
    Event.transfer = h[22];
    Event.data = h + headerSize;
    Event.size = std::min<size_t>(Little32(h + 23), Packet.size - headerSize);
    return true;
}

bool EventOf(const CaptureReader& Reader, const CapturePacket& Packet, UsbEvent& Event)
{
    switch (Reader.Interfaces()[Packet.interfaceIndex].linkType) {
    case kLinkTypeUsbLinux: return UsbmonEvent(Packet, 48, Reader.BigEndian(), Event);
    case kLinkTypeUsbLinuxMmapped: return UsbmonEvent(Packet, 64, Reader.BigEndian(), Event);
    case kLinkTypeUsbPcap: return UsbPcapEvent(Packet, Event);
    default: return false;
    }
}

// A device descriptor's answer: bLength 18, bDescriptorType 1, and far
// enough to hold idVendor and idProduct.
bool IsDeviceDescriptor(const UsbEvent& Event)
{
    return Event.transfer == kControl && Event.completion && (Event.endpoint & kInEndpoint) && Event.size >= 12 &&
           Event.data[0] == 18 && Event.data[1] == 1;
}

// An interrupt transfer's data goes with its submission to the device, and
// with its completion from it.
bool CarriesReport(const UsbEvent& Event)
{
    const bool in = (Event.endpoint & kInEndpoint) != 0;
    return Event.transfer == kInterrupt && Event.size > 0 && Event.completion == in;
}

bool Matches(int32_t Wanted, uint16_t Id)
{
    return Wanted < 0 || static_cast<uint16_t>(Wanted) == Id;
}

std::string DeviceName(uint32_t Device)
{
    return std::to_string(Device >> 16) + "." + std::to_string(Device & 0xFFFF);
}

std::string Hex16(int32_t Value)
{
    if (Value < 0)
        return "any";
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(Value));
    return text;
}

bool KnownLinkType(uint32_t LinkType)
{
    return LinkType == kLinkTypeUser0 || LinkType == kLinkTypeUsbLinux || LinkType == kLinkTypeUsbLinuxMmapped ||
           LinkType == kLinkTypeUsbPcap;
}

void CheckLinkTypes(const CaptureReader& Reader)
{
    std::string seen;
    for (const CaptureInterface& interface : Reader.Interfaces()) {
        if (KnownLinkType(interface.linkType))
            return;
        seen += (seen.empty() ? "" : ", ") + std::to_string(interface.linkType);
    }
    throw CaptureError("a capture of link type " + (seen.empty() ? std::string("none") : seen) +
                       ": zqk trace reads the library's traces (147), usbmon (189, 220) and USBPcap (249)");
}

// The devices of a USB capture that the host read the device descriptor of,
// and of those the units: the ones whose descriptor has the IDs.
struct KnownDevices {
    std::set<uint32_t> described, units;
};

KnownDevices DevicesOf(const CaptureReader& Reader, const std::vector<CapturePacket>& Packets, int32_t Vendor,
                       int32_t Product)
{
    KnownDevices known;
    for (const CapturePacket& packet : Packets) {
        UsbEvent event;
        if (!EventOf(Reader, packet, event) || !IsDeviceDescriptor(event))
            continue;
        known.described.insert(event.device);
        if (Matches(Vendor, Little16(event.data + 8)) && Matches(Product, Little16(event.data + 10)))
            known.units.insert(event.device);
    }
    return known;
}

// A channel packet as the library and the device make them, zero fill behind
// the data: what another device's 64-byte reports are unlikely to be.
bool LooksLikeChannelPacket(const uint8_t* Data, size_t Size)
{
    if (!IsChannelPacket(Data, Size))
        return false;
    for (size_t i = kHeaderSize + Data[2]; i < Size; ++i)
        if (Data[i] != 0)
            return false;
    return true;
}

// Without a unit known by its descriptor, the reports of the devices whose
// descriptor the capture lacks that parse as channel packets: a device
// described with other IDs is no unit.
bool FromUnit(const KnownDevices& Known, const UsbEvent& Event)
{
    if (!Known.units.empty())
        return Known.units.count(Event.device) != 0;
    return Known.described.count(Event.device) == 0 && LooksLikeChannelPacket(Event.data, Event.size);
}

void NoteDevices(const KnownDevices& Known, const std::string& Ids, CaptureReports& Found)
{
    for (const uint32_t unit : Known.units)
        Found.notes.push_back("device " + DeviceName(unit) + " (" + Ids + ", by its device descriptor)");
    if (!Known.units.empty())
        return;
    std::string others;
    for (const uint32_t device : Known.described)
        others += " " + DeviceName(device);
    Found.notes.push_back("no device descriptor of " + Ids + " in the capture" +
                          (others.empty() ? "" : " (devices of other IDs:" + others + ")") +
                          ": taking the interrupt transfers of undescribed devices"
                          " that have the shape of channel packets");
}

void AddUsbReports(const CaptureReader& Reader, const std::vector<CapturePacket>& Packets, int32_t Vendor,
                   int32_t Product, CaptureReports& Found)
{
    const KnownDevices known = DevicesOf(Reader, Packets, Vendor, Product);
    NoteDevices(known, "vendor " + Hex16(Vendor) + ", product " + Hex16(Product), Found);
    for (const CapturePacket& packet : Packets) {
        UsbEvent event;
        if (!EventOf(Reader, packet, event) || !CarriesReport(event) || !FromUnit(known, event))
            continue;
        TracedReport report;
        report.kind = (event.endpoint & kInEndpoint) ? TracedReport::Kind::FromDevice : TracedReport::Kind::ToDevice;
        report.microseconds = packet.microseconds;
        report.data = event.data;
        report.size = event.size;
        Found.reports.push_back(report);
    }
}

}  // namespace

bool IsChannelPacket(const uint8_t* Data, size_t Size)
{
    return Size == kReportSize && Data[0] <= kMaxChannel && Data[2] <= kMaxReportData;
}

bool OwnTraceReport(const CaptureInterface& Interface, const CapturePacket& Packet, TracedReport& Report)
{
    if (Interface.linkType != kLinkTypeUser0)
        return false;
    Report = TracedReport();
    Report.microseconds = Packet.microseconds;
    Report.data = Packet.data;
    Report.size = Packet.size;
    const uint32_t direction = Packet.flags & (kInbound | kOutbound);
    if (Packet.size == 0)
        Report.kind = TracedReport::Kind::Event, Report.event = Packet.comment;
    else if (direction == kInbound)
        Report.kind = TracedReport::Kind::FromDevice;
    else if (direction == kOutbound)
        Report.kind = TracedReport::Kind::ToDevice;
    return true;
}

CaptureReports ReportsOf(const CaptureReader& Reader, const std::vector<CapturePacket>& Packets, int32_t Vendor,
                         int32_t Product)
{
    CheckLinkTypes(Reader);
    CaptureReports found;
    if (!Reader.Application().empty())
        found.notes.push_back("written by " + Reader.Application());
    for (const CaptureInterface& interface : Reader.Interfaces())
        if (interface.linkType == kLinkTypeUser0 && !interface.name.empty())
            found.notes.push_back("device " + interface.name +
                                  (interface.description.empty() ? "" : ", " + interface.description));
    bool usb = false;
    for (const CapturePacket& packet : Packets) {
        TracedReport report;
        if (OwnTraceReport(Reader.Interfaces()[packet.interfaceIndex], packet, report))
            found.reports.push_back(report);
        else
            usb = true;
    }
    if (usb)
        AddUsbReports(Reader, Packets, Vendor, Product, found);
    return found;
}

}  // namespace zqktool
