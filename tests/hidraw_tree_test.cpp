// The hidraw transport against a sysfs and /dev tree that the test builds:
// enumeration and matching, strings, and the read and write paths on nodes
// that are plain files and FIFOs instead of hidraw devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "api/library.h"
#include "hid/raw_hid.h"
#include "hid/raw_hid_linux.h"
#include "link/comms.h"
#include "support/library_fixture.h"
#include "zqkAPI.h"

namespace zqk {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr int32_t kForever = 600000;

const Bytes kDeviceDescriptor = {0x06, 0xB2, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,
                                 0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x09, 0x01, 0x95, 0x40, 0x91, 0x02, 0xC0};
// A keyboard collection, then a vendor-page collection with usage 5.
const Bytes kTwoCollections = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0xA1, 0x00, 0xC0, 0xC0,
                               0x06, 0xB2, 0xFF, 0x09, 0x05, 0xA1, 0x01, 0xC0};
const Bytes kOtherPage = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0xC0};

enum class NodeKind { File, Fifo, Directory, Missing };

// One HID device as sysfs shows it, with its hidraw node.
struct FakeHid {
    std::string SysfsName = "0003:16D0:064E.0001";  // bus:vendor:product.sequence
    std::string HidId = "0003:000016D0:0000064E";
    Bytes Descriptor = kDeviceDescriptor;
    std::string Name = "Vorlund zq.keeper";
    std::string Uniq = "ZQK-0001";
    bool OnUsb = true;  // else a uhid device with no USB device above it
    NodeKind Node = NodeKind::File;
};

