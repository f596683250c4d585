// The USB/IP front's encoding on the host, without a kernel: the device list
// and import replies, a submit and its reply, the descriptors the device
// gives and the strings it stalls.
#include <gtest/gtest.h>

#include "sim/usb_descriptors.h"
#include "sim/usbip_protocol.h"

namespace zqk::sim {
namespace {

using usbip::Bytes;

uint32_t Get32(const Bytes& Data, size_t At)
{
    return uint32_t {Data[At]} << 24 | uint32_t {Data[At + 1]} << 16 | uint32_t {Data[At + 2]} << 8 | Data[At + 3];
}

usbip::ExportedDevice SecondDevice()
{
    usbip::ExportedDevice device;
    device.Path = "/sys/devices/x/1-2";
    device.BusId = "1-2";
    device.DeviceNumber = 2;
    device.Vendor = 0x16D0;
    device.Product = 0x064E;
    return device;
}

usb::ControlAnswer Control(const usb::UsbDescriptors& Device, std::array<uint8_t, 8> Setup)
{
    Bytes output;
    return Device.Answer(usb::ParseSetup(Setup.data()), {}, output);
}

TEST(UsbipProtocol, DeviceListRecordIsThe312BytesAndOneInterface)
{
    const Bytes reply = usbip::DeviceListReply({SecondDevice()});
    ASSERT_EQ(reply.size(), 12 + usbip::kDeviceRecordSize + 4);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 4), (Bytes {0x01, 0x11, 0x00, 0x05}));
    EXPECT_EQ(Get32(reply, 8), 1u);  // devices
    const size_t record = 12;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply[record + 256])), "1-2");
    EXPECT_EQ(Get32(reply, record + 288), 1u);  // busnum
    EXPECT_EQ(Get32(reply, record + 292), 2u);  // devnum
    EXPECT_EQ(Get32(reply, record + 296), usbip::kFullSpeed);
    EXPECT_EQ(Bytes(reply.begin() + record + 300, reply.begin() + record + 312),
              (Bytes {0x16, 0xD0, 0x06, 0x4E, 0x01, 0x00, 0, 0, 0, 1, 1, 1}));
    EXPECT_EQ(Bytes(reply.end() - 4, reply.end()), (Bytes {0x03, 0, 0, 0}));  // HID
}

TEST(UsbipProtocol, ImportReplyCarriesTheRecordOrRefuses)
{
    const usbip::ExportedDevice device = SecondDevice();
    const Bytes reply = usbip::ImportReply(&device);
    ASSERT_EQ(reply.size(), 8 + usbip::kDeviceRecordSize);
    EXPECT_EQ(Get32(reply, 4), 0u);
    EXPECT_EQ(device.DeviceId(), 0x10002u);
    const Bytes refusal = usbip::ImportReply(nullptr);
    EXPECT_EQ(refusal, (Bytes {0x01, 0x11, 0x00, 0x03, 0, 0, 0, 1}));
}

TEST(UsbipProtocol, SubmitRoundTripKeepsItsFieldsAndGivesTheDataBack)
{
    usbip::UrbCommand sent;
    sent.Command = usbip::kCmdSubmit;
    sent.SequenceNumber = 0x01020304;
    sent.DeviceId = 0x10001;
    sent.Direction = usbip::kDirectionIn;
    sent.Endpoint = 1;
    sent.BufferLength = 64;
    sent.Interval = 1;
    const Bytes wire = usbip::EncodeUrbCommand(sent, {});
    ASSERT_EQ(wire.size(), usbip::kUrbHeaderSize);
    const usbip::UrbCommand got = usbip::ParseUrbCommand(wire.data());
    EXPECT_EQ(got.SequenceNumber, sent.SequenceNumber);
    EXPECT_EQ(got.Direction, usbip::kDirectionIn);
    EXPECT_EQ(got.BufferLength, 64u);
    EXPECT_EQ(got.OutDataSize(), 0u);

    const Bytes reply = usbip::SubmitReply(got, 0, {7, 8, 9}, 0);
    ASSERT_EQ(reply.size(), usbip::kUrbHeaderSize + 3);
    EXPECT_EQ(Get32(reply, 0), usbip::kRetSubmit);
    EXPECT_EQ(Get32(reply, 4), 0x01020304u);
    EXPECT_EQ(Get32(reply, 24), 3u);  // actual_length
    EXPECT_EQ(Bytes(reply.end() - 3, reply.end()), (Bytes {7, 8, 9}));
    EXPECT_EQ(Get32(usbip::SubmitReply(got, usbip::kStatusStall, {}, 0), 20), 0xFFFFFFE0u);  // -EPIPE

    usbip::UrbCommand unlink;
    unlink.Command = usbip::kCmdUnlink;
    unlink.SequenceNumber = 9;
    unlink.UnlinkSequenceNumber = 0x01020304;
    EXPECT_EQ(usbip::ParseUrbCommand(usbip::EncodeUrbCommand(unlink, {}).data()).UnlinkSequenceNumber, 0x01020304u);
    EXPECT_EQ(Get32(usbip::UnlinkReply(unlink, usbip::kStatusUnlinked), 20), 0xFFFFFF98u);  // -ECONNRESET
}

