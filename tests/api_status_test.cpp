// The reason for a failure: every failure sets the status that the header
// lists for it, with a text that says what failed; success sets
// ZQK_STATUS_OK and an empty text; statuses belong to the calling thread.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

#include "support/library_fixture.h"
#include "zqkAPI.h"

namespace zqk {
namespace {

namespace fs = std::filesystem;

std::string StatusText()
{
    char text[1024];
    const int32_t n = zqkStatusText(text, sizeof text);
    return n >= 0 ? std::string(text, static_cast<size_t>(n)) : "(longer than 1 KiB)";
}

class StatusTest : public testing::SimLibraryTest {
protected:
    void SetUp() override
    {
        SimLibraryTest::SetUp();
        std::ofstream(local_ / "in.bin", std::ios::binary) << "data";
        keeper_.Files.PutFile("/file.txt", "on the device");
        ASSERT_EQ(zqkOpen(), 1);
    }
public:
    std::string Local(const std::string& Name) const { return scratch_.Local(Name); }

protected:

    rig::ScratchFolder scratch_ {"status"};
    const fs::path& local_ = scratch_.Path();
};

struct StatusCase {
    const char* Name;
    int32_t Status;
    const char* TextHolds;  // a part of the text that tells why
    std::function<void(StatusTest&, sim::SimDevice&)> Fail;
};

void PrintTo(const StatusCase& c, std::ostream* out)
{
    *out << c.Name;
}

// The C library's words for the error a sim: device reports once it is
// gone, on every platform.
const char* NoSuchDeviceText()
{
    static const std::string text = "(" + std::generic_category().message(ENODEV) + ")";
    return text.c_str();
}

thread_local int32_t t_statusInCallback = -1;
void ZQK_CALL ListFromTheCallback(int32_t, int32_t Position, int32_t)
{
    if (Position > 0 && t_statusInCallback < 0) {
        EXPECT_EQ(zqkDir("/"), -1);
        t_statusInCallback = zqkLastStatus();
    }
}

const std::vector<StatusCase>& StatusCases()
{
    static const std::vector<StatusCase> cases = {
        {"OpenWithNothingThere", ZQK_STATUS_NO_DEVICE, "no device found",
         [](StatusTest&, sim::SimDevice& d) {
             zqkClose();
             d.Unplug();
             EXPECT_EQ(zqkOpen(), 0);
         }},
        {"OpenPathOfAFile", ZQK_STATUS_NO_DEVICE, "no HID interface",
         [](StatusTest& t, sim::SimDevice&) { EXPECT_EQ(zqkOpenPath(t.Local("in.bin").c_str()), 0); }},
        {"OpenSerialNotThere", ZQK_STATUS_NO_DEVICE, "serial number \"NONE-1\"",
         [](StatusTest&, sim::SimDevice&) { EXPECT_EQ(zqkOpenSerial("NONE-1"), 0); }},
        {"DevOpenOfABadSimPath", ZQK_STATUS_ARGUMENT, "unknown option",
         [](StatusTest&, sim::SimDevice&) { EXPECT_EQ(zqkDevOpen("sim:x?speed=9"), 0); }},
        {"WaitForDeviceTimesOut", ZQK_STATUS_NO_DEVICE, "appeared within 0 ms",
         [](StatusTest&, sim::SimDevice&) { EXPECT_EQ(zqkWaitForDevice("NONE-1", 0), 0); }},
        {"WaitForAMalformedSimPath", ZQK_STATUS_ARGUMENT, "unknown option",
         [](StatusTest&, sim::SimDevice&) { EXPECT_EQ(zqkWaitForDevice("sim:x?speed=9", -1), 0) << "never there"; }},
        {"PollOnASilentDevice", ZQK_STATUS_TIMEOUT, "within 100 ms",
         [](StatusTest&, sim::SimDevice&) { EXPECT_EQ(zqkPoll(100), -1); }},
        {"PollOnAClosedDevice", ZQK_STATUS_NOT_OPEN, "not open",
         [](StatusTest&, sim::SimDevice&) {
             zqkClose();
             EXPECT_EQ(zqkPoll(0), -1);
         }},
        {"TermTxWhoseWriteFails", ZQK_STATUS_GONE, "write to the device failed",
         [](StatusTest&, sim::SimDevice& d) {
             d.SetWriteFault(sim::WriteFault::Fail);
             EXPECT_EQ(zqkTermTx("x", 1, 100), 0);
         }},
        {"TermTxToAnUnpluggedDevice", ZQK_STATUS_GONE, "write to the device failed",
         [](StatusTest&, sim::SimDevice& d) {
             d.Unplug();
             EXPECT_EQ(zqkTermTx("x", 1, 100), 0);
         }},
        {"TermTxToAnUnpluggedSimPathDevice", ZQK_STATUS_GONE, NoSuchDeviceText(),
         [](StatusTest& t, sim::SimDevice&) {
             ASSERT_EQ(zqkOpenPath(("sim:" + t.Local("device") + "?unplug=1").c_str()), 1);
             EXPECT_EQ(zqkTermTx("x", 1, 100), 1) << "the last report before it goes";
             EXPECT_EQ(zqkTermTx("x", 1, 100), 0);
         }},
        {"TermTxWithoutData", ZQK_STATUS_ARGUMENT, "no data",
         [](StatusTest&, sim::SimDevice&) { EXPECT_EQ(zqkTermTx(nullptr, 5, 100), 0); }},
        {"TermRxIntoASmallBuffer", ZQK_STATUS_BUFFER, "too small",
         [](StatusTest&, sim::SimDevice& d) {
             d.Send(0, "forty bytes of data, more than will fit.");
             char buffer[8];
             EXPECT_EQ(zqkTermRx(buffer, sizeof buffer, 100), -41);
         }},
        {"UsbDetailOfNoType", ZQK_STATUS_ARGUMENT, "type 3",
         [](StatusTest&, sim::SimDevice&) { EXPECT_EQ(zqkUsbDetail(3, nullptr, 0), -1); }},
        {"UsbDetailOfAClosedDevice", ZQK_STATUS_NOT_OPEN, "not open",
         [](StatusTest&, sim::SimDevice&) {
             zqkClose();
             char buffer[8];
             EXPECT_EQ(zqkUsbDetail(0, buffer, sizeof buffer), 0);
         }},
        {"SetVidPidOfNoIndex", ZQK_STATUS_ARGUMENT, "index 4", [](StatusTest&, sim::SimDevice&) { zqkSetVidPid(4, 1); }},
        {"CommandOnASilentDevice", ZQK_STATUS_TIMEOUT, "did not answer",
         [](StatusTest&, sim::SimDevice& d) {
             d.SetSilent(true);
             char buffer[8];
             EXPECT_EQ(zqkCommand("ver", buffer, sizeof buffer, 100), 0);
         }},
        {"CommandWhoseOutputPasses16MiB", ZQK_STATUS_REFUSED, "passed 16 MiB",
         [](StatusTest&, sim::SimDevice&) {
             char buffer[8];
             EXPECT_EQ(zqkCommand("text 17000000", buffer, sizeof buffer, 1000), -1);
         }},
        {"DirOfAMissingFolder", ZQK_STATUS_REFUSED, "5:No path",
         [](StatusTest&, sim::SimDevice&) { EXPECT_EQ(zqkDir("/nowhere"), -1); }},
        {"DirOfARefusedName", ZQK_STATUS_ARGUMENT, "control byte",
         [](StatusTest&, sim::SimDevice&) { EXPECT_EQ(zqkDir("/a\rb"), -1); }},
        {"DirOnAClosedDevice", ZQK_STATUS_NOT_OPEN, "not open",
         [](StatusTest&, sim::SimDevice&) {
             zqkClose();
             EXPECT_EQ(zqkDir("/"), -1);
         }},
        {"DirOnAVanishingDevice", ZQK_STATUS_GONE, "went away",
         [](StatusTest&, sim::SimDevice& d) {
             d.UnplugAfterReports(2);
             EXPECT_EQ(zqkDir("/"), -1);
         }},
        {"DirCutShortBySilence", ZQK_STATUS_TIMEOUT, "fell silent before the listing of \"/\" was complete",
         [](StatusTest&, sim::SimDevice& d) {
             d.SilenceAfterBytes(35);  // in the middle of the first entry
             EXPECT_EQ(zqkDir("/"), -1);
         }},
        {"GetDirEntryOutOfRange", ZQK_STATUS_ARGUMENT, "no entry 5",
         [](StatusTest&, sim::SimDevice&) { EXPECT_EQ(zqkGetDirEntry(5, nullptr, 0, nullptr, nullptr, nullptr), -1); }},
        {"DirMakeOfAnExistingFolder", ZQK_STATUS_REFUSED, "8:Exist",
         [](StatusTest&, sim::SimDevice&) {
             EXPECT_EQ(zqkDirMake("/d"), 0);
             EXPECT_EQ(zqkDirMake("/d"), -1);
         }},
        {"FileDeleteOfNoFile", ZQK_STATUS_REFUSED, "4:No file",
         [](StatusTest&, sim::SimDevice&) { EXPECT_EQ(zqkFileDelete("/none.txt"), -1); }},
        {"FileReadOfNoFile", ZQK_STATUS_REFUSED, "4:No file",
         [](StatusTest& t, sim::SimDevice&) { EXPECT_EQ(zqkFileRead("/none.txt", t.Local("out.bin").c_str()), -2); }},
        {"FileReadIntoNoFolder", ZQK_STATUS_LOCAL_FILE, "no/such",
         [](StatusTest& t, sim::SimDevice&) {
             EXPECT_EQ(zqkFileRead("/file.txt", t.Local("no/such/out.bin").c_str()), -1);
         }},
        {"FileWriteOfNoLocalFile", ZQK_STATUS_LOCAL_FILE, "cannot read",
         [](StatusTest& t, sim::SimDevice&) {
             EXPECT_EQ(zqkFileWrite(t.Local("none.bin").c_str(), "/x"), ZQK_LOCAL_FILE_UNREADABLE);
         }},
        {"FirmwareUpdateOfAFolder", ZQK_STATUS_LOCAL_FILE, "cannot read",
         [](StatusTest& t, sim::SimDevice&) { EXPECT_EQ(zqkFirmwareUpdate(t.Local("").c_str()), ZQK_LOCAL_FILE_UNREADABLE); }},
        {"IsRunningAppOnAClosedDevice", ZQK_STATUS_NOT_OPEN, "not open",
         [](StatusTest&, sim::SimDevice&) {
             zqkClose();
             EXPECT_EQ(zqkIsRunningApp(), 0);
         }},
        {"FoundDeviceOutOfRange", ZQK_STATUS_ARGUMENT, "index -1",
         [](StatusTest&, sim::SimDevice&) { EXPECT_EQ(zqkFoundDevice(-1, 0, nullptr, 0), -1); }},
        {"DevCommandOfAMadeUpHandle", ZQK_STATUS_ARGUMENT, "handle 12345",
         [](StatusTest&, sim::SimDevice&) { EXPECT_EQ(zqkDevCommand(12345, "ver", nullptr, 0, 100), -1); }},
    };
    return cases;
}

class EveryFailure : public StatusTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(EveryFailure, SetsItsStatusAndSaysWhy)
{
    zqkSetVidPid(0, 0x16D0);  // a success first: what follows must replace it
    ASSERT_EQ(zqkLastStatus(), ZQK_STATUS_OK);
    GetParam().Fail(*this, device_);
    EXPECT_EQ(zqkLastStatus(), GetParam().Status) << StatusText();
    EXPECT_NE(StatusText().find(GetParam().TextHolds), std::string::npos) << StatusText();
    EXPECT_EQ(zqkLastStatus(), GetParam().Status) << "asking for the text changes nothing";
    zqkSetVidPid(0, 0x16D0);
    EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_OK);
    EXPECT_EQ(StatusText(), "") << "empty after success";
}

INSTANTIATE_TEST_SUITE_P(Statuses, EveryFailure, ::testing::ValuesIn(StatusCases()),
                         [](const ::testing::TestParamInfo<StatusCase>& info) { return info.param.Name; });

// A call from a progress callback fails with a status of its own, and the
// transfer around it keeps its own: success.
TEST_F(StatusTest, ACallFromAProgressCallbackIsInTheTransfersWay)
{
    t_statusInCallback = -1;
    zqkSetCallback(ListFromTheCallback, 0);
    EXPECT_EQ(zqkFileRead("/file.txt", Local("out.bin").c_str()), 13);
    zqkSetCallback(nullptr, 0);
    EXPECT_EQ(t_statusInCallback, ZQK_STATUS_IN_TRANSFER);
    EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_OK);
}

TEST_F(StatusTest, EachThreadHasItsOwn)
{
    EXPECT_EQ(zqkDir("/nowhere"), -1);
    int32_t other = -1;
    std::string otherText = "unset";
    std::thread([&] {
        other = zqkLastStatus();
        otherText = StatusText();
        zqkFileDelete("/none.txt");
    }).join();
    EXPECT_EQ(other, ZQK_STATUS_OK) << "a new thread has made no call yet";
    EXPECT_EQ(otherText, "");
    EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_REFUSED);
    EXPECT_NE(StatusText().find("5:No path"), std::string::npos) << "not the other thread's failure";
}

}  // namespace
}  // namespace zqk
