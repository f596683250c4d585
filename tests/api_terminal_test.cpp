// The terminal exports on the simulated device.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "link/device_lock.h"
#include "support/child_process.h"
#include "support/library_fixture.h"
#include "zqkAPI.h"

namespace zqk {
namespace {

using testing::kPrompt;

class ApiTerminalTest : public testing::SimLibraryTest {
protected:
    void SetUp() override
    {
        SimLibraryTest::SetUp();
        ASSERT_EQ(zqkOpen(), 1);
    }

    // The output of a command, given a buffer of exactly the size it needs.
    std::string Command(const char* line, int32_t timeout = 1000)
    {
        std::vector<char> buffer(4 << 20);
        const int32_t n = zqkCommand(line, buffer.data(), static_cast<int32_t>(buffer.size()), timeout);
        EXPECT_GE(n, 0);
        return n < 0 ? std::string() : std::string(buffer.data(), static_cast<size_t>(n));
    }
};

TEST_F(ApiTerminalTest, CommandSendsTheLineAndReturnsItsOutput)
{
    EXPECT_EQ(Command("echo hello"), "hello\r\n");
    EXPECT_EQ(device_.HostData(0), "echo hello\r");
}

TEST_F(ApiTerminalTest, CommandOutputNeedsRoomForTheTerminator)
{
    const std::string output = "0123456789\r\n";  // "echo 0123456789": 12 bytes
    std::vector<char> buffer(64, 'x');
    EXPECT_EQ(zqkCommand("echo 0123456789", buffer.data(), 12, 1000), -13);
    EXPECT_EQ(std::string(buffer.data(), 12), std::string(12, 'x'));
    EXPECT_EQ(zqkCommand("echo 0123456789", buffer.data(), 13, 1000), 12);
    EXPECT_EQ(std::string(buffer.data(), 13), output + '\0');
}

TEST_F(ApiTerminalTest, NullCommandSendsOnlyACarriageReturn)
{
    char buffer[16];
    EXPECT_EQ(zqkCommand(nullptr, buffer, sizeof buffer, 200), 0);
    EXPECT_EQ(device_.HostData(0), "\r");
}

TEST_F(ApiTerminalTest, StaleBytesBehindAnOldPromptComeFirst)
{
    device_.Send(0, "stale\xBB" "kept ");
    EXPECT_EQ(Command("echo x"), "kept x\r\n");
}

TEST_F(ApiTerminalTest, PromptSplitAnywhereThroughTheExport)
{
    for (size_t cut = 1; cut < kPrompt.size(); ++cut) {
        device_.CutNext({2 + cut});  // "x\r\n" plus the first bytes of the prompt
        EXPECT_EQ(Command("echo x"), "x\r\n") << cut;
    }
}

TEST_F(ApiTerminalTest, MegabyteOutputsComeBackWhole)
{
    EXPECT_EQ(Command("text 1048576"), sim::TextOfLength(1048576));
    EXPECT_EQ(Command("bytes 1048576"), sim::BytesOfLength(1048576));
}

TEST_F(ApiTerminalTest, EmptyPromptReturnsEverythingUntilSilence)
{
    zqkSetPrompt("");
    EXPECT_EQ(Command("echo a", 300), "a\r\n" + kPrompt);
    zqkSetPrompt(nullptr);
    EXPECT_EQ(Command("echo b", 300), "b\r\n" + kPrompt);
    zqkSetPrompt(kPrompt.c_str());
    EXPECT_EQ(Command("echo c"), "c\r\n");
}

TEST_F(ApiTerminalTest, SilentDeviceReturnsWhatCameAfterTheTimeout)
{
    const uint64_t start = clock_.NowMs();
    EXPECT_EQ(Command("partial", 1500), "partial output");
    EXPECT_GE(clock_.NowMs() - start, 1500u);
}

TEST_F(ApiTerminalTest, OutputBeyond16MiBFailsTheCommandAndTheNextOneGetsItsOwnAnswer)
{
    char small[16];
    EXPECT_EQ(zqkCommand("text 17000000", small, sizeof small, 1000), -1);
    EXPECT_GT(device_.QueuedInputs(), 0u) << "went on reading past 16 MiB";
    EXPECT_EQ(Command("echo next"), "next\r\n");

    std::string prompts;
    for (int i = 0; i < 1500000; ++i)  // 18 MB of prompts with nothing in front
        prompts += kPrompt;
    device_.Send(0, prompts);
    EXPECT_EQ(zqkCommand("", small, sizeof small, 1000), 0) << "skipped empty prompts for the time-out, no longer";
    EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_TIMEOUT);
    EXPECT_GT(device_.QueuedInputs(), 0u) << "went on skipping empty prompts";
}

TEST_F(ApiTerminalTest, SlowOutputIsWaitedForAsLongAsItComes)
{
    EXPECT_EQ(Command("sleep 900", 1000), "") << "a prompt after 900 ms of silence still counts";
}

TEST_F(ApiTerminalTest, CommandFailsWhileAnotherProcessHoldsTheDeviceLock)
{
    testing::ChildProcess holder(LOCK_HOLDER_PATH, Lib().Comms.DeviceLockName() + " hold 1600");
    ASSERT_EQ(holder.ReadLine(), "locked");
    char buffer[16] = "untouched";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zqkCommand("echo x", buffer, sizeof buffer, 1000), -1);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_BUSY);
    EXPECT_GE(waited, std::chrono::milliseconds(950));
    EXPECT_LT(waited, std::chrono::milliseconds(2400));
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_TRUE(device_.HostPackets().empty()) << "nothing sent to the device";
    EXPECT_EQ(holder.Wait(), 0);
}

