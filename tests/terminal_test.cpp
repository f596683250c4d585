// The terminal over the link and the simulated device, on the test clock.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/comms.h"
#include "sim/manual_clock.h"
#include "sim/sim_keeper.h"
#include "sim/sim_report_device.h"
#include "support/library_fixture.h"
#include "support/lock_probe.h"
#include "terminal/terminal.h"

namespace zqk {
namespace {

using testing::kPrompt;

class TerminalTest : public ::testing::Test {
protected:
    TerminalTest()
    {
        comms_ = rig::SimComms(keeper_.Device, clock_, testing::TestLockName("terminal"), &report_);
        terminal_ = std::make_unique<TzqTerminal>(*comms_);
        terminal_->SetPrompt(TzqTerminal::kDefaultPrompt);
        EXPECT_TRUE(comms_->Open());
    }

    // Device output that the terminal has not asked for: what is queued.
    void Output(const std::string& text) { keeper_.Device.Send(0, text); }

    std::string WaitPrompt(int32_t timeout = 1000)
    {
        std::string text;
        terminal_->WaitPrompt(timeout, text);
        return text;
    }

    std::string ReadChars(int32_t count, int32_t timeout = 100)
    {
        std::string text;
        terminal_->ReadChars(count, timeout, text);
        return text;
    }

    std::string ReadUntil(const std::string& marker, int32_t timeout = 100)
    {
        std::string text;
        terminal_->ReadUntil(marker, marker, timeout, text);
        return text;
    }

