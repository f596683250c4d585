// The API frame and the connection, link and identity exports, through the
// C functions, on the simulated device.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/buffer_return.h"
#include "api/callback_shim.h"
#include "support/library_fixture.h"
#include "zqkAPI.h"

namespace zqk {
namespace {

using testing::SimLibraryTest;

// ---- buffer-return convention ----

TEST(BufferReturnTest, CopiesTextAndTerminatorWhenItFits)
{
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(BufferReturn("abc", buffer, 4), 3);
    EXPECT_EQ(std::string(buffer, 4), std::string("abc\0", 4));
    EXPECT_EQ(buffer[4], 'x');
}

TEST(BufferReturnTest, WritesNothingWhenTheBufferIsTooSmallOrNull)
{
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(BufferReturn("abc", buffer, 3), -4);
    EXPECT_EQ(BufferReturn("abc", nullptr, 100), -4);
    EXPECT_EQ(BufferReturn("abc", buffer, -5), -4);
    EXPECT_EQ(std::string(buffer, 8), std::string(8, 'x'));
}

TEST(BufferReturnTest, EmptyTextNeedsOneByte)
{
    char buffer[2] = {'x', 'x'};
    EXPECT_EQ(BufferReturn("", buffer, 1), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'x');
    EXPECT_EQ(BufferReturn("", buffer, 0), -1);
    EXPECT_EQ(BufferReturn("", nullptr, 0), -1);
}

TEST(BufferReturnTest, TextMayHoldZeroBytes)
{
    char buffer[8];
    const std::string text("a\0b", 3);
    EXPECT_EQ(BufferReturn(text, buffer, 8), 3);
    EXPECT_EQ(std::string(buffer, 4), std::string("a\0b\0", 4));
}

// ---- callback adapter ----

struct Call {
    int32_t user, position, total;
};
std::vector<Call> g_calls;

void ZQK_CALL Record(int32_t user, int32_t position, int32_t total)
{
    g_calls.push_back({user, position, total});
}

void ZQK_CALL Throw(int32_t, int32_t, int32_t)
{
    throw std::runtime_error("callback failed");
}

TEST(CallbackShimTest, ForwardsProgressAndCompletion)
{
    g_calls.clear();
    TCallbackShim shim;
    shim.Progress(nullptr, 1, 2);  // no callback: nothing happens
    shim.SetCallback(Record, 42);
    shim.Progress(nullptr, 4096, 10000);
    shim.Complete(nullptr);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].user, 42);
    EXPECT_EQ(g_calls[0].position, 4096);
    EXPECT_EQ(g_calls[0].total, 10000);
    EXPECT_EQ(g_calls[1].position, -1);
    EXPECT_EQ(g_calls[1].total, -1);
}

TEST(CallbackShimTest, SwallowsWhatTheCallbackThrows)
{
    TCallbackShim shim;
    shim.SetCallback(Throw, 0);
    EXPECT_NO_THROW(shim.Progress(nullptr, 1, 2));
    EXPECT_NO_THROW(shim.Complete(nullptr));
}

// ---- exports ----

class ApiFrameTest : public SimLibraryTest {};

TEST_F(ApiFrameTest, AfterLoadTheDeviceIsClosedWithDefaultMatchingValues)
{
    EXPECT_EQ(zqkIsOpen(), 0);
    EXPECT_EQ(zqkDebug(), 0x8000);
    EXPECT_EQ(zqkGetVidPid(0), 0x16D0);
    EXPECT_EQ(zqkGetVidPid(1), 0x064E);
    EXPECT_EQ(zqkGetVidPid(2), 0xFFB2);
    EXPECT_EQ(zqkGetVidPid(3), -1);
    EXPECT_EQ(zqkGetVidPid(4), 0);
    EXPECT_EQ(zqkGetVidPid(-1), 0);
}

TEST_F(ApiFrameTest, OpenFindsTheDeviceOnceAndKeepsItOpen)
{
    EXPECT_EQ(zqkOpen(), 1);
    EXPECT_EQ(zqkIsOpen(), 1);
    EXPECT_EQ(zqkOpen(), 1);
    EXPECT_EQ(Report().OpenCount(), 1) << "an open device is not opened again";
    EXPECT_EQ(zqkClose(), 0);
    EXPECT_EQ(zqkIsOpen(), 0);
}