TEST(UsbDescriptors, DeviceAndConfigurationShowOneHidInterfaceOfTwoInterruptEndpoints)
{
    const usb::UsbDescriptors device {UsbIdentity {}};
    const Bytes descriptor = device.Device();
    EXPECT_EQ(descriptor, (Bytes {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0xD0, 0x16, 0x4E, 0x06, 0x00, 0x01, 1, 2, 3, 1}));
    const Bytes configuration = device.Configuration();
    ASSERT_EQ(configuration.size(), 41u);
    EXPECT_EQ(configuration[2], 41);
    EXPECT_EQ(configuration[9 + 5], 0x03);  // interface class HID
    EXPECT_EQ(Bytes(configuration.begin() + 27, configuration.end()),
              (Bytes {7, 5, 0x81, 0x03, 64, 0, 1, 7, 5, 0x01, 0x03, 64, 0, 1}));
    const Bytes report = device.Report();
    EXPECT_EQ(configuration[18 + 7], report.size());
    EXPECT_EQ(Bytes(report.begin(), report.begin() + 3), (Bytes {0x06, 0xB2, 0xFF}));  // usage page 0xFFB2
    // Short reads give the start, as a host asks for the first 9 bytes.
    EXPECT_EQ(Control(device, {0x80, 6, 0, 2, 0, 0, 9, 0}).Data, Bytes(configuration.begin(), configuration.begin() + 9));
    EXPECT_EQ(Control(device, {0x81, 6, 0, 0x22, 0, 0, 0xFF, 0}).Data, report);
}

TEST(UsbDescriptors, StringsComeFromTheIdentityAndOthersStall)
{
    UsbIdentity identity;
    identity.Indexed[255] = u"z\u00e9";
    const usb::UsbDescriptors device {identity};
    EXPECT_EQ(Control(device, {0x80, 6, 0, 3, 0, 0, 0xFF, 0}).Data, (Bytes {4, 3, 0x09, 0x04}));
    EXPECT_EQ(Control(device, {0x80, 6, 3, 3, 0x09, 0x04, 0xFF, 0}).Data,
              (Bytes {18, 3, 'Z', 0, 'Q', 0, 'K', 0, '-', 0, '0', 0, '0', 0, '0', 0, '1', 0}));
    EXPECT_EQ(Control(device, {0x80, 6, 204, 3, 0x09, 0x04, 0xFF, 0}).Data,
              (Bytes {18, 3, 'f', 0, 's', 0, '.', 0, 'n', 0, 'f', 0, 'i', 0, '.', 0, '2', 0}));
    EXPECT_EQ(Control(device, {0x80, 6, 255, 3, 0x09, 0x04, 0xFF, 0}).Data, (Bytes {6, 3, 'z', 0, 0xE9, 0}));
    EXPECT_TRUE(Control(device, {0x80, 6, 200, 3, 0x09, 0x04, 0xFF, 0}).Stalled);  // not defined
    EXPECT_TRUE(Control(device, {0x80, 6, 4, 3, 0x09, 0x04, 0xFF, 0}).Stalled);
    EXPECT_TRUE(Control(device, {0x80, 6, 0, 6, 0, 0, 10, 0}).Stalled);  // no device qualifier at full speed
    EXPECT_TRUE(Control(device, {0xA1, 1, 0, 3, 0, 0, 64, 0}).Stalled);  // GET_REPORT
    EXPECT_FALSE(Control(device, {0x21, 0x0A, 0, 0, 0, 0, 0, 0}).Stalled);  // SET_IDLE
}

TEST(UsbDescriptors, SetReportOfAnOutputReportHandsItsDataOn)
{
    const usb::UsbDescriptors device {UsbIdentity {}};
    const uint8_t setup[] = {0x21, 0x09, 0x00, 0x02, 0, 0, 64, 0};
    const Bytes report(64, 0x5A);
    Bytes output;
    EXPECT_FALSE(device.Answer(usb::ParseSetup(setup), report, output).Stalled);
    EXPECT_EQ(output, report);
}

}  // namespace
}  // namespace zqk::sim
