// The hidraw transport end to end against a real kernel HID device: the
// simulated device served through /dev/uhid by zqk-sim-uhid. Runs inside the
// small virtual machine (tests/vm/run-hidvm-tests), whose kernel has uhid.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <functional>
#include <memory>
#include <set>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/library.h"
#include "hid/hid_descriptors.h"
#include "hid/raw_hid.h"
#include "link/channel_packet.h"
#include "sim/sim_terminal.h"
#include "support/library_fixture.h"
#include "vm/front_process.h"
#include "zqkAPI.h"

namespace zqk {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int32_t kLongWait = 20000;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// zqk-sim-uhid in a process of its own.
class FrontEnd : public FrontProcess {
public:
    explicit FrontEnd(std::vector<std::string> Arguments)
        : FrontProcess(ZQK_SIM_UHID, std::move(Arguments))
    {
    }
};

// The node of the first device matching these values, once the kernel has
// made it (a real wait: the kernel adds a uhid device in the background).
std::string WaitForNode(int32_t Vendor = 0x16D0, int32_t Product = 0x064E, int32_t UsagePage = 0xFFB2)
{
    const auto start = Clock::now();
    std::vector<std::string> nodes;
    while (TRawHid::EnumerateDevices(nodes, Vendor, Product, UsagePage, -1) == 0 && MsSince(start) < 10000)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return nodes.empty() ? std::string() : nodes.front();
}

// A channel packet whose data carries a sequence number.
Bytes NumberedPacket(uint32_t number, uint8_t channel = 1)
{
    Bytes packet(kPacketSize, 0);
    packet[0] = channel;
    packet[2] = kMaxPacketData;
    std::memcpy(&packet[3], &number, sizeof number);
    for (int i = 7; i < kPacketSize; ++i)
        packet[static_cast<size_t>(i)] = static_cast<uint8_t>(number * 7 + static_cast<uint32_t>(i));
    return packet;
}

uint32_t NumberOf(const uint8_t* packet)
{
    uint32_t number = 0;
    std::memcpy(&number, packet + 3, sizeof number);
    return number;
}

// ---- finding the device ----

TEST(UhidDevice, IsFoundThroughTheRealSysfsByItsIdentityAndCollection)
{
    FrontEnd ours({});
    const std::string node = WaitForNode();
    ASSERT_FALSE(node.empty());
    FrontEnd other({"--usage-page", "0xFF00", "--serial", "OTHER"});
    const std::string otherNode = WaitForNode(-1, -1, 0xFF00);
    ASSERT_FALSE(otherNode.empty());

    std::vector<std::string> nodes;
    EXPECT_EQ(TRawHid::EnumerateDevices(nodes, 0x16D0, 0x064E, 0xFFB2, -1), 1);
    EXPECT_EQ(nodes, std::vector<std::string> {node});
    EXPECT_EQ(TRawHid::EnumerateDevices(nodes, 0x16D0, 0x064E, 0xFFB2, 1), 1);
    EXPECT_EQ(TRawHid::EnumerateDevices(nodes, 0x16D0, 0x064E, 0xFFB2, 2), 0);
    EXPECT_EQ(TRawHid::EnumerateDevices(nodes, 0x1234, -1, -1, -1), 0);
    EXPECT_EQ(TRawHid::EnumerateDevices(nodes, 0x16D0, 0x064F, -1, -1), 0);
    EXPECT_EQ(TRawHid::EnumerateDevices(nodes, -1, -1, -1, -1), 2);
    EXPECT_EQ(nodes, (std::vector<std::string> {node, otherNode}));  // in node order

    const std::string descriptorPath = "/sys/class/hidraw/" + node.substr(node.rfind('/') + 1) + "/device/report_descriptor";
    FILE* file = std::fopen(descriptorPath.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    uint8_t bytes[4096];
    const size_t size = std::fread(bytes, 1, sizeof bytes, file);
    std::fclose(file);
    const auto summary = hid::ParseReportDescriptor(bytes, size);
    EXPECT_EQ(summary.TopLevel, (std::vector<hid::CollectionUsage> {{0xFFB2, 0x0001}}));
    EXPECT_FALSE(summary.NumberedReports);
}

TEST(UhidDevice, NamesItselfThroughTheHidDeviceForWantOfAUsbOne)
{
    FrontEnd device({});
    ASSERT_FALSE(WaitForNode().empty());
    TRawHid hid;
    ASSERT_TRUE(hid.Open(0x16D0, 0x064E, 0xFFB2, -1));
    EXPECT_EQ(hid.GetProductString(), u"zq.keeper");
    EXPECT_EQ(hid.GetSerialNumberString(), u"ZQK-0001");
    EXPECT_EQ(hid.GetManufacturerString(), u"");
    EXPECT_EQ(hid.GetIndexedString(204), u"");
}

// ---- reports ----

class EchoDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        node_ = WaitForNode();
        ASSERT_FALSE(node_.empty());
        ASSERT_TRUE(hid_.Open(0x16D0, 0x064E, 0xFFB2, -1));
        EXPECT_EQ(hid_.DevicePath(), node_);
    }

