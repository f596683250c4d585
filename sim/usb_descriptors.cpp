#include "sim/usb_descriptors.h"

#include <algorithm>

#include "sim/sim_front.h"

namespace zqk::sim::usb {

namespace {

// bRequest values of USB 2.0 chapter 9 and of the HID class.
constexpr uint8_t kGetStatus = 0x00, kClearFeature = 0x01, kSetFeature = 0x03, kGetDescriptor = 0x06,
                  kGetConfiguration = 0x08, kSetConfiguration = 0x09, kGetInterface = 0x0A,
                  kSetInterface = 0x0B;
constexpr uint8_t kHidSetReport = 0x09, kHidSetIdle = 0x0A, kHidSetProtocol = 0x0B;
constexpr uint8_t kTypeDevice = 1, kTypeConfiguration = 2, kTypeString = 3, kTypeHid = 0x21, kTypeReport = 0x22;
constexpr uint8_t kClassRequest = 0x20;
constexpr uint8_t kOutputReport = 2;
constexpr size_t kMaxStringUnits = 126;  // a descriptor's length is one byte

uint8_t Low(int32_t Value)
{
    return static_cast<uint8_t>(Value & 0xFF);
}

uint8_t High(int32_t Value)
{
    return static_cast<uint8_t>((Value >> 8) & 0xFF);
}

Bytes StringDescriptor(const std::u16string& Text)
{
    const size_t units = std::min(Text.size(), kMaxStringUnits);
    Bytes out {static_cast<uint8_t>(2 + 2 * units), kTypeString};
    for (size_t i = 0; i < units; ++i) {
        out.push_back(Low(Text[i]));
        out.push_back(High(Text[i]));
    }
    return out;
}

}  // namespace

SetupPacket ParseSetup(const uint8_t* Raw)
{
    SetupPacket setup;
    setup.RequestType = Raw[0];
    setup.Request = Raw[1];
    setup.Value = static_cast<uint16_t>(Raw[2] | Raw[3] << 8);  // little-endian, as on the bus
    setup.Index = static_cast<uint16_t>(Raw[4] | Raw[5] << 8);
    setup.Length = static_cast<uint16_t>(Raw[6] | Raw[7] << 8);
    return setup;
}

UsbDescriptors::UsbDescriptors(const UsbIdentity& Identity)
    : identity_(Identity)
{
    const std::string report = front::ReportDescriptor(Identity.UsagePage, Identity.Usage);
    report_.assign(report.begin(), report.end());
}

Bytes UsbDescriptors::Device() const
{
    return {18, kTypeDevice, 0x00, 0x02,  // USB 2.00
            0x00, 0x00, 0x00,             // the class is the interface's
            Low(kMaxPacketSize), Low(identity_.VendorID), High(identity_.VendorID), Low(identity_.ProductID),
            High(identity_.ProductID), 0x00, 0x01,  // device release 1.00
            1, 2, 3,                                // manufacturer, product, serial number
            1};
}

Bytes UsbDescriptors::HidDescriptor() const
{
    return {9, kTypeHid, 0x11, 0x01, 0x00, 1, kTypeReport, Low(static_cast<int32_t>(report_.size())),
            High(static_cast<int32_t>(report_.size()))};
}

Bytes UsbDescriptors::Configuration() const
{
    Bytes out {9, kTypeConfiguration, 0, 0, 1, 1, 0, 0x80, 50};  // one interface, bus powered, 100 mA
    const Bytes interface {9, 4, 0, 0, 2, 0x03, 0x00, 0x00, 0};  // HID, no boot protocol
    const Bytes hid = HidDescriptor();
    const Bytes in {7, 5, kInEndpoint, 0x03, Low(kMaxPacketSize), High(kMaxPacketSize), kIntervalMs};
    const Bytes outEndpoint {7, 5, kOutEndpoint, 0x03, Low(kMaxPacketSize), High(kMaxPacketSize), kIntervalMs};
    for (const Bytes* part : {&interface, &hid, &in, &outEndpoint})
        out.insert(out.end(), part->begin(), part->end());
    out[2] = Low(static_cast<int32_t>(out.size()));
    out[3] = High(static_cast<int32_t>(out.size()));
    return out;
}

std::optional<Bytes> UsbDescriptors::String(uint8_t Index) const
{
    switch (Index) {
    case 0: return Bytes {4, kTypeString, 0x09, 0x04};  // English (United States)
    case 1: return StringDescriptor(identity_.Manufacturer);
    case 2: return StringDescriptor(identity_.Product);
    case 3: return StringDescriptor(identity_.SerialNumber);
    default: break;
    }
    const auto found = identity_.Indexed.find(Index);
    if (found == identity_.Indexed.end())
        return std::nullopt;
    return StringDescriptor(found->second);
}

std::optional<Bytes> UsbDescriptors::Descriptor(const SetupPacket& Setup) const
{
    const uint8_t type = High(Setup.Value);
    const uint8_t index = Low(Setup.Value);
    if (type == kTypeDevice)
        return Device();
    if (type == kTypeConfiguration && index == 0)
        return Configuration();
    if (type == kTypeString)
        return String(index);
    if (type == kTypeHid)
        return HidDescriptor();
    if (type == kTypeReport)
        return report_;
    return std::nullopt;  // among them the device qualifier: a full-speed device has none
}

ControlAnswer UsbDescriptors::Reply(Bytes Data, uint16_t Length)
{
    if (Data.size() > Length)
        Data.resize(Length);
    return {false, std::move(Data)};
}

ControlAnswer UsbDescriptors::Answer(const SetupPacket& Setup, const Bytes& OutData, Bytes& OutputReport) const
{
    const bool classRequest = (Setup.RequestType & 0x60) == kClassRequest;
    if (classRequest && Setup.Request == kHidSetReport && High(Setup.Value) == kOutputReport) {
        OutputReport = OutData;
        return {};
    }
    if (classRequest)  // SET_IDLE and SET_PROTOCOL are taken; GET_REPORT and the rest stall
        return {Setup.Request != kHidSetIdle && Setup.Request != kHidSetProtocol, {}};
    switch (Setup.Request) {
    case kGetDescriptor: {
        std::optional<Bytes> found = Descriptor(Setup);
        return found ? Reply(std::move(*found), Setup.Length) : ControlAnswer {true, {}};
    }
    case kGetStatus: return Reply({0, 0}, Setup.Length);
    case kGetConfiguration: return Reply({1}, Setup.Length);
    case kGetInterface: return Reply({0}, Setup.Length);
    case kSetConfiguration:
    case kSetInterface:
    case kClearFeature:
    case kSetFeature: return {};
    default: return {true, {}};
    }
}

}  // namespace zqk::sim::usb