void WriteFile(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// sysfs and /dev below a fresh temporary directory, used by every TRawHid
// while the object lives.
class FakeTree {
public:
    FakeTree() : top_(MakeTop()), roots_ {{(top_ / "sys").string(), (top_ / "dev").string()}}
    {
        fs::create_directories(top_ / "sys/class/hidraw");
        fs::create_directories(top_ / "dev");
        // The root hub is a USB device too; the strings are the nearer one's.
        WriteUsbDevice(top_ / "sys/devices/pci0000:00/usb1", "Linux Foundation", "root hub", "0000:00:14.0", 1);
    }
    ~FakeTree() { fs::remove_all(top_); }

    void Add(int Number, const FakeHid& hid)
    {
        const std::string name = "hidraw" + std::to_string(Number);
        fs::path parent = top_ / "sys/devices/virtual/misc/uhid";
        if (hid.OnUsb) {
            const std::string port = "1-" + std::to_string(Number + 1);
            const fs::path usb = top_ / "sys/devices/pci0000:00/usb1" / port;
            WriteUsbDevice(usb, "Vorlund", "zq.keeper", "USB-" + std::to_string(Number), Number + 2);
            parent = usb / (port + ":1.0");
            WriteFile(parent / "uevent", "DEVTYPE=usb_interface\n");
        }
        const fs::path hidDir = parent / hid.SysfsName;
        WriteFile(hidDir / "uevent", "DRIVER=hid-generic\nHID_ID=" + hid.HidId + "\nHID_NAME=" + hid.Name +
                                         "\nHID_UNIQ=" + hid.Uniq + "\n");
        WriteFile(hidDir / "report_descriptor", std::string(hid.Descriptor.begin(), hid.Descriptor.end()));
        const fs::path classDir = hidDir / "hidraw" / name;
        WriteFile(classDir / "uevent", "MAJOR=246\nMINOR=" + std::to_string(Number) + "\nDEVNAME=" + name + "\n");
        fs::create_directory_symlink("../..", classDir / "device");
        fs::create_directory_symlink(fs::relative(classDir, top_ / "sys/class/hidraw"), top_ / "sys/class/hidraw" / name);
        MakeNode(top_ / "dev" / name, hid.Node);
    }

    std::string Node(int Number) const { return (top_ / "dev" / ("hidraw" + std::to_string(Number))).string(); }
    const fs::path& Top() const { return top_; }

private:
    static fs::path MakeTop()
    {
        std::string pattern = (fs::temp_directory_path() / "zqk-hidraw-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        return fs::canonical(pattern);
    }

    static void WriteUsbDevice(const fs::path& dir, const std::string& manufacturer, const std::string& product,
                               const std::string& serial, int devnum)
    {
        WriteFile(dir / "uevent", "DEVTYPE=usb_device\nDEVNAME=bus/usb/001/" + std::to_string(devnum) + "\n");
        WriteFile(dir / "manufacturer", manufacturer + "\n");
        WriteFile(dir / "product", product + "\n");
        WriteFile(dir / "serial", serial + "\n");
        WriteFile(dir / "busnum", "1\n");
        WriteFile(dir / "devnum", std::to_string(devnum) + "\n");
    }

    static void MakeNode(const fs::path& path, NodeKind kind)
    {
        switch (kind) {
        case NodeKind::File: WriteFile(path, ""); break;
        case NodeKind::Fifo: ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << std::strerror(errno); break;
        case NodeKind::Directory: fs::create_directory(path); break;
        case NodeKind::Missing: break;
        }
    }

    fs::path top_;
    hidraw::ScopedRoots roots_;
};

FakeHid WithVendorAndProduct(const std::string& sysfsName, const std::string& hidId)
{
    FakeHid hid;
    hid.SysfsName = sysfsName;
    hid.HidId = hidId;
    return hid;
}

std::vector<std::string> Listed(int32_t vendor, int32_t product, int32_t usagePage, int32_t usage)
{
    std::vector<std::string> list {"left over"};
    const int32_t n = TRawHid::EnumerateDevices(list, vendor, product, usagePage, usage);
    EXPECT_EQ(n, static_cast<int32_t>(list.size()));
    return list;
}

// ---- enumeration ----

class HidrawEnumeration : public ::testing::Test {
protected:
    HidrawEnumeration()
    {
        tree_.Add(0, FakeHid {});
        tree_.Add(1, WithVendorAndProduct("0003:1234:064E.0002", "0003:00001234:0000064E"));
        FakeHid otherPage;
        otherPage.SysfsName = "0003:16D0:064E.0003";
        otherPage.Descriptor = kOtherPage;
        tree_.Add(2, otherPage);
        FakeHid twoCollections;
        twoCollections.SysfsName = "0003:16D0:064E.0004";
        twoCollections.Descriptor = kTwoCollections;
        tree_.Add(3, twoCollections);
        FakeHid directory;
        directory.SysfsName = "0003:16D0:064E.0005";
        directory.Node = NodeKind::Directory;
        tree_.Add(4, directory);
        FakeHid missing;
        missing.SysfsName = "0003:16D0:064E.0006";
        missing.Node = NodeKind::Missing;
        tree_.Add(5, missing);
        FakeHid uhid;
        uhid.SysfsName = "0003:16D0:064E.0007";
        uhid.OnUsb = false;
        tree_.Add(10, uhid);
    }

    FakeTree tree_;
};

TEST_F(HidrawEnumeration, ListsTheOpenableMatchingNodesInNodeOrder)
{
    // Not hidraw1 (vendor), hidraw2 (usage page), hidraw4 and hidraw5 (cannot
    // be opened); hidraw10 after hidraw3 although it sorts before it as text.
    EXPECT_EQ(Listed(0x16D0, 0x064E, 0xFFB2, -1),
              (std::vector<std::string> {tree_.Node(0), tree_.Node(3), tree_.Node(10)}));
}

TEST_F(HidrawEnumeration, NegativeValuesMatchAnything)
{
    EXPECT_EQ(Listed(-1, -1, -1, -1),
              (std::vector<std::string> {tree_.Node(0), tree_.Node(1), tree_.Node(2), tree_.Node(3), tree_.Node(10)}));
    EXPECT_EQ(Listed(0x1234, -1, -1, -1), (std::vector<std::string> {tree_.Node(1)}));
    EXPECT_EQ(Listed(-1, -1, 0xFF00, 1), (std::vector<std::string> {tree_.Node(2)}));
}

TEST_F(HidrawEnumeration, UsagePageAndUsageMustNameTheSameCollection)
{
    EXPECT_EQ(Listed(-1, -1, 0xFFB2, 5), (std::vector<std::string> {tree_.Node(3)}));
    EXPECT_EQ(Listed(-1, -1, 0x0001, 6), (std::vector<std::string> {tree_.Node(3)}));
    EXPECT_TRUE(Listed(-1, -1, 0xFFB2, 6).empty());
    EXPECT_TRUE(Listed(-1, -1, 0x0007, -1).empty());  // a nested collection is no top-level one
}

TEST_F(HidrawEnumeration, OpenTakesTheFirstMatchOrLeavesTheObjectAsItWas)
{
    TRawHid hid;
    EXPECT_FALSE(hid.Open(0x16D0, 0x064E, 0x1234, -1));
    EXPECT_FALSE(hid.IsOpen());
    EXPECT_EQ(hid.DevicePath(), "");

    ASSERT_TRUE(hid.Open(0x16D0, 0x064E, 0xFFB2, -1));
    EXPECT_EQ(hid.DevicePath(), tree_.Node(0));
    EXPECT_FALSE(hid.Open(0x16D0, 0x064E, 0x1234, -1));  // no match: the open device stays
    EXPECT_TRUE(hid.IsOpen());
    EXPECT_EQ(hid.DevicePath(), tree_.Node(0));
}

TEST(HidrawIds, AnIdOfZeroKeepsThePathTestButSkipsTheComparison)
{
    FakeTree tree;
    // Its sysfs name says 0000:0000, its own identity 1234:5678.
    tree.Add(0, WithVendorAndProduct("0003:0000:0000.0001", "0003:00001234:00005678"));
    // Its name says 16D0:064E, its identity 1234:5678.
    tree.Add(1, WithVendorAndProduct("0003:16D0:064E.0002", "0003:00001234:00005678"));

    EXPECT_EQ(Listed(0, 0, -1, -1), (std::vector<std::string> {tree.Node(0)}));
    EXPECT_TRUE(Listed(0x1234, 0x5678, -1, -1).empty());  // neither name holds 1234:5678
    EXPECT_TRUE(Listed(0x16D0, 0x064E, -1, -1).empty());  // the identity differs
    EXPECT_EQ(Listed(0x16D0, 0, -1, -1), std::vector<std::string> {});
    EXPECT_EQ(Listed(-1, 0x064E, -1, -1), std::vector<std::string> {});
    EXPECT_EQ(Listed(-1, -1, -1, -1), (std::vector<std::string> {tree.Node(0), tree.Node(1)}));
    EXPECT_TRUE(Listed(0x10000 + 0x16D0, -1, -1, -1).empty());  // above 16 bits matches nothing
}

TEST(HidrawIds, BrokenEntriesAreSkipped)
{
    FakeTree tree;
    tree.Add(0, WithVendorAndProduct("not-a-hid-name", "0003:000016D0:0000064E"));
    tree.Add(1, WithVendorAndProduct("0003:16D0:064E.0002", "garbage"));
    FakeHid noDescriptor;
    noDescriptor.SysfsName = "0003:16D0:064E.0003";
    noDescriptor.Descriptor = {};
    tree.Add(2, noDescriptor);
    fs::create_directories(tree.Top() / "sys/class/hidraw/hidraw9");  // no device link

    EXPECT_TRUE(Listed(0x16D0, 0x064E, 0xFFB2, -1).empty());
    EXPECT_EQ(Listed(-1, -1, -1, -1), (std::vector<std::string> {tree.Node(0)}));
}

TEST(HidrawIds, NoTreeAtAllListsNothing)
{
    hidraw::ScopedRoots nowhere({"/nonexistent/sys", "/nonexistent/dev"});
    EXPECT_TRUE(Listed(-1, -1, -1, -1).empty());
    TRawHid hid;
    EXPECT_FALSE(hid.Open(-1, -1, -1, -1));
    EXPECT_FALSE(hid.OpenPath("/nonexistent/dev/hidraw0"));
    EXPECT_FALSE(hid.IsOpen());
    EXPECT_EQ(hid.DevicePath(), "/nonexistent/dev/hidraw0");
}

// ---- strings ----

TEST(HidrawStrings, ComeFromTheNearestUsbDevice)
{
    FakeTree tree;
    tree.Add(0, FakeHid {});
    TRawHid hid;
    ASSERT_TRUE(hid.OpenPath(tree.Node(0)));
    EXPECT_EQ(hid.GetManufacturerString(), u"Vorlund");
    EXPECT_EQ(hid.GetProductString(), u"zq.keeper");
    EXPECT_EQ(hid.GetSerialNumberString(), u"USB-0");
    // Without a usbfs node the strings read empty, and why is kept; the fake
    // node does not answer control transfers, which is the device's affair.
    const fs::path usbfs = tree.Top() / "dev/bus/usb/001/002";
    EXPECT_EQ(hid.IndexedStringProblem(), "");
    EXPECT_EQ(hid.GetIndexedString(204), u"");
    EXPECT_EQ(hid.IndexedStringProblem(), "no such file or directory on " + usbfs.string());
    WriteFile(usbfs, "");
    EXPECT_EQ(hid.GetIndexedString(204), u"");
    EXPECT_EQ(hid.IndexedStringProblem(), "");
    EXPECT_EQ(hid.GetIndexedString(0), u"");
    EXPECT_EQ(hid.GetIndexedString(256), u"");

    // Read when asked: a device that changed its strings (or vanished) shows it.
    WriteFile(tree.Top() / "sys/devices/pci0000:00/usb1/1-1/product", "zq.k\xC3\xA9" "eper\n");
    EXPECT_EQ(hid.GetProductString(), u"zq.k\u00E9eper");
    fs::remove(tree.Top() / "sys/devices/pci0000:00/usb1/1-1/serial");
    EXPECT_EQ(hid.GetSerialNumberString(), u"");

    hid.Close();
    EXPECT_EQ(hid.GetManufacturerString(), u"");
    EXPECT_EQ(hid.GetProductString(), u"");
    EXPECT_EQ(hid.GetSerialNumberString(), u"");
}

// Runs Body on a thread of its own without the capabilities that let root
// open any file, so that permissions apply to it as to any other user.
template <typename Body>
void WithFilePermissionsEnforced(Body&& Run)
{
    std::thread([&] {
        __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] {};
        if (::syscall(SYS_capget, &header, caps) == 0) {
            caps[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
            ASSERT_EQ(::syscall(SYS_capset, &header, caps), 0) << std::strerror(errno);
        }
        Run();
    }).join();
}

TEST(HidrawStrings, AUsbfsNodeThatMayNotBeWrittenIsTheReasonTheyReadEmpty)
{
    FakeTree tree;
    tree.Add(0, FakeHid {});
    const fs::path usbfs = tree.Top() / "dev/bus/usb/001/002";
    WriteFile(usbfs, "");
    fs::permissions(usbfs, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    TRawHid hid;
    ASSERT_TRUE(hid.OpenPath(tree.Node(0)));
    WithFilePermissionsEnforced([&] { EXPECT_EQ(hid.GetIndexedString(204), u""); });
    EXPECT_EQ(hid.IndexedStringProblem(), "permission denied on " + usbfs.string());
}

TEST(HidrawStrings, WithoutAUsbDeviceTheHidDeviceNamesItself)
{
    FakeTree tree;
    FakeHid uhid;
    uhid.OnUsb = false;
    uhid.Name = "zq.keeper sim";
    uhid.Uniq = "SIM0001";
    tree.Add(0, uhid);
    TRawHid hid;
    ASSERT_TRUE(hid.Open(0x16D0, 0x064E, 0xFFB2, -1));
    EXPECT_EQ(hid.GetManufacturerString(), u"");
    EXPECT_EQ(hid.GetProductString(), u"zq.keeper sim");
    EXPECT_EQ(hid.GetSerialNumberString(), u"SIM0001");
    EXPECT_EQ(hid.GetIndexedString(204), u"");
    EXPECT_EQ(hid.IndexedStringProblem(), "") << "it has no indexed strings: no problem";
}

// ---- reports ----

// A FIFO in place of the node: what the test writes into it the reader takes
// as one input report, and what WriteReport writes comes back the same way.
class HidrawFifo : public ::testing::Test {
protected:
    HidrawFifo()
    {
        FakeHid hid;
        hid.Node = NodeKind::Fifo;
        tree_.Add(0, hid);
        EXPECT_TRUE(hid_.Open(0x16D0, 0x064E, 0xFFB2, -1));
        device_ = ::open(tree_.Node(0).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(device_, 0);
    }
    ~HidrawFifo() override
    {
        if (device_ >= 0)
            ::close(device_);
    }

    void Send(const Bytes& report) { ASSERT_EQ(::write(device_, report.data(), report.size()), static_cast<ssize_t>(report.size())); }

    static Bytes Report(uint8_t first, size_t size = 64)
    {
        Bytes report(size);
        for (size_t i = 0; i < size; ++i)
            report[i] = static_cast<uint8_t>(first + i);
        return report;
    }

    FakeTree tree_;
    TRawHid hid_;
    int device_ = -1;
};

TEST_F(HidrawFifo, ReportsArriveWholeAndInOrder)
{
    uint8_t buffer[64];
    for (uint8_t i = 0; i < 3; ++i) {
        Send(Report(i));
        ASSERT_EQ(hid_.ReadReport(buffer, 64, kForever), 64);
        EXPECT_EQ(Bytes(buffer, buffer + 64), Report(i));
    }
    EXPECT_FALSE(hid_.ReadPending());
}

TEST_F(HidrawFifo, ATimedOutReadIsCollectedByTheNextCall)
{
    uint8_t buffer[64];
    EXPECT_EQ(hid_.ReadReport(buffer, 64, 0), -1);
    EXPECT_EQ(hid_.LastError(), EAGAIN);  // a new read that had to wait
    EXPECT_TRUE(hid_.ReadPending());
    EXPECT_EQ(hid_.ReadReport(buffer, 64, -5), -1);  // negative: the default of 0 ms
    EXPECT_EQ(hid_.LastError(), 0);                  // the same read, still waiting
    EXPECT_TRUE(hid_.ReadPending());

    Send(Report(40));
    ASSERT_EQ(hid_.ReadReport(buffer, 64, kForever), 64);
    EXPECT_EQ(buffer[0], 40);
    EXPECT_EQ(hid_.LastError(), 0);
    EXPECT_FALSE(hid_.ReadPending());
}

TEST_F(HidrawFifo, WriteReportPutsReportNumberZeroInFront)
{
    const Bytes data = Report(1);
    EXPECT_EQ(hid_.WriteReport(data.data(), 64, 200), 64);
    EXPECT_EQ(hid_.LastError(), 0);
    uint8_t buffer[516];
    ASSERT_EQ(hid_.ReadReport(buffer, 516, kForever), 65);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(Bytes(buffer + 1, buffer + 65), data);

    const Bytes largest = Report(9, 515);
    EXPECT_EQ(hid_.WriteReport(largest.data(), 515, 200), 515);
    ASSERT_EQ(hid_.ReadReport(buffer, 600, kForever), 516);  // a count above 516 reads 516
    EXPECT_EQ(Bytes(buffer + 1, buffer + 516), largest);
}

TEST_F(HidrawFifo, BadArgumentsAndAClosedDeviceFailAtOnce)
{
    const Bytes data = Report(0, 516);
    EXPECT_EQ(hid_.WriteReport(data.data(), 516, 200), -1);
    EXPECT_EQ(hid_.LastError(), EINVAL);
    EXPECT_EQ(hid_.WriteReport(data.data(), -1, 200), -1);
    EXPECT_EQ(hid_.WriteReport(nullptr, 64, 200), -1);
    EXPECT_TRUE(hid_.IsOpen());

    uint8_t buffer[64];
    EXPECT_EQ(hid_.ReadReport(buffer, 64, 0), -1);
    EXPECT_TRUE(hid_.ReadPending());
    hid_.Close();
    EXPECT_FALSE(hid_.IsOpen());
    EXPECT_FALSE(hid_.ReadPending());  // Close ends the outstanding read
    EXPECT_EQ(hid_.DevicePath(), tree_.Node(0));
    EXPECT_EQ(hid_.ReadReport(buffer, 64, kForever), -1);
    EXPECT_EQ(hid_.LastError(), EBADF);
    EXPECT_EQ(hid_.WriteReport(data.data(), 64, 200), -1);
    EXPECT_EQ(hid_.LastError(), EBADF);
    EXPECT_FALSE(hid_.IsOpen());
}

TEST_F(HidrawFifo, ReopeningStartsAFreshReader)
{
    uint8_t buffer[64];
    EXPECT_EQ(hid_.ReadReport(buffer, 64, 0), -1);
    ASSERT_TRUE(hid_.OpenPath(tree_.Node(0)));  // without Close first
    EXPECT_FALSE(hid_.ReadPending());
    Send(Report(5));
    ASSERT_EQ(hid_.ReadReport(buffer, 64, kForever), 64);
    EXPECT_EQ(buffer[0], 5);
}

TEST(HidrawEnd, ANodeThatEndsIsGoneLikeAnUnpluggedDeviceUntilItsOwnerClosesIt)
{
    FakeTree tree;
    tree.Add(0, FakeHid {});  // an empty file: the reader meets its end at once
    TRawHid hid;
    ASSERT_TRUE(hid.Open(0x16D0, 0x064E, 0xFFB2, -1));
    uint8_t buffer[64] = {};
    EXPECT_EQ(hid.ReadReport(buffer, 64, kForever), 0);  // the outstanding read completes empty
    EXPECT_TRUE(hid.IsOpen());
    EXPECT_FALSE(hid.Gone());
    EXPECT_FALSE(hid.ReadPending());
    EXPECT_EQ(hid.ReadReport(buffer, 64, kForever), -1);  // the next one is refused
    EXPECT_EQ(hid.LastError(), ENODEV);
    EXPECT_TRUE(hid.Gone());
    EXPECT_FALSE(hid.IsOpen());
    EXPECT_EQ(hid.ReadReport(buffer, 64, 0), -1);
    EXPECT_EQ(hid.LastError(), ENODEV);
    EXPECT_EQ(hid.WriteReport(buffer, 64, 100), -1) << "nothing goes out either";
    EXPECT_EQ(hid.LastError(), ENODEV);
    hid.Close();  // by its owner, while no other thread uses it
    EXPECT_FALSE(hid.Gone());
    EXPECT_EQ(hid.ReadReport(buffer, 64, 0), -1);
    EXPECT_EQ(hid.LastError(), EBADF);
}

// The link over the real transport, with no lock around the transport as a
// whole: the node ends (as an unplugged device does) while one thread
// receives and another sends and asks whether it is open. Under
// ThreadSanitizer, a transport that closed itself from the read side would
// show here, racing the other thread's writes.
TEST(HidrawEnd, ANodeThatEndsIsClosedByTheLinkWhileAnotherThreadSends)
{
    FakeTree tree;
    tree.Add(0, FakeHid {});  // an empty file: the reader meets its end at once
    TzqComms comms(std::make_unique<TRawHid>(), SystemClock::Instance(), testing::TestLockName("ends"));
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(comms.Open());
        std::atomic<bool> receiving {true};
        std::thread sender([&] {
            const std::string data(61, 's');
            while (receiving) {
                comms.Send(data, 0, 0, 100);
                comms.IsOpen();
            }
        });
        std::string data;
        for (int n = 0; n < 1000 && comms.IsOpen(); ++n)
            comms.Receive(0, 10, -1, data);
        receiving = false;
        sender.join();
        EXPECT_FALSE(comms.IsOpen()) << "round " << round;
    }
}

// ---- through the library ----

TEST(HidrawLibrary, TheExportsFindAndOpenTheNodeThroughTheRealTransport)
{
    FakeTree tree;
    FakeHid hid;
    hid.Node = NodeKind::Fifo;
    tree.Add(3, hid);
    rig::UsePlatformDevice(testing::TestLockName());

    char text[256];
    ASSERT_EQ(zqkOpen(), 1);
    EXPECT_EQ(zqkDebug(), 0x8000);
    EXPECT_EQ(zqkUsbPath(text, sizeof text), static_cast<int32_t>(tree.Node(3).size()));
    EXPECT_EQ(std::string(text), tree.Node(3));
    ASSERT_GT(zqkUsbDetail(2, text, sizeof text), 0);
    EXPECT_EQ(std::string(text), "zq.keeper");
    EXPECT_EQ(zqkUsbDetail(204, text, sizeof text), 0);
    EXPECT_FALSE(TheLibrary()->Default().Files.QuoteNames);
    EXPECT_EQ(TheLibrary()->Default().Comms.IndexedStringProblem(),
              "no such file or directory on " + (tree.Top() / "dev/bus/usb/001/005").string())
        << "why names go without quotes";

    EXPECT_EQ(zqkPoll(0), -1);
    EXPECT_EQ(zqkDebug(), 0x8001);
    EXPECT_EQ(zqkLastError(), EAGAIN);
    EXPECT_EQ(zqkTermTx("abc", 3, 200), 1);
    EXPECT_EQ(zqkClose(), 0);
    EXPECT_EQ(zqkDebug(), 0x8000);
    EXPECT_EQ(zqkIsOpen(), 0);

    rig::UsePlatformDevice(testing::TestLockName());  // closed, as it was
}

// What zqkDevOpen opens is there for zqkWaitForDevice, and what it does not
// open is not: one rule for both.
TEST(HidrawLibrary, ADeviceIsThereToWaitForWhenItWouldBeOpened)
{
    FakeTree tree;
    FakeHid hid;
    hid.Node = NodeKind::Fifo;
    tree.Add(3, hid);
    const fs::path link = tree.Top() / "dev/zq.keeper-USB-3";  // as a udev rule names the node
    fs::create_symlink(tree.Node(3), link);
    const std::string missing = (tree.Top() / "dev/hidraw9").string();
    rig::UsePlatformDevice(testing::TestLockName());
    TheLibrary()->HandleLockName = testing::TestLockName();
    for (const std::string& name : {std::string(), tree.Node(3), link.string(), std::string("USB-3")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(zqkWaitForDevice(name.c_str(), 0), 1);
        const int32_t handle = zqkDevOpen(name.c_str());
        EXPECT_GT(handle, 0);
        EXPECT_EQ(zqkDevClose(handle), 0);
    }
    for (const std::string& name : {missing, std::string("USB-9")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(zqkWaitForDevice(name.c_str(), 0), 0);
        EXPECT_EQ(zqkDevOpen(name.c_str()), 0);
    }
}

}  // namespace
}  // namespace zqk