    void Write(const Bytes& packet) { ASSERT_EQ(hid_.WriteReport(packet.data(), kPacketSize, 1000), kPacketSize); }

    FrontEnd device_ {{"--echo"}};
    std::string node_;
    TRawHid hid_;
};

TEST_F(EchoDevice, ReportsMakeRoundTripsWhole)
{
    uint8_t buffer[kPacketSize];
    for (uint32_t i = 0; i < 200; ++i) {
        Write(NumberedPacket(i, static_cast<uint8_t>(i % 32)));
        ASSERT_EQ(hid_.ReadReport(buffer, kPacketSize, kLongWait), kPacketSize) << "round trip " << i;
        ASSERT_EQ(Bytes(buffer, buffer + kPacketSize), NumberedPacket(i, static_cast<uint8_t>(i % 32)));
    }
}

TEST_F(EchoDevice, AReadThatTimedOutGetsTheReportThatCameLater)
{
    uint8_t buffer[kPacketSize];
    EXPECT_EQ(hid_.ReadReport(buffer, kPacketSize, 0), -1);
    EXPECT_EQ(hid_.LastError(), EAGAIN);
    EXPECT_TRUE(hid_.ReadPending());
    Write(NumberedPacket(77));
    ASSERT_EQ(hid_.ReadReport(buffer, kPacketSize, kLongWait), kPacketSize);
    EXPECT_EQ(NumberOf(buffer), 77u);
    EXPECT_EQ(hid_.LastError(), 0);
    EXPECT_FALSE(hid_.ReadPending());
}

