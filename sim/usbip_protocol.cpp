#include "sim/usbip_protocol.h"

#include <algorithm>
#include <cstring>

namespace zqk::sim::usbip {

namespace {

constexpr size_t kPathSize = 256;
constexpr uint32_t kNotIsochronous = 0xFFFFFFFF;  // number_of_packets of other transfers
constexpr uint8_t kHidClass = 0x03;

void Put16(Bytes& Out, uint32_t Value)
{
    Out.push_back(static_cast<uint8_t>(Value >> 8));
    Out.push_back(static_cast<uint8_t>(Value));
}

void Put32(Bytes& Out, uint32_t Value)
{
    Put16(Out, Value >> 16);
    Put16(Out, Value & 0xFFFF);
}

void PutText(Bytes& Out, const std::string& Text, size_t Size)
{
    const size_t kept = std::min(Text.size(), Size - 1);  // always ends with a zero
    Out.insert(Out.end(), Text.begin(), Text.begin() + static_cast<std::ptrdiff_t>(kept));
    Out.insert(Out.end(), Size - kept, 0);
}

uint16_t Get16(const uint8_t* Raw)
{
    return static_cast<uint16_t>(Raw[0] << 8 | Raw[1]);
}

uint32_t Get32(const uint8_t* Raw)
{
    return static_cast<uint32_t>(Get16(Raw)) << 16 | Get16(Raw + 2);
}

Bytes OpReply(uint16_t Code, uint32_t Status)
{
    Bytes out;
    Put16(out, kVersion);
    Put16(out, Code);
    Put32(out, Status);
    return out;
}

// The 312 bytes of struct usbip_usb_device.
void PutDeviceRecord(Bytes& Out, const ExportedDevice& Device)
{
    PutText(Out, Device.Path, kPathSize);
    PutText(Out, Device.BusId, kBusIdSize);
    Put32(Out, Device.BusNumber);
    Put32(Out, Device.DeviceNumber);
    Put32(Out, kFullSpeed);
    Put16(Out, Device.Vendor);
    Put16(Out, Device.Product);
    Put16(Out, Device.Release);
    const uint8_t classAndConfiguration[] = {0, 0, 0, 1, 1, 1};  // class in the interface; 1 configuration, 1 interface
    Out.insert(Out.end(), std::begin(classAndConfiguration), std::end(classAndConfiguration));
}

void PutBasicHeader(Bytes& Out, uint32_t Command, uint32_t SequenceNumber)
{
    Put32(Out, Command);
    Put32(Out, SequenceNumber);
    Out.insert(Out.end(), 12, 0);  // devid, direction and ep are zero in replies
}

}  // namespace

OpHeader ParseOpHeader(const uint8_t* Raw)
{
    return {Get16(Raw), Get16(Raw + 2), Get32(Raw + 4)};
}

std::string ParseBusId(const uint8_t* Raw)
{
    const char* text = reinterpret_cast<const char*>(Raw);
    return std::string(text, strnlen(text, kBusIdSize));
}

Bytes DeviceListReply(const std::vector<ExportedDevice>& Devices)
{
    Bytes out = OpReply(kReplyDeviceList, 0);
    Put32(out, static_cast<uint32_t>(Devices.size()));
    for (const ExportedDevice& device : Devices) {
        PutDeviceRecord(out, device);
        const uint8_t interface[] = {kHidClass, 0, 0, 0};  // no boot protocol; one byte of padding
        out.insert(out.end(), std::begin(interface), std::end(interface));
    }
    return out;
}

Bytes ImportReply(const ExportedDevice* Device)
{
    Bytes out = OpReply(kReplyImport, Device ? 0 : 1);
    if (Device)
        PutDeviceRecord(out, *Device);
    return out;
}

UrbCommand ParseUrbCommand(const uint8_t* Raw)
{
    UrbCommand command;
    command.Command = Get32(Raw);
    command.SequenceNumber = Get32(Raw + 4);
    command.DeviceId = Get32(Raw + 8);
    command.Direction = Get32(Raw + 12);
    command.Endpoint = Get32(Raw + 16);
    if (command.Command == kCmdUnlink) {
        command.UnlinkSequenceNumber = Get32(Raw + 20);
        return command;
    }
    command.TransferFlags = Get32(Raw + 20);
    command.BufferLength = Get32(Raw + 24);
    command.Interval = Get32(Raw + 36);
    std::memcpy(command.Setup, Raw + 40, sizeof command.Setup);
    return command;
}

Bytes EncodeUrbCommand(const UrbCommand& Command, const Bytes& OutData)
{
    Bytes out;
    for (uint32_t field : {Command.Command, Command.SequenceNumber, Command.DeviceId, Command.Direction,
                           Command.Endpoint})
        Put32(out, field);
    if (Command.Command == kCmdUnlink) {
        Put32(out, Command.UnlinkSequenceNumber);
        out.insert(out.end(), 24, 0);
        return out;
    }
    for (uint32_t field : {Command.TransferFlags, Command.BufferLength, 0u, kNotIsochronous, Command.Interval})
        Put32(out, field);
    out.insert(out.end(), std::begin(Command.Setup), std::end(Command.Setup));
    out.insert(out.end(), OutData.begin(), OutData.end());
    return out;
}

Bytes SubmitReply(const UrbCommand& Command, int32_t Status, const Bytes& InData, uint32_t Moved)
{
    Bytes out;
    PutBasicHeader(out, kRetSubmit, Command.SequenceNumber);
    const bool in = Command.Direction == kDirectionIn;
    Put32(out, static_cast<uint32_t>(Status));
    Put32(out, in ? static_cast<uint32_t>(InData.size()) : Moved);  // actual_length
    for (uint32_t field : {0u, kNotIsochronous, 0u})                // start_frame, packets, errors
        Put32(out, field);
    out.insert(out.end(), 8, 0);
    if (in)
        out.insert(out.end(), InData.begin(), InData.end());
    return out;
}

Bytes UnlinkReply(const UrbCommand& Command, int32_t Status)
{
    Bytes out;
    PutBasicHeader(out, kRetUnlink, Command.SequenceNumber);
    Put32(out, static_cast<uint32_t>(Status));
    out.insert(out.end(), 24, 0);
    return out;
}

}  // namespace zqk::sim::usbip