    sim::ManualClock clock_;
    sim::SimKeeper keeper_ {clock_};
    sim::SimReportDevice* report_ = nullptr;
    std::unique_ptr<TzqComms> comms_;
    std::unique_ptr<TzqTerminal> terminal_;
};

TEST_F(TerminalTest, DefaultPromptIsTwelveExactBytes)
{
    const std::string prompt = TzqTerminal::kDefaultPrompt;
    ASSERT_EQ(prompt.size(), 12u);
    EXPECT_EQ(static_cast<unsigned char>(prompt.front()), 0xAB);
    EXPECT_EQ(static_cast<unsigned char>(prompt.back()), 0xBB);
    EXPECT_EQ(prompt.substr(1, 10), "zq.keeper>");
    EXPECT_EQ(TzqTerminal(*comms_).Prompt(), "\xAB") << "before start-up sets the real one";
}

// ---- prompt recognition ----

TEST_F(TerminalTest, PromptSplitAcrossTwoReportsEndsOutputWhenItsLastByteArrives)
{
    for (size_t cut = 1; cut < kPrompt.size(); ++cut) {
        keeper_.Device.CutNext({3 + cut, kPrompt.size() - cut, 3});
        Output("abc" + kPrompt + "xyz");
        EXPECT_EQ(WaitPrompt(), "abc") << "cut after " << cut << " prompt bytes";
        EXPECT_FALSE(terminal_->TimedOut);
        EXPECT_EQ(terminal_->PendingSize(), 0u) << "nothing after the prompt was taken";
        EXPECT_EQ(ReadChars(3), "xyz");
    }
}

TEST_F(TerminalTest, BytesBehindThePromptStayPendingForTheNextRead)
{
    Output("abc" + kPrompt + "def");
    EXPECT_EQ(WaitPrompt(), "abc");
    EXPECT_EQ(terminal_->PendingSize(), 3u);
    EXPECT_EQ(ReadChars(3), "def");
}

TEST_F(TerminalTest, LeftoverPromptWithNothingInFrontIsSkipped)
{
    Output(kPrompt + "abc" + kPrompt);
    EXPECT_EQ(WaitPrompt(), "abc");
}

// Each empty prompt comes within the time-out of silence, on and on: they
// are skipped for no longer than the time-out.
TEST_F(TerminalTest, EmptyPromptsThatKeepComingEndTheWaitAsSilenceWould)
{
    keeper_.Device.SetPacing(900);
    std::string prompts;
    for (int i = 0; i < 10000; ++i)
        prompts += kPrompt;
    keeper_.Device.CutNext(std::vector<size_t>(10000, kPrompt.size()));
    Output(prompts);
    const uint64_t start = clock_.NowMs();
    EXPECT_EQ(WaitPrompt(1000), "");
    EXPECT_TRUE(terminal_->TimedOut);
    EXPECT_LE(clock_.NowMs() - start, 2000u);
}

TEST_F(TerminalTest, SilenceBeforeThePromptGivesThePartialOutput)
{
    Output("partial");
    const uint64_t start = clock_.NowMs();
    EXPECT_EQ(WaitPrompt(1000), "partial");
    EXPECT_TRUE(terminal_->TimedOut);
    EXPECT_GE(clock_.NowMs() - start, 1000u);
}

TEST_F(TerminalTest, EmptyPromptEndsOutputOnlyBySilence)
{
    terminal_->SetPrompt("");
    Output("all" + kPrompt + "of it");
    EXPECT_EQ(WaitPrompt(300), "all" + kPrompt + "of it");
    EXPECT_TRUE(terminal_->TimedOut);
}

TEST_F(TerminalTest, OutputMayHoldAnyByteButTheClosingOne)
{
    const std::string bytes = sim::BytesOfLength(5000);
    Output(bytes + kPrompt);
    EXPECT_EQ(WaitPrompt(), bytes);
}

TEST_F(TerminalTest, TextShorterThanTheMarkerNeverEndsWithIt)
{
    Output("bc");
    EXPECT_EQ(ReadUntil("abc"), "bc");
    EXPECT_TRUE(terminal_->TimedOut);
}

TEST_F(TerminalTest, ReadUntilTrimsAtTheMarkerAndLeavesTheRest)
{
    Output("line one\r\nline two\r\n");
    EXPECT_EQ(ReadUntil("\r\n"), "line one");
    EXPECT_EQ(ReadUntil("\r\n"), "line two");
    EXPECT_FALSE(terminal_->TimedOut);
}

TEST_F(TerminalTest, ReadUntilCutsAtTheLastTrimMarker)
{
    Output("a;b;c.");
    std::string text;
    terminal_->ReadUntil(".", ";", 100, text);
    EXPECT_EQ(text, "a;b");
}

TEST_F(TerminalTest, ReadUntilWithEmptyMarkerReadsUntilSilence)
{
    Output("everything\xBB" "and more");
    EXPECT_EQ(ReadUntil("", 200), "everything\xBB" "and more");
    EXPECT_TRUE(terminal_->TimedOut);
}

TEST_F(TerminalTest, FlushPromptReadsUpToTheClosingByte)
{
    Output("stale\xBB" "kept");
    std::string text;
    terminal_->FlushPrompt(5, text);
    EXPECT_EQ(text, "stale");
    EXPECT_EQ(ReadChars(4), "kept");
}

// ---- reading a count of bytes ----

TEST_F(TerminalTest, ReadCharsShortOfItsCountKeepsWhatCame)
{
    Output("0123456789");
    EXPECT_EQ(ReadChars(16), "");
    EXPECT_TRUE(terminal_->TimedOut);
    EXPECT_EQ(ReadChars(10), "0123456789");
    EXPECT_FALSE(terminal_->TimedOut);
}

TEST_F(TerminalTest, ReadCharsOfZeroReceivesNothing)
{
    Output("x");
    const size_t reads = report_->ReadTimeouts().size();
    EXPECT_EQ(ReadChars(0), "");
    EXPECT_EQ(ReadChars(-4), "");
    EXPECT_EQ(report_->ReadTimeouts().size(), reads);
    EXPECT_FALSE(terminal_->TimedOut);
}

TEST_F(TerminalTest, ReadCharsJoinsPackets)
{
    Output(std::string(150, 'p'));
    EXPECT_EQ(ReadChars(150), std::string(150, 'p'));
}

TEST_F(TerminalTest, ReadsDoNothingWhileAnotherThreadHoldsTheLock)
{
    Output("waiting");
    std::atomic<bool> held {false}, release {false};
    std::thread holder([&] {
        ASSERT_TRUE(comms_->Lock(0));
        held = true;
        while (!release)
            std::this_thread::yield();
        comms_->Unlock();
    });
    while (!held)
        std::this_thread::yield();
    terminal_->TimedOut = true;
    EXPECT_EQ(ReadChars(7, 30), "");
    EXPECT_TRUE(terminal_->TimedOut) << "left as it was";
    terminal_->TimedOut = false;
    EXPECT_EQ(ReadUntil("g", 30), "");
    EXPECT_FALSE(terminal_->TimedOut);
    EXPECT_EQ(WaitPrompt(0), "") << "gives up instead of retrying for ever";
    release = true;
    holder.join();
    EXPECT_EQ(ReadChars(7), "waiting");
}

// ---- sending ----

TEST_F(TerminalTest, SendLineEndsWithCarriageReturnOnly)
{
    terminal_->SendLine("");
    EXPECT_EQ(keeper_.Device.HostData(0), "\r");
    terminal_->SendLine("ver");
    EXPECT_EQ(keeper_.Device.HostData(0), "\rver\r");
}

TEST_F(TerminalTest, CommandOutputComesBackWithoutThePrompt)
{
    terminal_->SendLine("echo hello there");
    EXPECT_EQ(WaitPrompt(), "hello there\r\n");
    EXPECT_EQ(keeper_.Terminal.Lines().back(), "echo hello there");
}

TEST_F(TerminalTest, LongOutputComesBackWhole)
{
    terminal_->SendLine("bytes 300000");
    EXPECT_EQ(WaitPrompt(), sim::BytesOfLength(300000));
}

// ---- escape and the prompt test ----

TEST_F(TerminalTest, IsPromptTestsThePromptShownAfterAnEscape)
{
    EXPECT_TRUE(terminal_->IsPrompt("zq.keeper>"));
    EXPECT_TRUE(terminal_->IsPrompt("\xAB" "zq.keeper>"));
    EXPECT_FALSE(terminal_->IsPrompt(kPrompt)) << "the closing byte is not part of the text";
    EXPECT_FALSE(terminal_->IsPrompt(""));
    EXPECT_FALSE(terminal_->IsPrompt("BootLoader"));
    EXPECT_EQ(keeper_.Device.HostData(0), std::string(5, '\x1B')) << "each test sends one escape";
}

TEST_F(TerminalTest, IsPromptDrainsStaleOutputFirst)
{
    Output("old output\r\n" + kPrompt + "more old output");
    EXPECT_TRUE(terminal_->IsPrompt("zq.keeper"));
    EXPECT_EQ(terminal_->PendingSize(), 0u);
}

TEST_F(TerminalTest, IsPromptDoesNotDrainADeviceThatNeverStopsTalking)
{
    std::string chatter;
    while (chatter.size() < 1048576)
        chatter += "log line\r\n" + kPrompt;
    Output(chatter);  // a report a millisecond: much longer than a prompt test
    EXPECT_TRUE(terminal_->IsPrompt("zq.keeper"));
    EXPECT_GT(keeper_.Device.QueuedInputs(), 10000u) << "went ahead with the test after a bounded drain";
}

TEST_F(TerminalTest, IsPromptEndsWhileBareClosingBytesKeepComing)
{
    Output(std::string(300000, '\xBB'));  // each one a prompt with nothing in it
    EXPECT_FALSE(terminal_->IsPrompt("zq.keeper"));
    EXPECT_GT(keeper_.Device.QueuedInputs(), 1000u) << "the answer loop read on and on";
}

TEST_F(TerminalTest, IsPromptEndsInTimeWhileBareClosingBytesTrickleIn)
{
    keeper_.Device.SetPacing(40);  // each within the test's 50 ms of silence
    keeper_.Device.CutNext(std::vector<size_t>(100000, 1));
    Output(std::string(100000, '\xBB'));
    const uint64_t start = clock_.NowMs();
    EXPECT_FALSE(terminal_->IsPrompt("zq.keeper"));
    EXPECT_LE(clock_.NowMs() - start, 2000u);
}

TEST_F(TerminalTest, EscapeIsFalseOnlyWhenThePromptAsksForAPassword)
{
    EXPECT_TRUE(terminal_->Escape());
    keeper_.Terminal.RequirePassword("secret");
    EXPECT_TRUE(terminal_->IsPrompt("PASSWORD"));
    EXPECT_FALSE(terminal_->Escape());
}

TEST_F(TerminalTest, EscapeIsTrueWhenNothingAnswers)
{
    keeper_.Device.SetSilent(true);
    EXPECT_FALSE(terminal_->IsPrompt("zq.keeper"));
    EXPECT_TRUE(terminal_->TimedOut);
    EXPECT_TRUE(terminal_->Escape());
}

// ---- run mode ----

TEST_F(TerminalTest, RunModeComesFromTheProductString)
{
    const struct {
        sim::RunMode mode;
        bool bootLoader, app, ate;
    } cases[] = {{sim::RunMode::App, false, true, false},
                 {sim::RunMode::BootLoader, true, false, false},
                 {sim::RunMode::ATE, false, false, true}};
    for (const auto& c : cases) {
        keeper_.SetRunMode(c.mode);
        EXPECT_EQ(terminal_->IsRunningBootloader(), c.bootLoader);
        EXPECT_EQ(terminal_->IsRunningApp(), c.app);
        EXPECT_EQ(terminal_->IsRunningATE(), c.ate);
    }
    keeper_.Device.Identity.Product = u"zq.keeper BootLoader";
    EXPECT_TRUE(terminal_->IsRunningBootloader());
    EXPECT_TRUE(terminal_->IsRunningApp());
}

// ---- closed device ----

TEST_F(TerminalTest, ClosedDeviceGivesEmptyResultsAtOnce)
{
    Output("unread");
    comms_->Close();
    const uint64_t start = clock_.NowMs();
    EXPECT_EQ(WaitPrompt(5000), "");
    EXPECT_TRUE(terminal_->TimedOut);
    EXPECT_EQ(clock_.NowMs(), start);
    EXPECT_FALSE(terminal_->SendText("x"));
    EXPECT_FALSE(terminal_->IsPrompt("zq.keeper"));
    EXPECT_TRUE(terminal_->Escape());
    EXPECT_FALSE(terminal_->IsRunningApp());
    EXPECT_FALSE(terminal_->IsRunningBootloader());
    EXPECT_FALSE(terminal_->IsRunningATE());
}

// A link on which another thread's receive, one that finds nothing, comes
// right after each of the terminal's receives, before the terminal has
// looked at how its receive went.
class CrowdedLink final : public TzqComms {
public:
    using TzqComms::TzqComms;
    bool Receive(int32_t Channel, int32_t Timeout, int32_t MaxCount, std::string& Data,
                 size_t ExpectedBytes = 0) override
    {
        const bool received = TzqComms::Receive(Channel, Timeout, MaxCount, Data, ExpectedBytes);
        std::thread([this] {
            std::string nothing;
            TzqComms::Receive(7, 0, -1, nothing);
        }).join();
        return received;
    }
};

TEST(TerminalOnACrowdedLink, AnotherThreadsReceiveDoesNotDecideTheTerminalsRead)
{
    sim::ManualClock clock;
    sim::SimKeeper keeper {clock};
    CrowdedLink comms(std::make_unique<sim::SimReportDevice>(keeper.Device, clock), clock,
                      testing::TestLockName("crowded"));
    TzqTerminal terminal(comms);
    ASSERT_TRUE(comms.Open());
    keeper.Device.Send(0, "abc");
    std::string text;
    terminal.ReadChars(3, 100, text);
    EXPECT_EQ(text, "abc");
    EXPECT_FALSE(terminal.TimedOut);
}

TEST_F(TerminalTest, LockIsBalancedAfterEveryOperation)
{
    std::string text;
    terminal_->SendLine("echo x");
    terminal_->WaitPrompt(100, text);
    terminal_->IsPrompt("x");
    terminal_->ReadChars(5, 10, text);
    comms_->Close();
    terminal_->WaitPrompt(100, text);
    // Not the count of locks taken less those given back: an Unlock too many
    // and one missing would make it come out right. The lock itself must be
    // free for another thread and another process.
    const std::string name = comms_->DeviceLockName();  // the lock every program takes
    ASSERT_NE(name, "");
    EXPECT_TRUE(testing::LockProbe(name).TakenAtOnce()) << "another thread cannot take the device lock";
    EXPECT_TRUE(testing::TakenAtOnceByAnotherProcess(LOCK_HOLDER_PATH, name))
        << "another process cannot take the device lock";
}

}  // namespace
}  // namespace zqk