// hidraw alone keeps 64 reports for a node: a caller that pauses while the
// device sends a thousand, one per millisecond, would lose most of them.
TEST_F(EchoDevice, ACallerThatSleepsThroughAThousandReportsGetsThemAll)
{
    constexpr uint32_t kReports = 1000;
    for (uint32_t i = 0; i < kReports; ++i)
        Write(NumberedPacket(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the pause is the point

    uint8_t buffer[kPacketSize];
    uint32_t received = 0;
    while (received < kReports && hid_.ReadReport(buffer, kPacketSize, 0) == kPacketSize)
        ASSERT_EQ(NumberOf(buffer), received++);
    EXPECT_GT(received, 64u) << "more waited than hidraw itself keeps";
    std::printf("%u reports were waiting after the pause\n", received);
    while (received < kReports) {
        ASSERT_EQ(hid_.ReadReport(buffer, kPacketSize, kLongWait), kPacketSize) << "after " << received;
        ASSERT_EQ(NumberOf(buffer), received++);
        ASSERT_EQ(Bytes(buffer, buffer + kPacketSize), NumberedPacket(received - 1));
    }
    EXPECT_EQ(hid_.ReadReport(buffer, kPacketSize, 200), -1);  // nothing more, nothing twice
}

// ---- unplugging ----

TEST(UnpluggedDevice, AWaitingReadCompletesEmptyThenTheDeviceIsGoneUntilClosed)
{
    FrontEnd device({"--echo", "--destroy-after", "5", "--destroy-delay", "300"});
    ASSERT_FALSE(WaitForNode().empty());
    TRawHid hid;
    ASSERT_TRUE(hid.Open(0x16D0, 0x064E, 0xFFB2, -1));
    for (uint32_t i = 0; i < 10; ++i)
        ASSERT_EQ(hid.WriteReport(NumberedPacket(i).data(), kPacketSize, 1000), kPacketSize);
    uint8_t buffer[kPacketSize];
    for (uint32_t i = 0; i < 5; ++i) {
        ASSERT_EQ(hid.ReadReport(buffer, kPacketSize, kLongWait), kPacketSize);
        EXPECT_EQ(NumberOf(buffer), i);
    }

    const auto start = Clock::now();
    EXPECT_EQ(hid.ReadReport(buffer, kPacketSize, kLongWait), 0);  // removed while this read waits
    EXPECT_LT(MsSince(start), kLongWait / 2);
    EXPECT_TRUE(hid.IsOpen());
    EXPECT_EQ(device.Wait(), 0);

    EXPECT_EQ(hid.WriteReport(NumberedPacket(99).data(), kPacketSize, 1000), -1);
    EXPECT_EQ(hid.LastError(), ENODEV);
    EXPECT_TRUE(hid.Gone()) << "a write that finds the device gone says so";
    EXPECT_FALSE(hid.IsOpen());

    EXPECT_EQ(hid.ReadReport(buffer, kPacketSize, kLongWait), -1);
    EXPECT_EQ(hid.LastError(), EIO);
    EXPECT_FALSE(hid.IsOpen());
    EXPECT_EQ(hid.GetProductString(), u"");
    hid.Close();  // by its owner, the link, while no other thread uses it
    EXPECT_FALSE(hid.Gone());
}

// ---- the library over the node ----

class LibraryOverUhid : public ::testing::Test {
protected:
    void SetUp() override { RestartWithPlatformDevice(); }
    void TearDown() override { RestartWithPlatformDevice(); }

    static void RestartWithPlatformDevice()
    {
        rig::UsePlatformDevice(testing::TestLockName());
    }

    static std::string TermRx(int32_t timeout)
    {
        char buffer[128];
        const int32_t n = zqkTermRx(buffer, sizeof buffer, timeout);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }

    static std::string Command(const char* line)
    {
        std::vector<char> buffer(1 << 20);
        const int32_t n = zqkCommand(line, buffer.data(), static_cast<int32_t>(buffer.size()), 5000);
        return n >= 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : std::string("(failed)");
    }

    static std::string Detail(int32_t type)
    {
        char buffer[256];
        const int32_t n = zqkUsbDetail(type, buffer, sizeof buffer);
        return n >= 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string("(failed)");
    }
};

TEST_F(LibraryOverUhid, TheExportsOpenTalkAndNameTheDevice)
{
    FrontEnd device({"--echo"});
    const std::string node = WaitForNode();
    ASSERT_FALSE(node.empty());

    ASSERT_EQ(zqkOpen(), 1);
    EXPECT_EQ(zqkDebug(), 0x8000);
    char path[64];
    ASSERT_GT(zqkUsbPath(path, sizeof path), 0);
    EXPECT_EQ(std::string(path), node);
    EXPECT_EQ(Detail(0), "ZQK-0001");
    EXPECT_EQ(Detail(1), "");
    EXPECT_EQ(Detail(2), "zq.keeper");
    EXPECT_EQ(Detail(204), "");

    EXPECT_EQ(zqkPoll(0), -1);
    EXPECT_EQ(zqkDebug(), 0x8001);
    EXPECT_EQ(zqkLastError(), EAGAIN);

    const std::string text(150, 'x');
    ASSERT_EQ(zqkTermTx(text.data(), static_cast<int32_t>(text.size()), 1000), 1);
    EXPECT_EQ(TermRx(kLongWait), std::string(61, 'x'));
    EXPECT_EQ(TermRx(kLongWait), std::string(61, 'x'));
    EXPECT_EQ(TermRx(kLongWait), std::string(28, 'x'));
    EXPECT_EQ(zqkClose(), 0);
    EXPECT_EQ(zqkIsOpen(), 0);
}

TEST_F(LibraryOverUhid, TerminalCommandsRunOverTheNode)
{
    FrontEnd device({});
    ASSERT_FALSE(WaitForNode().empty());
    ASSERT_EQ(zqkOpen(), 1);
    EXPECT_EQ(zqkIsRunningApp(), 1);
    EXPECT_EQ(zqkEscape(), 1);
    EXPECT_EQ(Command("ver"), "zq.keeper firmware 2.4.1 (simulated)\r\n");
    // Far more reports than hidraw keeps, arriving while the link works.
    EXPECT_EQ(Command("text 30000"), sim::TextOfLength(30000));
    EXPECT_EQ(Command("bytes 3000"), sim::BytesOfLength(3000));
}

std::string ReadLocal(const std::string& path)
{
    std::string data;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        size_t n = 0;
        while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
            data.append(chunk, n);
        std::fclose(file);
    }
    return data;
}

bool WriteLocal(const std::string& path, const std::string& data)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    return std::fclose(file) == 0 && written;
}

