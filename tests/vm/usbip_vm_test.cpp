// The library's Linux transport on the kernel's USB stack: zqk-sim-usbip
// attaches the simulated device to vhci-hcd, usbhid binds to it, and the
// library finds it by its USB parent and reads its strings through usbfs.
// Runs inside the virtual machine booted with --usb (tests/vm/run-hidvm-tests).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "link/channel_packet.h"
#include "sim/sim_device.h"
#include "support/library_fixture.h"
#include "vm/front_process.h"
#include "zqkAPI.h"

namespace zqk {
namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point Start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - Start).count();
}

// Devices served by zqk-sim-usbip --attach, each sim:FOLDER?serial=SERIAL
// (with OPTIONS), found by the library once usbcore has enumerated them.
class Attached {
public:
    Attached(const std::string& Serial, std::vector<std::string> Options = {})
        : folder_("/tmp/zqk-usbip-" + Serial),
          front_(ZQK_SIM_USBIP, With(std::move(Options), "sim:" + folder_ + "?serial=" + Serial))
    {
        const auto start = Clock::now();
        while (zqkFindDevices() < 1 && MsSince(start) < 20000)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
private:
    static std::vector<std::string> With(std::vector<std::string> Options, std::string Device)
    {
        Options.insert(Options.begin(), "--attach");
        Options.push_back(std::move(Device));
        return Options;
    }
    std::string folder_;
    FrontProcess front_;
};

std::string Text(const std::function<int32_t(char*, int32_t)>& Get)
{
    char text[512];
    const int32_t n = Get(text, sizeof text);
    return n >= 0 ? std::string(text, static_cast<size_t>(n)) : std::string("(none)");
}

std::string Ascii(const std::u16string& Text)
{
    return std::string(Text.begin(), Text.end());
}

TEST(UsbipDevice, IsFoundByItsUsbParentAndGivesItsIndexedStringsThroughUsbfs)
{
    ASSERT_TRUE(StartLibrary());
    Attached device("USB-0042");
    ASSERT_EQ(zqkFindDevices(), 1);
    const auto found = [](int32_t Type) { return Text([&](char* b, int32_t s) { return zqkFoundDevice(0, Type, b, s); }); };
    EXPECT_EQ(found(-1).rfind("/dev/hidraw", 0), 0u) << found(-1);
    EXPECT_EQ(found(0), "USB-0042");
    EXPECT_EQ(found(1), "Vorlund");
    EXPECT_EQ(found(2), "zq.keeper");

    const int32_t handle = zqkDevOpen("USB-0042");
    ASSERT_GT(handle, 0);
    const sim::UsbIdentity defined;  // what the simulated device defines
    for (int32_t index = 200; index <= 255; ++index) {
        const auto kept = defined.Indexed.find(index);
        const std::string expected = kept == defined.Indexed.end() ? std::string() : Ascii(kept->second);
        EXPECT_EQ(Text([&](char* b, int32_t s) { return zqkDevUsbDetail(handle, index, b, s); }), expected)
            << "string " << index;
    }
    zqkDevClose(handle);
}

// The figures of a simulated unit over USB/IP at 1 ms frames, against the
// floor a link of that latency sets: every report waits for its URB's
// round trip, so at L ms one report moves each max(1, L) ms. Printed for the
// record, never checked, as the machine is emulated.
void PrintFigures(uint32_t LatencyMs)
{
    constexpr int32_t kSize = 256 * 1024;
    const std::string serial = "USB-BENCH" + std::to_string(LatencyMs);
    const std::string folder = "/tmp/zqk-usbip-" + serial;
    std::filesystem::create_directories(folder);  // a folder of its own: no demo tree
    std::ofstream(folder + "/big.bin", std::ios::binary) << std::string(kSize, 'b');
    Attached device(serial, {"--latency", std::to_string(LatencyMs)});
    const int32_t handle = zqkDevOpen(serial.c_str());
    ASSERT_GT(handle, 0);
    const std::string local = "/tmp/zqk-usbip-bench.bin";
    auto start = Clock::now();
    ASSERT_EQ(zqkDevFileRead(handle, "/big.bin", local.c_str()), kSize);
    const double readMs = MsSince(start);
    start = Clock::now();
    ASSERT_EQ(zqkDevFileWrite(handle, local.c_str(), "/up.bin"), kSize);
    const double writeMs = MsSince(start);
    std::vector<double> command;
    char answer[256];
    for (int i = 0; i < 11; ++i) {
        start = Clock::now();
        ASSERT_GT(zqkDevCommand(handle, "echo x", answer, sizeof answer, 2000), 0);
        command.push_back(MsSince(start));
    }
    zqkDevClose(handle);
    std::nth_element(command.begin(), command.begin() + 5, command.end());
    const double frames = std::max<double>(1, LatencyMs);
    const auto pct = [&](double Ms) { return 100.0 * kSize / (Ms * kMaxPacketData); };
    // A command's floor: the library's 5 ms flush before it, then its line and the answer, one report each way.
    std::printf("usbip at %u ms latency: usbip_read_pct %.1f, usbip_write_pct %.1f (floor %.1f); "
                "usbip_command_latency_ms %.1f (median of 11; floor %.1f)\n",
                LatencyMs, pct(readMs), pct(writeMs), 100.0 / frames, command[5], 5 + 2 * frames);
}

TEST(UsbipDevice, PrintsItsFiguresAtOneMillisecondFramesAndFiveMillisecondsOfLatency)
{
    ASSERT_TRUE(StartLibrary());
    PrintFigures(0);
    PrintFigures(5);
}

}  // namespace
}  // namespace zqk