// The classic lock keeps the classic functions apart from programs of the
// classic library where those run (Windows); elsewhere it would keep nobody
// apart, and is not taken.
TEST_F(ApiTerminalTest, TheClassicLockIsTakenWhereProgramsOfTheClassicLibraryRun)
{
    testing::ChildProcess holder(LOCK_HOLDER_PATH, testing::TestLockName() + " hold 1200");
    ASSERT_EQ(holder.ReadLine(), "locked");
    char buffer[16] = "";
    const int32_t result = zqkCommand("echo x", buffer, sizeof buffer, 1000);
    if (ClassicProgramsRunHere()) {
        EXPECT_EQ(result, -1);
        EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_BUSY);
    } else {
        EXPECT_STREQ(buffer, "x\r\n");
    }
    EXPECT_EQ(holder.Wait(), 0);
}

TEST_F(ApiTerminalTest, EscapeAndPromptTests)
{
    EXPECT_EQ(zqkEscape(), 1);
    EXPECT_EQ(zqkIsPrompt("zq.keeper>"), 1);
    EXPECT_EQ(zqkIsPrompt(kPrompt.c_str()), 0);
    device_.ForgetHostPackets();
    EXPECT_EQ(zqkIsPrompt(nullptr), 0);
    EXPECT_EQ(device_.HostData(0), "\x1B") << "the escape is sent all the same";
    terminal_.RequirePassword("secret");
    EXPECT_EQ(zqkEscape(), 0);
    EXPECT_EQ(zqkIsPrompt("PASSWORD"), 1);
    device_.SetSilent(true);
    EXPECT_EQ(zqkEscape(), 1);
}

TEST_F(ApiTerminalTest, FlushPromptReturnsTextBeforeTheClosingByte)
{
    device_.Send(0, "some text\xBB" "after");
    char buffer[32];
    EXPECT_EQ(zqkFlushPrompt(buffer, sizeof buffer, 100), 9);
    EXPECT_STREQ(buffer, "some text");
    EXPECT_EQ(zqkFlushPrompt(buffer, sizeof buffer, 100), 5) << "silence: what came before it";
    EXPECT_STREQ(buffer, "after");
}

TEST_F(ApiTerminalTest, RunModeExports)
{
    EXPECT_EQ(zqkIsRunningApp(), 1);
    EXPECT_EQ(zqkIsRunningBootloader(), 0);
    keeper_.SetRunMode(sim::RunMode::BootLoader);
    EXPECT_EQ(zqkIsRunningBootloader(), 1);
    EXPECT_EQ(zqkIsRunningApp(), 0);
    keeper_.SetRunMode(sim::RunMode::ATE);
    EXPECT_EQ(zqkIsRunningATE(), 1);
}

TEST_F(ApiTerminalTest, ClosedDeviceGivesEmptyAnswers)
{
    zqkClose();
    char buffer[8] = "xxxxxxx";
    EXPECT_EQ(zqkCommand("echo x", buffer, sizeof buffer, 1000), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(zqkFlushPrompt(buffer, sizeof buffer, 1000), 0);
    EXPECT_EQ(zqkIsPrompt("zq"), 0);
    EXPECT_EQ(zqkEscape(), 1);
    EXPECT_EQ(zqkIsRunningApp(), 0);
    EXPECT_EQ(zqkIsRunningBootloader(), 0);
    EXPECT_EQ(zqkIsRunningATE(), 0);
    EXPECT_TRUE(device_.HostPackets().empty());
}

}  // namespace
}  // namespace zqk
