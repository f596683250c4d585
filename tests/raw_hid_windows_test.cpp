// The Windows HID transport: enumeration and opening of the HID devices that
// Wine shows, and report traffic with real overlapped I/O against a device
// played by the test through a message-mode named pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "hid/raw_hid.h"
#include "link/comms.h"
#include "support/library_fixture.h"
#include "support/pipe_device.h"

namespace zqk {
namespace {

using testing::NumberedReport;
using testing::PipeDevice;
using testing::ReportNumber;

constexpr int32_t kWineVendor = 0x845E;
constexpr int32_t kWineMouse = 0x0001;
constexpr int32_t kWineKeyboard = 0x0002;
constexpr int32_t kGenericDesktop = 0x01;
constexpr int32_t kMouseUsage = 0x02;
constexpr int32_t kKeyboardUsage = 0x06;

bool Contains(const std::string& Text, const std::string& Part)
{
    std::string lower = Text;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower.find(Part) != std::string::npos;
}

bool IsWineMouse(const std::string& Path) { return Contains(Path, "#vid_845e&pid_0001"); }
bool IsWineKeyboard(const std::string& Path) { return Contains(Path, "#vid_845e&pid_0002"); }

std::vector<std::string> Enumerate(int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage)
{
    std::vector<std::string> list {"left over from before"};
    const int32_t count = TRawHid::EnumerateDevices(list, VendorID, ProductID, UsagePage, Usage);
    EXPECT_EQ(count, static_cast<int32_t>(list.size()));
    return list;
}

// What of Wine's two devices a list holds: "mouse", "keyboard", both or none.
std::string WineDevicesIn(const std::vector<std::string>& List)
{
    const bool mouse = std::any_of(List.begin(), List.end(), IsWineMouse);
    const bool keyboard = std::any_of(List.begin(), List.end(), IsWineKeyboard);
    return mouse && keyboard ? "both" : mouse ? "mouse" : keyboard ? "keyboard" : "none";
}

class WineHid : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(HidStartUp()); }
};

// ---- enumeration and matching of Wine's HID devices ----

TEST_F(WineHid, EnumerationListsWinesMouseAndKeyboard)
{
    const std::vector<std::string> all = Enumerate(-1, -1, -1, -1);
    EXPECT_EQ(WineDevicesIn(all), "both");
    for (const std::string& path : all)
        EXPECT_TRUE(Contains(path, "{4d1e55b2-f16f-11cf-88cb-001111000030}")) << path;
}

TEST_F(WineHid, MatchesByVendorAndProduct)
{
    EXPECT_EQ(WineDevicesIn(Enumerate(kWineVendor, -1, -1, -1)), "both");
    EXPECT_EQ(WineDevicesIn(Enumerate(kWineVendor, kWineMouse, -1, -1)), "mouse");
    EXPECT_EQ(WineDevicesIn(Enumerate(kWineVendor, kWineKeyboard, -1, -1)), "keyboard");
    EXPECT_EQ(WineDevicesIn(Enumerate(-1, kWineKeyboard, -1, -1)), "keyboard");
    EXPECT_TRUE(Enumerate(kWineVendor + 1, -1, -1, -1).empty());
    EXPECT_TRUE(Enumerate(0x16D0, 0x064E, 0xFFB2, -1).empty());
}

TEST_F(WineHid, VendorZeroAsksThePathForZerosAndSkipsTheAttributes)
{
    for (const std::string& path : Enumerate(0, -1, -1, -1))
        EXPECT_TRUE(Contains(path, "#vid_0000&")) << path;
    EXPECT_EQ(WineDevicesIn(Enumerate(0, -1, -1, -1)), "none");
}

TEST_F(WineHid, MatchesByUsagePageAndUsage)
{
    EXPECT_EQ(WineDevicesIn(Enumerate(kWineVendor, -1, kGenericDesktop, -1)), "both");
    EXPECT_EQ(WineDevicesIn(Enumerate(kWineVendor, -1, kGenericDesktop, kMouseUsage)), "mouse");
    EXPECT_EQ(WineDevicesIn(Enumerate(kWineVendor, -1, kGenericDesktop, kKeyboardUsage)), "keyboard");
    EXPECT_EQ(WineDevicesIn(Enumerate(kWineVendor, -1, -1, kKeyboardUsage)), "keyboard");
    EXPECT_EQ(WineDevicesIn(Enumerate(kWineVendor, kWineMouse, kGenericDesktop, kKeyboardUsage)), "none");
    EXPECT_EQ(WineDevicesIn(Enumerate(kWineVendor, -1, 0xFFB2, -1)), "none");
}

