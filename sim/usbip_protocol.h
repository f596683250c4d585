#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The messages of USB/IP (the Linux kernel's usbip_protocol.rst), as the
// device's side sends and reads them: all fields big-endian. Kernel-free, so
// that the host's tests check the encoding.
namespace zqk::sim::usbip {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kVersion = 0x0111;
constexpr uint16_t kRequestDeviceList = 0x8005, kReplyDeviceList = 0x0005;
constexpr uint16_t kRequestImport = 0x8003, kReplyImport = 0x0003;
constexpr uint32_t kCmdSubmit = 1, kCmdUnlink = 2, kRetSubmit = 3, kRetUnlink = 4;
constexpr uint32_t kDirectionOut = 0, kDirectionIn = 1;
constexpr size_t kOpHeaderSize = 8;
constexpr size_t kBusIdSize = 32;
constexpr size_t kDeviceRecordSize = 312;
constexpr size_t kUrbHeaderSize = 48;
constexpr uint32_t kFullSpeed = 2;  // the kernel's USB_SPEED_FULL
// RET_SUBMIT and RET_UNLINK statuses: the kernel's negated errno values.
constexpr int32_t kStatusStall = -32;     // -EPIPE
constexpr int32_t kStatusUnlinked = -104;  // -ECONNRESET

// One device as the device list and the import reply show it.
struct ExportedDevice {
    std::string Path;   // a sysfs-like path; clients show it
    std::string BusId;  // "1-1"
    uint32_t BusNumber = 1;
    uint32_t DeviceNumber = 1;
    uint16_t Vendor = 0;
    uint16_t Product = 0;
    uint16_t Release = 0x0100;

    uint32_t DeviceId() const { return BusNumber << 16 | DeviceNumber; }
};

// The 8 bytes that open every OP_ message.
struct OpHeader {
    uint16_t Version = 0;
    uint16_t Code = 0;
    uint32_t Status = 0;
};
OpHeader ParseOpHeader(const uint8_t* Raw);
// The bus ID an OP_REQ_IMPORT asks for, from the 32 bytes after its header.
std::string ParseBusId(const uint8_t* Raw);

Bytes DeviceListReply(const std::vector<ExportedDevice>& Devices);
// The reply to an import of Device, or a refusal (status 1) for none.
Bytes ImportReply(const ExportedDevice* Device);

// The 48-byte header of CMD_SUBMIT or CMD_UNLINK (one struct for both: the
// fields that a command does not have stay zero).
struct UrbCommand {
    uint32_t Command = 0;
    uint32_t SequenceNumber = 0;
    uint32_t DeviceId = 0;
    uint32_t Direction = 0;
    uint32_t Endpoint = 0;
    uint32_t TransferFlags = 0;
    uint32_t BufferLength = 0;
    uint32_t Interval = 0;
    uint8_t Setup[8] = {};
    uint32_t UnlinkSequenceNumber = 0;

    // The OUT data that follows a CMD_SUBMIT's header.
    size_t OutDataSize() const { return Command == kCmdSubmit && Direction == kDirectionOut ? BufferLength : 0; }
};
UrbCommand ParseUrbCommand(const uint8_t* Raw);
// The other way, as the client sends it (for tests).
Bytes EncodeUrbCommand(const UrbCommand& Command, const Bytes& OutData);

// RET_SUBMIT for a command: an IN transfer's data follow the header; an OUT
// transfer reports Moved bytes taken.
Bytes SubmitReply(const UrbCommand& Command, int32_t Status, const Bytes& InData, uint32_t Moved);
Bytes UnlinkReply(const UrbCommand& Command, int32_t Status);

}  // namespace zqk::sim::usbip
