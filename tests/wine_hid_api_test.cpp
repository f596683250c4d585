// The connection, identity and diagnostic exports on the real Windows
// transport, with one of the HID devices that Wine shows standing in for the
// data buffer.
#include <gtest/gtest.h>

#include <string>

#include "api/library.h"
#include "support/library_fixture.h"
#include "zqkAPI.h"

namespace zqk {
namespace {

class WineHidApi : public ::testing::Test {
protected:
    void SetUp() override
    {
        rig::UsePlatformDevice(testing::TestLockName());
        // Wine's HID mouse: vendor 0x845E, product 1, generic desktop mouse.
        zqkSetVidPid(0, 0x845E);
        zqkSetVidPid(1, 0x0001);
        zqkSetVidPid(2, 0x01);
        zqkSetVidPid(3, 0x02);
    }
    void TearDown() override { zqkClose(); }

    static std::string Detail(int32_t Type)
    {
        char text[256];
        const int32_t n = zqkUsbDetail(Type, text, sizeof text);
        return n >= 0 ? std::string(text, static_cast<size_t>(n)) : "(" + std::to_string(n) + ")";
    }
};

TEST_F(WineHidApi, OpenPathAndIdentity)
{
    ASSERT_EQ(zqkOpen(), 1);
    EXPECT_EQ(zqkIsOpen(), 1);
    char path[512];
    const int32_t n = zqkUsbPath(path, sizeof path);
    ASSERT_GT(n, 0);
    EXPECT_NE(std::string(path, n).find("vid_845e&pid_0001"), std::string::npos);
    EXPECT_EQ(zqkUsbPath(path, n), -(n + 1));  // no room for the terminator
    EXPECT_NE(Detail(2).find("mouse"), std::string::npos);
    EXPECT_NE(Detail(1), "");
    EXPECT_NE(Detail(0), "");
    EXPECT_EQ(Detail(204), "");
    EXPECT_EQ(Detail(3), "");
    EXPECT_EQ(zqkOpen(), 1);  // already open: stays open
}

TEST_F(WineHidApi, NoMatchingDeviceLeavesItClosed)
{
    zqkSetVidPid(3, 0x06);  // a mouse with the keyboard's usage: none
    EXPECT_EQ(zqkOpen(), 0);
    EXPECT_EQ(zqkIsOpen(), 0);
    char path[256];
    EXPECT_EQ(zqkUsbPath(path, sizeof path), -1);
    EXPECT_EQ(Detail(2), "");
}

TEST_F(WineHidApi, PollThatTimesOutLeavesTheReadOutstanding)
{
    ASSERT_EQ(zqkOpen(), 1);
    EXPECT_EQ(zqkDebug(), 0x8000);
    EXPECT_EQ(zqkPoll(10), -1);
    EXPECT_EQ(zqkDebug(), 0x8001);
    EXPECT_EQ(zqkLastError(), 997);
    EXPECT_EQ(zqkPoll(0), -1);
    EXPECT_EQ(zqkLastError(), 0);  // the next call waits for the same read
    EXPECT_EQ(zqkDebug(), 0x8001);
    zqkClose();
    EXPECT_EQ(zqkDebug(), 0x8000);
}

TEST_F(WineHidApi, UsbPathReopensAndGivesUpTheOutstandingRead)
{
    ASSERT_EQ(zqkOpen(), 1);
    EXPECT_EQ(zqkPoll(0), -1);
    EXPECT_EQ(zqkDebug(), 0x8001);
    char path[512];
    EXPECT_GT(zqkUsbPath(path, sizeof path), 0);
    EXPECT_EQ(zqkIsOpen(), 1);
    EXPECT_EQ(zqkDebug(), 0x8000);
}

TEST_F(WineHidApi, WriteToDeviceWithoutOutputReportsFailsAndClosesIt)
{
    ASSERT_EQ(zqkOpen(), 1);
    EXPECT_EQ(zqkTermTx("ver\r", 4, 100), 0);
    EXPECT_EQ(zqkIsOpen(), 0);
    EXPECT_NE(zqkLastError(), 0);
    EXPECT_EQ(zqkTermTx("ver\r", 4, 100), 0);  // closed: fails at once
}

}  // namespace
}  // namespace zqk