TEST_F(WineHid, ListKeepsThePlatformsOrder)
{
    const std::vector<std::string> all = Enumerate(-1, -1, -1, -1);
    const std::vector<std::string> wine = Enumerate(kWineVendor, -1, -1, -1);
    std::vector<std::string> expected;
    std::copy_if(all.begin(), all.end(), std::back_inserter(expected),
                 [](const std::string& p) { return IsWineMouse(p) || IsWineKeyboard(p); });
    EXPECT_EQ(wine, expected);
}

TEST_F(WineHid, OpenTakesTheFirstMatch)
{
    TRawHid hid;
    ASSERT_TRUE(hid.Open(kWineVendor, -1, kGenericDesktop, -1));
    EXPECT_TRUE(hid.IsOpen());
    EXPECT_EQ(hid.DevicePath(), Enumerate(kWineVendor, -1, kGenericDesktop, -1).front());
    EXPECT_FALSE(hid.ReadPending());
}

TEST_F(WineHid, OpenWithoutMatchLeavesTheObjectClosed)
{
    TRawHid hid;
    EXPECT_FALSE(hid.Open(0x16D0, 0x064E, 0xFFB2, -1));
    EXPECT_FALSE(hid.IsOpen());
    EXPECT_EQ(hid.DevicePath(), "");
}

TEST_F(WineHid, StringsOfWinesMouse)
{
    TRawHid hid;
    ASSERT_TRUE(hid.Open(kWineVendor, kWineMouse, -1, -1));
    EXPECT_TRUE(Contains(AnsiFromUtf16(hid.GetProductString()), "mouse"));
    EXPECT_TRUE(Contains(AnsiFromUtf16(hid.GetManufacturerString()), "wine"));
    EXPECT_FALSE(hid.GetSerialNumberString().empty());
    EXPECT_EQ(hid.GetIndexedString(204), u"");
    hid.Close();
    EXPECT_EQ(hid.GetProductString(), u"");
    EXPECT_EQ(hid.GetManufacturerString(), u"");
    EXPECT_EQ(hid.GetSerialNumberString(), u"");
}

TEST_F(WineHid, ReadThatTimesOutStaysOutstanding)
{
    TRawHid hid;
    ASSERT_TRUE(hid.Open(kWineVendor, kWineMouse, -1, -1));
    uint8_t report[64];
    EXPECT_EQ(hid.ReadReport(report, 64, 0), -1);
    EXPECT_TRUE(hid.ReadPending());
    EXPECT_EQ(hid.LastError(), ERROR_IO_PENDING);
    EXPECT_EQ(hid.ReadReport(report, 64, 20), -1);
    EXPECT_TRUE(hid.ReadPending());
    EXPECT_EQ(hid.LastError(), 0);  // nothing new was issued
    hid.Close();
    EXPECT_FALSE(hid.ReadPending());
    EXPECT_FALSE(hid.IsOpen());
}

TEST_F(WineHid, WriteToDeviceWithoutOutputReportsFailsAndLeavesItOpen)
{
    TRawHid hid;
    ASSERT_TRUE(hid.Open(kWineVendor, kWineMouse, -1, -1));
    const uint8_t report[64] = {1, 2, 3};
    EXPECT_EQ(hid.WriteReport(report, 64, 100), -1);
    EXPECT_NE(hid.LastError(), 0);
    EXPECT_TRUE(hid.IsOpen());
}

// ---- a closed object ----

