#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/sim_device.h"

// The simulated device as USB shows it: a full-speed device with one HID
// interface of 64-byte interrupt IN and OUT endpoints, and the answers of its
// default control pipe. Kernel-free, so that the host's tests check it.
namespace zqk::sim::usb {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x01;
constexpr uint16_t kMaxPacketSize = 64;
constexpr uint8_t kIntervalMs = 1;

// The 8 bytes that open a control transfer.
struct SetupPacket {
    uint8_t RequestType = 0, Request = 0;
    uint16_t Value = 0, Index = 0, Length = 0;
};
SetupPacket ParseSetup(const uint8_t* Raw);

// What a control transfer ends with: a stall, or the data of its IN stage
// (empty for an OUT request that the device took).
struct ControlAnswer {
    bool Stalled = false;
    Bytes Data;
};

class UsbDescriptors {
public:
    explicit UsbDescriptors(const UsbIdentity& Identity);

    Bytes Device() const;
    Bytes Configuration() const;
    Bytes Report() const { return report_; }
    // String 0 is the language list; 1 to 3 the manufacturer, product and
    // serial number; others what the device defines. Nothing for the rest.
    std::optional<Bytes> String(uint8_t Index) const;

    // The answer to a request on the default control pipe. The data stage of
    // a SET_REPORT for an output report is the device's, in OutputReport.
    ControlAnswer Answer(const SetupPacket& Setup, const Bytes& OutData, Bytes& OutputReport) const;

private:
    Bytes HidDescriptor() const;
    std::optional<Bytes> Descriptor(const SetupPacket& Setup) const;
    static ControlAnswer Reply(Bytes Data, uint16_t Length);

    UsbIdentity identity_;
    Bytes report_;
};

}  // namespace zqk::sim::usb