TEST_F(ApiFrameTest, OpenWithoutDeviceFails)
{
    device_.Unplug();
    EXPECT_EQ(zqkOpen(), 0);
    EXPECT_EQ(zqkIsOpen(), 0);
    char path[64];
    EXPECT_EQ(zqkUsbPath(path, sizeof path), -1);
}

TEST_F(ApiFrameTest, SetVidPidChangesWhatTheNextOpenLooksFor)
{
    zqkSetVidPid(7, 1234);
    zqkSetVidPid(-1, 1234);
    EXPECT_EQ(zqkGetVidPid(0), 0x16D0);
    zqkSetVidPid(1, 0x0001);
    EXPECT_EQ(zqkGetVidPid(1), 0x0001);
    EXPECT_EQ(zqkOpen(), 0);
    zqkSetVidPid(1, 0x064E);
    EXPECT_EQ(zqkOpen(), 1);
    zqkSetVidPid(1, 0x0001);
    EXPECT_EQ(zqkIsOpen(), 1) << "an open device stays open";
}

TEST_F(ApiFrameTest, UsbPathOpensAgainAndReturnsThePath)
{
    ASSERT_EQ(zqkOpen(), 1);
    char path[64];
    EXPECT_EQ(zqkUsbPath(path, sizeof path), static_cast<int32_t>(std::strlen("sim:zq.keeper")));
    EXPECT_STREQ(path, "sim:zq.keeper");
    EXPECT_EQ(Report().OpenCount(), 2);
    EXPECT_EQ(zqkUsbPath(path, 5), -14);
    EXPECT_EQ(zqkUsbPath(nullptr, 0), -14);
    EXPECT_EQ(zqkIsOpen(), 1);
}

TEST_F(ApiFrameTest, UsbDetailChoosesTheStringByType)
{
    ASSERT_EQ(zqkOpen(), 1);
    char text[64];
    EXPECT_EQ(zqkUsbDetail(0, text, sizeof text), 8);
    EXPECT_STREQ(text, "ZQK-0001");
    EXPECT_EQ(zqkUsbDetail(1, text, sizeof text), 7);
    EXPECT_STREQ(text, "Vorlund");
    EXPECT_EQ(zqkUsbDetail(2, text, sizeof text), 9);
    EXPECT_STREQ(text, "zq.keeper");
    EXPECT_EQ(zqkUsbDetail(204, text, sizeof text), 8);
    EXPECT_STREQ(text, "fs.nfi.2");
    for (int32_t type : {3, 199, 256, 255, -1}) {
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(zqkUsbDetail(type, text, sizeof text), 0) << type;
        EXPECT_EQ(text[0], '\0');
    }
    EXPECT_EQ(zqkUsbDetail(0, nullptr, 0), -9);
}

TEST_F(ApiFrameTest, UsbDetailOfClosedDeviceIsEmpty)
{
    char text[4] = "xyz";
    EXPECT_EQ(zqkUsbDetail(2, text, sizeof text), 0);
    EXPECT_EQ(text[0], '\0');
}

TEST_F(ApiFrameTest, TermTxSendsRawBytesOnChannelZero)
{
    ASSERT_EQ(zqkOpen(), 1);
    EXPECT_EQ(zqkTermTx("ignored", 0, 100), 1);
    EXPECT_EQ(zqkTermTx(nullptr, -3, 100), 1);
    EXPECT_TRUE(device_.HostPackets().empty());
    const std::string data(100, '\0');
    EXPECT_EQ(zqkTermTx(data.data(), 100, 100), 1);
    ASSERT_EQ(device_.HostPackets().size(), 2u);
    EXPECT_EQ(device_.HostPackets()[0][2], 61);
    EXPECT_EQ(device_.HostPackets()[1][2], 39);
    EXPECT_EQ(device_.HostData(0), data);
}

TEST_F(ApiFrameTest, TermTxWithNullDataSendsNothing)
{
    ASSERT_EQ(zqkOpen(), 1);
    EXPECT_EQ(zqkTermTx(nullptr, 5, 100), 0);
    EXPECT_TRUE(device_.HostPackets().empty());
    EXPECT_EQ(zqkIsOpen(), 1);
}