TEST_F(WineHid, ClosedObjectRefusesReportsAndGivesEmptyStrings)
{
    TRawHid hid;
    uint8_t report[64] = {};
    EXPECT_EQ(hid.ReadReport(report, 64, 10), -1);
    EXPECT_EQ(hid.LastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(hid.IsOpen());
    EXPECT_FALSE(hid.ReadPending());
    EXPECT_EQ(hid.WriteReport(report, 64, 10), -1);
    EXPECT_EQ(hid.GetIndexedString(201), u"");
    hid.Close();
    hid.Close();
}

TEST_F(WineHid, OpenPathThatCannotBeOpenedKeepsThePath)
{
    TRawHid hid;
    const std::string path = "\\\\.\\pipe\\zqk_test_no_such_device";
    EXPECT_FALSE(hid.OpenPath(path));
    EXPECT_FALSE(hid.IsOpen());
    EXPECT_EQ(hid.DevicePath(), path);
}

// ---- USB strings as 8-bit text ----

// Sets the calling thread's locale, and so its ANSI code page, for a scope.
class ThreadLocale {
public:
    explicit ThreadLocale(LANGID Language) : previous_(GetThreadLocale())
    {
        SetThreadLocale(MAKELCID(Language, SORT_DEFAULT));
    }
    ~ThreadLocale() { SetThreadLocale(previous_); }

private:
    LCID previous_;
};

TEST(UsbStrings, BecomeTextInTheCallingThreadsAnsiCodePage)
{
    const std::u16string name = u"\u0416\u00e9";  // Cyrillic Zhe, e acute
    {
        ThreadLocale russian(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT));  // code page 1251
        EXPECT_EQ(AnsiFromUtf16(name), "\xC6" "e");  // no e acute there: its nearest letter
    }
    {
        ThreadLocale english(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));  // code page 1252
        EXPECT_EQ(AnsiFromUtf16(name), "?" "\xE9");
    }
    EXPECT_EQ(AnsiFromUtf16(u""), "");
}

// ---- report traffic through a device played over a named pipe ----

class PipeHid : public WineHid {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(device_.Created());
        ASSERT_TRUE(hid_.OpenPath(device_.Path()));
    }

    // Reads until Count reports came or ReadReport gave nothing for a second.
    std::vector<int32_t> ReadNumbered(int32_t Count, int32_t TimeoutMs, int32_t* TimeOuts = nullptr)
    {
        std::vector<int32_t> numbers;
        int32_t silentReads = 0;
        uint8_t report[64];
        while (static_cast<int32_t>(numbers.size()) < Count && silentReads * std::max(TimeoutMs, 1) < 1000) {
            const int32_t n = hid_.ReadReport(report, 64, TimeoutMs);
            if (n == 64) {
                numbers.push_back(ReportNumber(report));
                silentReads = 0;
            } else {
                ++silentReads;
                if (TimeOuts)
                    ++*TimeOuts;
                if (TimeoutMs == 0)
                    Sleep(1);
            }
        }
        return numbers;
    }

    PipeDevice device_;
    TRawHid hid_;
};

TEST_F(PipeHid, OpenEndsTheRefusedQueueRequest)
{
    // The pipe refuses every input-queue length: the halving must end.
    EXPECT_TRUE(hid_.IsOpen());
    EXPECT_EQ(hid_.DevicePath(), device_.Path());
    EXPECT_FALSE(hid_.ReadPending());
}

TEST_F(PipeHid, WholeInputReportDropsTheReportNumber)
{
    ASSERT_TRUE(device_.SendReport(NumberedReport(7)));
    uint8_t report[64] = {};
    EXPECT_EQ(hid_.ReadReport(report, 64, 2000), 64);
    EXPECT_EQ(ReportNumber(report), 7);
    EXPECT_FALSE(hid_.ReadPending());
}

TEST_F(PipeHid, ReadThatHadToWaitLeavesIoPending)
{
    std::thread device([&] {
        Sleep(100);
        device_.SendReport(NumberedReport(8));
    });
    uint8_t report[64] = {};
    EXPECT_EQ(hid_.ReadReport(report, 64, 5000), 64);
    device.join();
    EXPECT_EQ(ReportNumber(report), 8);
    EXPECT_EQ(hid_.LastError(), ERROR_IO_PENDING);
}