TEST_F(LibraryOverUhid, AFileGoesToTheDeviceAndComesBackWhole)
{
    FrontEnd device({});
    ASSERT_FALSE(WaitForNode().empty());
    ASSERT_EQ(zqkOpen(), 1);

    std::string data(50000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    const std::string sent = "/tmp/zqk-vm-sent.bin", received = "/tmp/zqk-vm-received.bin";
    ASSERT_TRUE(WriteLocal(sent, data));

    EXPECT_EQ(zqkDirMake("/vm_test"), 0);
    EXPECT_EQ(zqkFileWrite(sent.c_str(), "/vm_test/data.bin"), static_cast<int32_t>(data.size()));
    ASSERT_EQ(zqkDir("/vm_test"), 1);
    char name[64];
    int32_t size = 0, attributes = 0, time = 0;
    ASSERT_EQ(zqkGetDirEntry(0, name, sizeof name, &size, &attributes, &time), 8);
    EXPECT_EQ(std::string(name), "data.bin");
    EXPECT_EQ(size, static_cast<int32_t>(data.size()));
    EXPECT_EQ(zqkFileRead("/vm_test/data.bin", received.c_str()), static_cast<int32_t>(data.size()));
    EXPECT_EQ(ReadLocal(received), data);
    EXPECT_EQ(zqkFileDelete("/vm_test/data.bin"), 0);
    EXPECT_EQ(zqkDir("/vm_test"), 0);
}

TEST_F(LibraryOverUhid, AnUnpluggedDeviceEndsTheWaitAndCloses)
{
    FrontEnd device({"--echo", "--destroy-after", "1", "--destroy-delay", "300"});
    ASSERT_FALSE(WaitForNode().empty());
    ASSERT_EQ(zqkOpen(), 1);
    ASSERT_EQ(zqkTermTx("ping", 4, 1000), 1);
    EXPECT_EQ(TermRx(kLongWait), "ping");

    const auto start = Clock::now();
    EXPECT_EQ(TermRx(kLongWait), "");
    EXPECT_LT(MsSince(start), kLongWait / 2);
    EXPECT_EQ(zqkIsOpen(), 0);
    EXPECT_EQ(zqkTermTx("ping", 4, 1000), 0);
}


// ---- several devices ----

// Three devices with serial numbers of their own, each with a file of 1 MiB.
// The machine has one emulated processor, which keeps up with about one
// report per millisecond in all: each device sends one every 4 ms.
class ThreeDevices : public ::testing::Test {
protected:
    static constexpr int32_t kBigFile = 1 << 20;

    void SetUp() override
    {
        ASSERT_TRUE(StartLibrary());  // this program links the library's code, not the shared library
        for (const char* serial : kSerials)
            devices_.push_back(std::make_unique<FrontEnd>(
                std::vector<std::string> {"--serial", serial, "--pace", "4", "--big-file", std::to_string(kBigFile)}));
        const auto start = Clock::now();
        while (zqkFindDevices() < 3 && MsSince(start) < 10000)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    static std::string Found(int32_t Index, int32_t Type)
    {
        char text[256];
        const int32_t n = zqkFoundDevice(Index, Type, text, sizeof text);
        return n >= 0 ? std::string(text, static_cast<size_t>(n)) : std::string("(none)");
    }

    // Runs Body in a process of its own for each serial number at once; each
    // reports when it started and ended its part (ms of the monotonic clock).
    struct Span {
        long long start, end;
        int status;
    };
    static std::vector<Span> InProcesses(const std::vector<std::string>& Serials,
                                         const std::function<bool(const std::string&)>& Body)
    {
        std::vector<std::pair<pid_t, int>> children;
        for (const std::string& serial : Serials) {
            int pipe[2];
            if (::pipe(pipe) != 0)
                return {};
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::close(pipe[0]);
                long long span[2];
                span[0] = MsSince(Clock::time_point());
                const bool ok = Body(serial);
                if (!ok) {
                    char why[512] = "";
                    zqkStatusText(why, sizeof why);
                    std::fprintf(stderr, "process for %s: status %d: %s\n", serial.c_str(), zqkLastStatus(), why);
                }
                span[1] = MsSince(Clock::time_point());
                if (::write(pipe[1], span, sizeof span) != sizeof span)
                    ::_exit(3);
                ::_exit(ok ? 0 : 1);
            }
            ::close(pipe[1]);
            children.emplace_back(pid, pipe[0]);
        }
        std::vector<Span> spans;
        for (const auto& [pid, fd] : children) {
            long long span[2] = {0, 0};
            const bool read = ::read(fd, span, sizeof span) == sizeof span;
            ::close(fd);
            int status = 0;
            ::waitpid(pid, &status, 0);
            spans.push_back({span[0], span[1], read && WIFEXITED(status) ? WEXITSTATUS(status) : -1});
        }
        return spans;
    }

    static constexpr const char* kSerials[] = {"UNIT-A", "UNIT-B", "UNIT-C"};
    std::vector<std::unique_ptr<FrontEnd>> devices_;
};

// The benchmarks' find_devices_ms with three devices attached: printed for
// the record, never checked, as timing is no test's business.
static void PrintFindTime()
{
    std::vector<double> ms;
    for (int i = 0; i < 21; ++i) {
        const auto start = std::chrono::steady_clock::now();
        zqkFindDevices();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(ms.begin(), ms.begin() + 10, ms.end());
    std::printf("find_devices_ms with three devices: %.2f (median of 21)\n", ms[10]);
}

TEST_F(ThreeDevices, AreFoundWithTheirSerialNumbersAndOpenedByThem)
{
    ASSERT_EQ(zqkFindDevices(), 3);
    PrintFindTime();
    std::set<std::string> serials;
    for (int32_t i = 0; i < 3; ++i) {
        serials.insert(Found(i, 0));
        EXPECT_EQ(Found(i, 2), "zq.keeper");
        EXPECT_EQ(Found(i, -1).rfind("/dev/hidraw", 0), 0u) << Found(i, -1);
    }
    EXPECT_EQ(serials, (std::set<std::string> {"UNIT-A", "UNIT-B", "UNIT-C"}));
    EXPECT_EQ(Found(3, 0), "(none)");

    for (const char* serial : kSerials) {
        const int32_t handle = zqkDevOpen(serial);
        ASSERT_GT(handle, 0) << serial;
        char text[64];
        ASSERT_GT(zqkDevUsbDetail(handle, 0, text, sizeof text), 0);
        EXPECT_STREQ(text, serial);
        EXPECT_EQ(zqkDevClose(handle), 0);
    }
    ASSERT_EQ(zqkOpenSerial("UNIT-B"), 1);
    char text[64];
    ASSERT_GT(zqkUsbDetail(0, text, sizeof text), 0);
    EXPECT_STREQ(text, "UNIT-B");
    EXPECT_EQ(zqkOpenSerial("UNIT-Z"), 0);
    EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_NO_DEVICE);
    zqkClose();
}

// Each unit has a lock of its own: three processes, one per unit, read at
// the same time instead of one after another.
TEST_F(ThreeDevices, ProcessesOnDifferentUnitsDoNotWaitForEachOther)
{
    ASSERT_EQ(zqkFindDevices(), 3);
    const std::vector<Span> spans = InProcesses({kSerials[0], kSerials[1], kSerials[2]}, [](const std::string& serial) {
        const int32_t handle = zqkDevOpen(serial.c_str());
        const std::string local = "/tmp/zqk-vm-" + serial + ".bin";
        return handle > 0 && zqkDevFileRead(handle, "/big.bin", local.c_str()) == kBigFile &&
               ReadLocal(local).size() == static_cast<size_t>(kBigFile);
    });
    ASSERT_EQ(spans.size(), 3u);
    long long latestStart = 0, earliestEnd = LLONG_MAX;
    for (const Span& span : spans) {
        EXPECT_EQ(span.status, 0);
        latestStart = std::max(latestStart, span.start);
        earliestEnd = std::min(earliestEnd, span.end);
    }
    EXPECT_LT(latestStart, earliestEnd) << "the three reads did not run at the same time";
}

// Two processes through handles on one unit still take turns whole: each
// gets exactly the answers to its own commands.
TEST_F(ThreeDevices, ProcessesOnOneUnitNeverInterleave)
{
    const std::vector<Span> spans = InProcesses({kSerials[1], kSerials[1]}, [](const std::string& serial) {
        const int32_t handle = zqkDevOpen(serial.c_str());
        if (handle <= 0)
            return false;
        const std::string word = "p" + std::to_string(::getpid());
        for (int round = 0; round < 20; ++round) {
            char output[256];
            const int32_t n = zqkDevCommand(handle, ("echo " + word).c_str(), output, sizeof output, 5000);
            if (n >= 0 && std::string(output, static_cast<size_t>(n)) != word + "\r\n") {
                std::fprintf(stderr, "answer %s\n", std::string(output, static_cast<size_t>(n)).c_str());
                return false;
            }
        }
        return true;
    });
    ASSERT_EQ(spans.size(), 2u);
    for (const Span& span : spans)
        EXPECT_EQ(span.status, 0) << "a process got another's answer";
}

TEST(WaitForDevice, SeesADeviceComeAndGo)
{
    ASSERT_TRUE(StartLibrary());
    EXPECT_EQ(zqkWaitForDevice("UNIT-LATE", 0), 0);
    // The device comes a little after the wait has begun.
    std::unique_ptr<FrontEnd> device;
    std::thread plug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        device = std::make_unique<FrontEnd>(std::vector<std::string> {"--serial", "UNIT-LATE"});
    });
    EXPECT_EQ(zqkWaitForDevice("UNIT-LATE", kLongWait), 1);
    plug.join();
    EXPECT_EQ(zqkWaitForDevice(nullptr, 0), 1) << "any matching device";
    device.reset();  // removes it
    const auto start = Clock::now();
    while (zqkWaitForDevice("UNIT-LATE", 0) == 1 && MsSince(start) < kLongWait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(zqkWaitForDevice("UNIT-LATE", 0), 0) << "gone after its removal";
}

}  // namespace
}  // namespace zqk