TEST_F(ApiFrameTest, TermTxFailureClosesTheDevice)
{
    EXPECT_EQ(zqkTermTx("x", 1, 100), 0) << "closed device";
    ASSERT_EQ(zqkOpen(), 1);
    device_.SetWriteFault(sim::WriteFault::Fail);
    EXPECT_EQ(zqkTermTx("x", 1, 100), 0);
    EXPECT_EQ(zqkIsOpen(), 0);
}

TEST_F(ApiFrameTest, TermRxReturnsOnePacketAtATime)
{
    ASSERT_EQ(zqkOpen(), 1);
    device_.Send(0, std::string("a\0b", 3));
    device_.Send(0, "second");
    char buffer[64];
    EXPECT_EQ(zqkTermRx(buffer, sizeof buffer, 100), 3);
    EXPECT_EQ(std::string(buffer, 4), std::string("a\0b\0", 4));
    EXPECT_EQ(zqkTermRx(buffer, sizeof buffer, 100), 6);
    EXPECT_STREQ(buffer, "second");
}

TEST_F(ApiFrameTest, TermRxWithNothingArrivingWaitsItsTimeout)
{
    ASSERT_EQ(zqkOpen(), 1);
    char buffer[4] = "xyz";
    const uint64_t start = clock_.NowMs();
    EXPECT_EQ(zqkTermRx(buffer, sizeof buffer, 250), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(clock_.NowMs() - start, 250u);
    EXPECT_EQ(zqkTermRx(nullptr, 0, 0), -1);
}

TEST_F(ApiFrameTest, TermRxIntoTooSmallBufferLosesThePacket)
{
    ASSERT_EQ(zqkOpen(), 1);
    device_.Send(0, std::string(40, 'q'));
    device_.Send(0, "next");
    char buffer[20];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(zqkTermRx(buffer, sizeof buffer, 100), -41);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(zqkTermRx(buffer, sizeof buffer, 100), 4);
    EXPECT_STREQ(buffer, "next");
}

TEST_F(ApiFrameTest, PollReportsArrivalsAndKeepsThemBuffered)
{
    ASSERT_EQ(zqkOpen(), 1);
    const uint64_t start = clock_.NowMs();
    EXPECT_EQ(zqkPoll(0), -1);
    EXPECT_EQ(clock_.NowMs(), start) << "zqkPoll(0) returns at once";
    device_.Send(9, "x");
    EXPECT_EQ(zqkPoll(100), 0);
    EXPECT_EQ(Lib().Comms.Buffered(9), 64u);
}

TEST_F(ApiFrameTest, DebugShowsAReadLeftOutstandingByATimedOutPoll)
{
    ASSERT_EQ(zqkOpen(), 1);
    EXPECT_EQ(zqkDebug(), 0x8000);
    EXPECT_EQ(zqkPoll(50), -1);
    EXPECT_EQ(zqkDebug(), 0x8001);
    EXPECT_EQ(zqkLastError(), 997);
    EXPECT_EQ(zqkPoll(50), -1);
    EXPECT_EQ(zqkLastError(), 0) << "the second call waited on the same read";
    device_.Send(0, "x");
    EXPECT_EQ(zqkPoll(50), 0) << "the outstanding read collects the report";
    EXPECT_EQ(zqkClose(), 0);
    EXPECT_EQ(zqkDebug(), 0x8000) << "closing cancels the outstanding read";
}

TEST_F(ApiFrameTest, UnpluggedDeviceClosesOnTheSecondRead)
{
    ASSERT_EQ(zqkOpen(), 1);
    device_.Unplug();
    EXPECT_EQ(zqkPoll(0), -1);
    EXPECT_EQ(zqkIsOpen(), 1) << "the first read completes empty";
    EXPECT_EQ(zqkPoll(0), -1);
    EXPECT_EQ(zqkIsOpen(), 0);
    EXPECT_EQ(zqkLastError(), 1167);
}

TEST_F(ApiFrameTest, SetCallbackAlwaysReturnsZero)
{
    g_calls.clear();
    EXPECT_EQ(zqkSetCallback(Record, 5), 0);
    Lib().CallbackShim.Progress(nullptr, 1, 2);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].user, 5);
    EXPECT_EQ(zqkSetCallback(nullptr, 0), 0);
    Lib().CallbackShim.Progress(nullptr, 1, 2);
    EXPECT_EQ(g_calls.size(), 1u) << "no callback any more";
}

}  // namespace
}  // namespace zqk