TEST_F(PipeHid, WholeOutputReportGoesWithReportNumberZero)
{
    const std::vector<uint8_t> data = NumberedReport(9);
    EXPECT_EQ(hid_.WriteReport(data.data(), 64, 2000), 64);
    const std::vector<uint8_t> message = device_.Receive();
    ASSERT_EQ(message.size(), 65u);
    EXPECT_EQ(message[0], 0);
    EXPECT_EQ(ReportNumber(message.data() + 1), 9);
}

TEST_F(PipeHid, LargestWriteAndTheOneBeyond)
{
    std::vector<uint8_t> data(516, 0x5A);
    EXPECT_EQ(hid_.WriteReport(data.data(), 515, 2000), 515);
    EXPECT_EQ(device_.Receive().size(), 516u);
    EXPECT_EQ(hid_.WriteReport(data.data(), 516, 2000), -1);
    EXPECT_EQ(hid_.WriteReport(data.data(), -1, 2000), -1);
    EXPECT_EQ(hid_.WriteReport(nullptr, 64, 2000), -1);
    EXPECT_TRUE(device_.Receive(100).empty());
    EXPECT_TRUE(hid_.IsOpen());
}

TEST_F(PipeHid, ReadCountAboveTheLargestBehavesAsTheLargest)
{
    std::vector<uint8_t> message(600);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<uint8_t>(i);
    ASSERT_TRUE(device_.Send(message));
    std::vector<uint8_t> buffer(1000, 0xEE);
    EXPECT_EQ(hid_.ReadReport(buffer.data(), 1000, 2000), 516);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 516, message.begin() + 1));
    EXPECT_EQ(buffer[516], 0xEE);
}

TEST_F(PipeHid, TimedOutReadIsCollectedByTheNextCall)
{
    uint8_t report[64] = {};
    EXPECT_EQ(hid_.ReadReport(report, 64, 0), -1);
    EXPECT_TRUE(hid_.ReadPending());
    EXPECT_EQ(hid_.LastError(), ERROR_IO_PENDING);
    EXPECT_EQ(hid_.ReadReport(report, 64, -1), -1);  // negative: the default of no wait
    EXPECT_EQ(hid_.LastError(), 0);
    EXPECT_TRUE(hid_.ReadPending());

    ASSERT_TRUE(device_.SendReport(NumberedReport(10)));
    EXPECT_EQ(hid_.ReadReport(report, 64, 2000), 64);
    EXPECT_EQ(ReportNumber(report), 10);
    EXPECT_EQ(hid_.LastError(), 0);
    EXPECT_FALSE(hid_.ReadPending());
}

TEST_F(PipeHid, ReadSizeIsFixedByTheCallThatIssuedIt)
{
    uint8_t report[64] = {};
    EXPECT_EQ(hid_.ReadReport(report, 64, 0), -1);
    ASSERT_TRUE(device_.SendReport(NumberedReport(11)));
    uint8_t part[10] = {};
    EXPECT_EQ(hid_.ReadReport(part, 10, 2000), 10);
    EXPECT_TRUE(std::equal(part, part + 10, NumberedReport(11).begin()));
}

TEST_F(PipeHid, BurstOfAThousandReportsLosesNothing)
{
    constexpr int kReports = 1000;
    std::thread device([&] {
        for (int i = 0; i < kReports; ++i) {
            device_.SendReport(NumberedReport(static_cast<uint16_t>(i)));
            if (i % 100 == 99)
                Sleep(30);  // pauses in which reads time out and stay outstanding
        }
    });
    int32_t timeOuts = 0;
    const std::vector<int32_t> numbers = ReadNumbered(kReports, 0, &timeOuts);
    device.join();
    ASSERT_EQ(numbers.size(), static_cast<size_t>(kReports));
    for (int i = 0; i < kReports; ++i)
        ASSERT_EQ(numbers[i], i);
    EXPECT_GT(timeOuts, 0);
}

TEST_F(PipeHid, DeviceThatVanishesEndsTheReadThenIsGoneOnTheNext)
{
    uint8_t report[64] = {};
    EXPECT_EQ(hid_.ReadReport(report, 64, 0), -1);
    device_.Vanish();
    EXPECT_EQ(hid_.ReadReport(report, 64, 2000), 0);
    EXPECT_EQ(hid_.LastError(), 0);
    EXPECT_FALSE(hid_.ReadPending());
    EXPECT_TRUE(hid_.IsOpen());

    EXPECT_EQ(hid_.WriteReport(report, 64, 100), -1);
    EXPECT_NE(hid_.LastError(), 0);
    EXPECT_TRUE(hid_.IsOpen());  // writes never close

    EXPECT_EQ(hid_.ReadReport(report, 64, 100), -1);
    EXPECT_NE(hid_.LastError(), 0);
    EXPECT_NE(hid_.LastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(hid_.Gone());
    EXPECT_FALSE(hid_.IsOpen());
    EXPECT_EQ(hid_.WriteReport(report, 64, 100), -1) << "gone: nothing goes out either";
    hid_.Close();  // by its owner, the link, while no other thread uses it
    EXPECT_FALSE(hid_.Gone());
    EXPECT_FALSE(hid_.IsOpen());
    EXPECT_EQ(hid_.ReadReport(report, 64, 0), -1);
    EXPECT_FALSE(hid_.Gone()) << "a closed handle is not a device that went away";
}

TEST_F(PipeHid, CloseCancelsTheOutstandingReadAndTheObjectReadsAgainAfterwards)
{
    uint8_t report[64] = {};
    EXPECT_EQ(hid_.ReadReport(report, 64, 0), -1);
    hid_.Close();
    EXPECT_FALSE(hid_.ReadPending());
    EXPECT_FALSE(hid_.IsOpen());
    EXPECT_TRUE(device_.HostClosed());

    PipeDevice second;
    ASSERT_TRUE(hid_.OpenPath(second.Path()));
    ASSERT_TRUE(second.SendReport(NumberedReport(12)));
    EXPECT_EQ(hid_.ReadReport(report, 64, 2000), 64);
    EXPECT_EQ(ReportNumber(report), 12);
}

TEST_F(PipeHid, OpenPathOnAnOpenObjectClosesTheOldHandle)
{
    uint8_t report[64] = {};
    EXPECT_EQ(hid_.ReadReport(report, 64, 0), -1);
    PipeDevice second;
    ASSERT_TRUE(hid_.OpenPath(second.Path()));
    EXPECT_TRUE(device_.HostClosed());
    EXPECT_FALSE(hid_.ReadPending());
    EXPECT_EQ(hid_.DevicePath(), second.Path());
    ASSERT_TRUE(second.SendReport(NumberedReport(13)));
    EXPECT_EQ(hid_.ReadReport(report, 64, 2000), 64);
    EXPECT_EQ(ReportNumber(report), 13);
}

TEST_F(PipeHid, ReadOutstandingFromAnotherThreadIsEndedByClose)
{
    std::atomic<bool> issued {false}, closed {false};
    std::thread caller([&] {
        uint8_t report[64];
        hid_.ReadReport(report, 64, 0);
        issued = true;
        while (!closed)
            Sleep(1);  // the issuing thread lives on, so its read is not ended by its exit
    });
    while (!issued)
        Sleep(1);
    hid_.Close();
    closed = true;
    caller.join();
    EXPECT_FALSE(hid_.ReadPending());
    EXPECT_TRUE(device_.HostClosed());
}

TEST_F(PipeHid, DestroyingTheObjectWithAReadOutstandingEndsIt)
{
    {
        TRawHid other;
        PipeDevice second;
        ASSERT_TRUE(other.OpenPath(second.Path()));
        uint8_t report[64];
        EXPECT_EQ(other.ReadReport(report, 64, 0), -1);
    }
    EXPECT_TRUE(hid_.IsOpen());
}

TEST_F(PipeHid, StringsOfADeviceThatGivesNoneAreEmpty)
{
    EXPECT_EQ(hid_.GetProductString(), u"");
    EXPECT_EQ(hid_.GetManufacturerString(), u"");
    EXPECT_EQ(hid_.GetSerialNumberString(), u"");
    EXPECT_EQ(hid_.GetIndexedString(204), u"");
}

// A device that does not take the host's reports: writes pend until the time-out.
class StalledPipeHid : public WineHid {
protected:
    void SetUp() override { ASSERT_TRUE(hid_.OpenPath(device_.Path())); }

    // Writes until one has to wait; its result (0 when it timed out).
    int32_t WriteUntilOneWaits()
    {
        const std::vector<uint8_t> data = NumberedReport(1);
        for (int i = 0; i < 1000; ++i) {
            const int32_t n = hid_.WriteReport(data.data(), 64, 0);
            if (n != 64)
                return n;
        }
        return 64;
    }

    PipeDevice device_ {65};
    TRawHid hid_;
};

TEST_F(StalledPipeHid, WriteThatCannotCompleteIsCancelledAtItsTimeout)
{
    EXPECT_EQ(WriteUntilOneWaits(), 0);
    EXPECT_TRUE(hid_.IsOpen());
    while (!device_.Receive(100).empty()) {
    }
    const std::vector<uint8_t> data = NumberedReport(2);
    EXPECT_EQ(hid_.WriteReport(data.data(), 64, 2000), 64);
    const std::vector<uint8_t> message = device_.Receive();
    ASSERT_EQ(message.size(), 65u);
    EXPECT_EQ(ReportNumber(message.data() + 1), 2);
}

TEST_F(StalledPipeHid, CancelledWriteAlsoEndsThisThreadsReadAsEmpty)
{
    uint8_t report[64] = {};
    EXPECT_EQ(hid_.ReadReport(report, 64, 0), -1);
    EXPECT_EQ(WriteUntilOneWaits(), 0);
    EXPECT_EQ(hid_.ReadReport(report, 64, 2000), 0);
    EXPECT_FALSE(hid_.ReadPending());
    EXPECT_TRUE(hid_.IsOpen());
}

// ---- the channel link on the real transport ----

class PipeLink : public WineHid {
protected:
    void SetUp() override
    {
        auto hid = std::make_unique<TRawHid>();
        ASSERT_TRUE(hid->OpenPath(device_.Path()));
        comms_ = std::make_unique<TzqComms>(std::move(hid), SystemClock::Instance(), testing::TestLockName("link"));
    }

    PipeDevice device_;
    std::unique_ptr<TzqComms> comms_;
};

TEST_F(PipeLink, SendCutsPacketsAndReceiveTakesTheEcho)
{
    std::thread echo([&] {
        for (int i = 0; i < 2; ++i) {
            std::vector<uint8_t> message = device_.Receive();
            if (message.size() == 65)
                device_.Send(message);
        }
    });
    const std::string text(100, 'q');
    ASSERT_TRUE(comms_->Send(text, 0, 0, 2000));
    std::string first, second;
    comms_->Receive(0, 2000, -1, first);
    comms_->Receive(0, 2000, -1, second);
    echo.join();
    EXPECT_EQ(first.size(), 61u);
    EXPECT_EQ(second.size(), 39u);
    EXPECT_EQ(first + second, text);
}

TEST_F(PipeLink, PollTakesABurstIntoTheChannelBuffer)
{
    constexpr int kPackets = 1000;
    std::thread device([&] {
        for (int i = 0; i < kPackets; ++i) {
            std::vector<uint8_t> packet(64);
            packet[0] = 3;
            packet[2] = 2;
            packet[3] = static_cast<uint8_t>(i);
            packet[4] = static_cast<uint8_t>(i >> 8);
            device_.SendReport(packet);
        }
    });
    // Each poll takes what has arrived by then: as many polls as bursts,
    // however the sender and this reader happen to keep pace.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (comms_->Buffered(3) < kPackets * 64u && std::chrono::steady_clock::now() < deadline && comms_->IsOpen())
        comms_->Poll(200);
    const bool open = comms_->IsOpen();
    const int32_t lastError = comms_->LastError();
    if (comms_->Buffered(3) < kPackets * 64u)
        device_.Vanish();  // a send still waiting for a reader must end, not hang the test
    device.join();
    ASSERT_EQ(comms_->Buffered(3), kPackets * 64u) << "link open " << open << ", last error " << lastError;
    for (int i = 0; i < kPackets; ++i) {
        std::string data;
        comms_->Receive(3, 0, -1, data);
        ASSERT_EQ(data, std::string({static_cast<char>(i & 0xFF), static_cast<char>(i >> 8)}));
    }
}

}  // namespace
}  // namespace zqk
