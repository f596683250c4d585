// The channel link over the simulated device, on the test clock.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <memory>
#include <string>

#include "link/comms.h"
#include "link/report_pace.h"
#include "sim/manual_clock.h"
#include "sim/sim_device.h"
#include "sim/sim_report_device.h"
#include "sim/sim_terminal.h"
#include "support/library_fixture.h"

namespace zqk {
namespace {

using sim::ManualClock;
using sim::SimDevice;
using sim::SimReportDevice;
using sim::WriteFault;

std::vector<uint8_t> Report(uint8_t channel, const std::string& data, size_t size = kPacketSize)
{
    std::vector<uint8_t> report(size, 0);
    report[0] = channel;
    report[2] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), report.begin() + kPacketHeaderSize);
    return report;
}

class LinkTest : public ::testing::Test {
protected:
    LinkTest()
    {
        comms_ = rig::SimComms(device_, clock_, testing::TestLockName("link"), &report_);
        EXPECT_TRUE(comms_->Open());
    }

    std::string Receive(int32_t channel, int32_t timeout, int32_t maxCount = -1)
    {
        std::string data;
        received_ = comms_->Receive(channel, timeout, maxCount, data);
        return data;
    }

    ManualClock clock_;
    SimDevice device_ {clock_};
    SimReportDevice* report_ = nullptr;
    std::unique_ptr<TzqComms> comms_;
    bool received_ = false;  // what the last Receive said: a report came
};

// ---- sending ----

TEST_F(LinkTest, SendCutsDataIntoPacketsOfAtMost61Bytes)
{
    const struct {
        size_t bytes;
        std::vector<int> lengths;
    } cases[] = {{0, {}}, {1, {1}}, {61, {61}}, {62, {61, 1}}, {122, {61, 61}}, {200, {61, 61, 61, 17}}};
    for (const auto& c : cases) {
        device_.ForgetHostPackets();
        std::string data(c.bytes, '\0');
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>(i * 7 + 1);
        ASSERT_TRUE(comms_->Send(data, 5, 0, 200)) << c.bytes;
        const auto& packets = device_.HostPackets();
        ASSERT_EQ(packets.size(), c.lengths.size()) << c.bytes;
        for (size_t i = 0; i < packets.size(); ++i) {
            EXPECT_EQ(packets[i][0], 5);
            EXPECT_EQ(packets[i][1], 0);
            EXPECT_EQ(packets[i][2], c.lengths[i]);
            for (int b = kPacketHeaderSize + c.lengths[i]; b < kPacketSize; ++b)
                ASSERT_EQ(packets[i][b], 0) << "zero fill after the data, byte " << b;
        }
        EXPECT_EQ(device_.HostData(5), data);
    }
}

TEST_F(LinkTest, SendOnAChannelAbove31WritesNothing)
{
    EXPECT_FALSE(comms_->Send("abc", 32, 0, 200));
    EXPECT_FALSE(comms_->Send("abc", -1, 0, 200));
    EXPECT_TRUE(device_.HostPackets().empty());
}

TEST_F(LinkTest, FailedWriteStopsSendingAndClosesTheDevice)
{
    device_.SetWriteFault(WriteFault::Fail, 1);
    EXPECT_FALSE(comms_->Send(std::string(200, 'x'), 0, 0, 200));
    EXPECT_FALSE(comms_->IsOpen());
    EXPECT_EQ(device_.HostPackets().size(), 1u);
}

TEST_F(LinkTest, WriteTimeoutCountsAsFailure)
{
    device_.SetWriteFault(WriteFault::Timeout);
    EXPECT_FALSE(comms_->Send("x", 0, 0, 200));
    EXPECT_FALSE(comms_->IsOpen());
}

TEST_F(LinkTest, SendOnClosedDeviceFailsButEmptyDataSucceeds)
{
    comms_->Close();
    EXPECT_TRUE(comms_->Send("", 0, 0, 200));
    EXPECT_FALSE(comms_->Send("x", 0, 0, 200));
}

// ---- polling ----

TEST_F(LinkTest, PollOfSilentDeviceWaitsInChunksOf500)
{
    const uint64_t start = clock_.NowMs();
    EXPECT_FALSE(comms_->Poll(1200));
    EXPECT_EQ(report_->ReadTimeouts(), (std::vector<int32_t> {500, 500, 200}));
    EXPECT_EQ(clock_.NowMs() - start, 1200u);
}

TEST_F(LinkTest, PollWithZeroOrNegativeTimeoutMakesOneReadWithoutWaiting)
{
    const uint64_t start = clock_.NowMs();
    EXPECT_FALSE(comms_->Poll(0));
    EXPECT_FALSE(comms_->Poll(-7));
    EXPECT_EQ(report_->ReadTimeouts(), (std::vector<int32_t> {0, -7}));
    EXPECT_EQ(clock_.NowMs(), start);
}

TEST_F(LinkTest, PollDrainsTheBacklogInOneCall)
{
    for (int i = 0; i < 5; ++i)
        device_.Send(static_cast<uint8_t>(i), "data");
    EXPECT_TRUE(comms_->Poll(0));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(comms_->Buffered(i), 64u);
    EXPECT_EQ(device_.QueuedInputs(), 0u);
}

TEST_F(LinkTest, PollReturnsAsSoonAsAReportArrives)
{
    device_.SetLatency(30);
    device_.Send(0, "late");
    const uint64_t start = clock_.NowMs();
    EXPECT_TRUE(comms_->Poll(1000));
    EXPECT_EQ(clock_.NowMs() - start, 30u);
}

TEST_F(LinkTest, ReportsOfWrongSizeOrChannelAreIgnored)
{
    device_.InjectReport(Report(0, "short", 63));
    device_.InjectReport(Report(0x20, "high"));
    device_.InjectReport(Report(0xFF, "high"));
    EXPECT_FALSE(comms_->Poll(0));
    EXPECT_EQ(comms_->Buffered(0), 0u);
}

TEST_F(LinkTest, FullChannelBufferDropsNewPacketsButPollStillReportsThem)
{
    for (int i = 0; i < 2048; ++i)
        device_.Send(7, std::string(1, static_cast<char>(i)));
    EXPECT_TRUE(comms_->Poll(0));
    EXPECT_EQ(comms_->Buffered(7), TzqComms::kRxBufferCap);
    device_.Send(7, "dropped");
    EXPECT_TRUE(comms_->Poll(0));
    EXPECT_EQ(comms_->Buffered(7), TzqComms::kRxBufferCap);
    for (int i = 0; i < 2048; ++i)
        ASSERT_EQ(Receive(7, 0), std::string(1, static_cast<char>(i)));
    EXPECT_EQ(comms_->Buffered(7), 0u);
}

TEST_F(LinkTest, PollOnClosedDeviceFailsWithoutWaiting)
{
    comms_->Close();
    const uint64_t start = clock_.NowMs();
    EXPECT_FALSE(comms_->Poll(1200));
    EXPECT_EQ(clock_.NowMs(), start);
}

// ---- receiving ----

TEST_F(LinkTest, ReceiveTakesOnePacketAtATime)
{
    device_.Send(0, std::string(100, 'a'));
    EXPECT_EQ(Receive(0, 100), std::string(61, 'a'));
    EXPECT_EQ(Receive(0, 100), std::string(39, 'a'));
    EXPECT_TRUE(received_);
}

TEST_F(LinkTest, ReceiveWithMaxCountSplitsThePacket)
{
    device_.Send(0, "0123456789abcdefghijklmno");
    EXPECT_EQ(Receive(0, 100, 10), "0123456789");
    EXPECT_EQ(Receive(0, 100, -1), "abcdefghijklmno");
}

TEST_F(LinkTest, ReceiveWithMaxCountZeroConsumesNothing)
{
    device_.Send(0, "kept");
    EXPECT_EQ(Receive(0, 100, 0), "");
    EXPECT_TRUE(received_);
    EXPECT_EQ(Receive(0, 100), "kept");
}

TEST_F(LinkTest, ReceiveOfSilentDeviceFailsAfterItsTimeout)
{
    const uint64_t start = clock_.NowMs();
    EXPECT_EQ(Receive(0, 300), "");
    EXPECT_FALSE(received_) << "no report came";
    EXPECT_EQ(clock_.NowMs() - start, 300u);
}

TEST_F(LinkTest, ReceiveWhileOnlyOtherChannelsTalkEndsWithoutFailure)
{
    device_.SetPacing(10);
    for (int i = 0; i < 30; ++i)
        device_.Send(3, "other");
    const uint64_t start = clock_.NowMs();
    EXPECT_EQ(Receive(0, 100), "");
    EXPECT_TRUE(received_);
    EXPECT_GE(clock_.NowMs() - start, 100u);
    EXPECT_LE(clock_.NowMs() - start, 110u);
    EXPECT_GE(comms_->Buffered(3), 10u * 64u);
}

TEST_F(LinkTest, ReceiveCanWaitAboutTwiceItsTimeout)
{
    // Another channel talks at 90 ms; the wait that follows is a full one.
    device_.SetLatency(90);
    device_.Send(3, "other");
    const uint64_t start = clock_.NowMs();
    EXPECT_EQ(Receive(0, 100), "");
    EXPECT_FALSE(received_) << "no report came";
    EXPECT_EQ(clock_.NowMs() - start, 190u);
}

TEST_F(LinkTest, ReceiveEndsAcrossTheTickCounterWrap)
{
    clock_.Advance(0xFFFFFFFFull - clock_.NowMs() - 40);
    device_.SetPacing(10);
    for (int i = 0; i < 40; ++i)
        device_.Send(3, "other");
    const uint64_t start = clock_.NowMs();
    EXPECT_EQ(Receive(0, 100), "");
    EXPECT_LE(clock_.NowMs() - start, 110u);
}

TEST_F(LinkTest, ReceiveWithNegativeTimeoutMakesOnePass)
{
    device_.SetLatency(5);
    device_.Send(0, "late");
    const uint64_t start = clock_.NowMs();
    EXPECT_EQ(Receive(0, -1), "");
    EXPECT_FALSE(received_) << "no report came";
    EXPECT_EQ(clock_.NowMs(), start) << "no waiting at all";
    clock_.Advance(5);
    EXPECT_EQ(Receive(0, -1), "late");
}

TEST_F(LinkTest, ATransportThatFindsTheDeviceGoneIsClosedByTheLink)
{
    device_.Unplug();
    EXPECT_EQ(Receive(0, 10), "");  // the outstanding read completes empty, the next is refused
    EXPECT_FALSE(comms_->IsOpen());
    EXPECT_FALSE(report_->Gone()) << "the link closed it";
    device_.Replug();
    EXPECT_TRUE(comms_->Open());
}

TEST_F(LinkTest, ReceiveOnInvalidChannelLeavesDataAlone)
{
    std::string data = "untouched";
    EXPECT_FALSE(comms_->Receive(32, 100, -1, data));
    EXPECT_EQ(data, "untouched");
}

TEST_F(LinkTest, LengthByteAbove61CountsAs61)
{
    std::vector<uint8_t> report = Report(0, std::string(61, 'z'));
    report[2] = 200;
    device_.InjectReport(report);
    EXPECT_EQ(Receive(0, 0), std::string(61, 'z'));
}

TEST_F(LinkTest, PacketsBufferedBeforeCloseAreDeliveredAfterReopen)
{
    device_.Send(0, "before");
    EXPECT_TRUE(comms_->Poll(0));
    comms_->Close();
    ASSERT_TRUE(comms_->Open());
    EXPECT_EQ(Receive(0, 0), "before");
}

TEST_F(LinkTest, ClearChannelEmptiesOnlyThatChannel)
{
    device_.Send(1, "one");
    device_.Send(2, "two");
    comms_->Poll(0);
    comms_->ClearChannel(1);
    comms_->ClearChannel(99);
    EXPECT_EQ(comms_->Buffered(1), 0u);
    EXPECT_EQ(Receive(2, 0), "two");
}

TEST_F(LinkTest, HasDataLooksAtTheBufferThenPolls)
{
    EXPECT_FALSE(comms_->HasData(40));
    EXPECT_FALSE(comms_->HasData(0));
    device_.Send(4, "x");
    EXPECT_TRUE(comms_->HasData(0)) << "a report for any channel counts";
    EXPECT_TRUE(comms_->HasData(4));
}

// ---- the simulated endpoint's timing ----

TEST_F(LinkTest, HighSpeedPacingDeliversOneReportPer125Microseconds)
{
    device_.SetPacingUs(125);
    device_.Send(3, std::string(61 * 8, 'h'));
    EXPECT_EQ(device_.QueuedInputs(), 8u);
    const uint64_t start = clock_.NowUs();
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(Receive(3, 10), std::string(61, 'h'));
    EXPECT_EQ(clock_.NowUs() - start, 7u * 125u) << "the first at once, then one per interval";
}

TEST_F(LinkTest, OutputReportsGoOutAtTheEndOfTheFrameTheyAreWrittenIn)
{
    device_.SetWriteDurationUs(125);
    clock_.SleepUs(30);  // into a frame: the clock starts on a frame's edge
    const uint64_t start = clock_.NowUs();
    ASSERT_TRUE(comms_->Send(std::string(61 * 3, 'w'), 1, 0, 200));
    EXPECT_EQ(clock_.NowUs() - start, 95u + 2u * 125u) << "the rest of this frame, then one frame each";
    EXPECT_EQ(device_.HostPackets().size(), 3u);
}

TEST_F(LinkTest, CutsApplyToPacketsInTheOrderTheyAreQueued)
{
    device_.CutNext({5, 3});
    device_.Send(2, "abcd");
    device_.Send(2, "efghij");
    EXPECT_EQ(device_.QueuedInputs(), 3u);
    EXPECT_EQ(Receive(2, 0), "abcd");
    EXPECT_EQ(Receive(2, 0), "efg");
    EXPECT_EQ(Receive(2, 0), "hij");
}

// Each sleep of the reading thread, on the test clock, is one wake-up.
class WakeCountingClock final : public Clock {
public:
    uint64_t NowMs() override { return clock_.NowMs(); }
    uint64_t NowUs() override { return clock_.NowUs(); }
    void SleepMs(uint32_t Ms) override { SleepUs(uint64_t {Ms} * 1000); }
    void SleepUs(uint64_t Us) override
    {
        wakes_ += Us > 0;
        clock_.SleepUs(Us);
    }
    uint64_t Wakes() const { return wakes_; }

private:
    ManualClock clock_;
    uint64_t wakes_ = 0;
};

// A reader that says how much it waits for wakes once for several reports,
// lets no more wait than a batch or 4 ms' worth, and still ends when the
// last report is due.
TEST(LinkPaceTest, ALongReadWakesOnceForSeveralReportsAndEndsWithTheLast)
{
    const struct {
        uint32_t intervalUs;
        size_t mostWaiting;
        uint64_t reportsPerWake;
    } cases[] = {{1000, 4, 3}, {125, ReportPace::kBatchReports, 10}};
    constexpr size_t kReports = 1000;
    for (const auto& c : cases) {
        WakeCountingClock clock;
        SimDevice device {clock};
        const auto comms = rig::SimComms(device, clock, testing::TestLockName("pace"));
        ASSERT_TRUE(comms->Open());
        device.SetPacingUs(c.intervalUs);
        const std::string data = sim::BytesOfLength(kMaxPacketData * kReports);
        device.Send(3, data);
        const uint64_t start = clock.NowUs();
        std::string got, chunk;
        while (got.size() < data.size()) {
            ASSERT_TRUE(comms->Receive(3, 100, -1, chunk, data.size() - got.size())) << got.size();
            got += chunk;
        }
        EXPECT_EQ(got, data) << c.intervalUs;
        EXPECT_EQ(clock.NowUs() - start, (kReports - 1) * c.intervalUs) << c.intervalUs;
        EXPECT_LE(device.MostWaiting(), c.mostWaiting) << c.intervalUs;
        EXPECT_LE(clock.Wakes(), kReports / c.reportsPerWake) << c.intervalUs;
    }
}

// A streak of reads that each took one report, IntervalUs apart.
void Streak(ReportPace& Pace, uint64_t& NowUs, uint32_t Reports, uint64_t IntervalUs)
{
    for (uint32_t i = 0; i < Reports; ++i)
        Pace.Took(1, NowUs += IntervalUs);
}

TEST(LinkPaceTest, SleepsAheadOnlyWhileASteadyStreamRunsAndTheClockKeepsTime)
{
    uint64_t now = 1000000;
    ReportPace pace;
    Streak(pace, now, ReportPace::kKnownAfterReports, 1000);
    EXPECT_EQ(pace.SleepUs(100, now), 0u) << "the first read's reports do not count";
    Streak(pace, now, 1, 1000);
    EXPECT_EQ(pace.SleepUs(100, now), ReportPace::kMaxSleepUs);
    EXPECT_EQ(pace.SleepUs(3, now), 2000u) << "the last report wanted is waited for";
    EXPECT_EQ(pace.SleepUs(1, now), 0u);
    EXPECT_EQ(pace.SleepUs(100, now + 5000), 0u) << "reports that stopped coming";
    pace.Took(4, now += 4000);
    EXPECT_EQ(pace.SleepUs(100, now), ReportPace::kMaxSleepUs) << "several reports in one read";
    pace.Took(20, now += 20000);
    EXPECT_EQ(pace.SleepUs(100, now), ReportPace::kMaxSleepUs) << "a caller that paused while they came";
    pace.Took(1, now += 5000);
    EXPECT_EQ(pace.SleepUs(100, now), 0u) << "an idle device starts the streak again";
    Streak(pace, now, ReportPace::kKnownAfterReports, 125);
    EXPECT_EQ(pace.SleepUs(100, now), (ReportPace::kBatchReports - 1) * 125u) << "a batch of a high-speed endpoint";
    for (uint32_t i = 0; i + 1 < ReportPace::kOvershootsTolerated; ++i)
        pace.Slept(1875, 16000);
    pace.Slept(1875, 1900);
    for (uint32_t i = 0; i + 1 < ReportPace::kOvershootsTolerated; ++i)
        pace.Slept(1875, 16000);
    EXPECT_NE(pace.SleepUs(100, now), 0u) << "sleeps that overshot now and then";
    pace.Slept(1875, 16000);
    EXPECT_EQ(pace.SleepUs(100, now), 0u) << "a clock that oversleeps";

    ReportPace answers;  // answers of a few reports each, the device idle between them
    for (int answer = 0; answer < 10; ++answer) {
        Streak(answers, now, ReportPace::kKnownAfterReports, 125);
        now += 5000;
    }
    EXPECT_EQ(answers.SleepUs(100, now - 5000), 0u);
    ReportPace atOnce;
    Streak(atOnce, now, 1 + ReportPace::kKnownAfterReports, 10);
    EXPECT_EQ(atOnce.SleepUs(100, now), 0u) << "reports that come at once want no sleep";
}

// Right after a long read, with its pace known: a read that waits for more
// from a silent device waits no longer than its time-out, and a closed
// device not at all.
TEST(LinkPaceTest, ASleepAheadStaysWithinTheTimeOut)
{
    for (const int32_t timeout : {-1, 0, 3, 10, 1000}) {
        for (const bool closed : {false, true}) {
            ManualClock clock;
            SimDevice device {clock};
            const auto comms = rig::SimComms(device, clock, testing::TestLockName("pace"));
            ASSERT_TRUE(comms->Open());
            device.SetPacing(1);
            device.Send(3, std::string(kMaxPacketData * 20, 'p'));
            std::string chunk;
            for (int i = 0; i < 20; ++i)
                ASSERT_TRUE(comms->Receive(3, 100, -1, chunk, kMaxPacketData * (20 - i)));
            if (closed)
                comms->Close();
            const uint64_t start = clock.NowMs();
            EXPECT_FALSE(comms->Receive(3, timeout, -1, chunk, 4096));
            EXPECT_EQ(clock.NowMs() - start, closed ? 0u : static_cast<uint64_t>(std::max(timeout, 0)))
                << timeout << (closed ? " closed" : "");
        }
    }
}

// ---- identity ----

TEST_F(LinkTest, IdentityStringsComeFromTheDeviceAndAreEmptyWhenClosed)
{
    EXPECT_EQ(comms_->SerialNumber(), "ZQK-0001");
    EXPECT_EQ(comms_->Manufacturer(), "Vorlund");
    EXPECT_EQ(comms_->Product(), "zq.keeper");
    EXPECT_EQ(comms_->DeviceString204(), "fs.nfi.2");
    EXPECT_EQ(comms_->DeviceString203(), "fw 2.4.1");
    EXPECT_TRUE(comms_->HasSerialNumber());
    comms_->Close();
    EXPECT_EQ(comms_->Product(), "");
    EXPECT_FALSE(comms_->HasSerialNumber());
}

TEST_F(LinkTest, OpenUsesTheMatchingValues)
{
    comms_->Close();
    EXPECT_EQ(comms_->MatchValue(0), 0x16D0);
    EXPECT_EQ(comms_->MatchValue(3), -1);
    comms_->SetMatchValue(1, 0x1234);
    EXPECT_FALSE(comms_->Open());
    comms_->SetMatchValue(1, -1);
    EXPECT_TRUE(comms_->Open());
    comms_->SetMatchValue(7, 5);
    EXPECT_EQ(comms_->MatchValue(7), 0);
}

// ---- another unit on the same link ----

std::unique_ptr<SimReportDevice> OpenedUnit(SimDevice& Device, ManualClock& Clock)
{
    auto unit = std::make_unique<SimReportDevice>(Device, Clock);
    EXPECT_TRUE(unit->Open(-1, -1, -1, -1));
    return unit;
}

size_t OpenDescriptors()
{
    std::error_code ec;
    const auto fds = std::filesystem::directory_iterator("/proc/self/fd", ec);
    return ec ? 0 : static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

TEST_F(LinkTest, AnotherUnitStartsWithoutTheFormerOnesInputAndKeepsOneLockPerUnit)
{
    device_.Send(3, "the former unit's");
    ASSERT_TRUE(comms_->Poll(0));
    SimDevice other {clock_};
    other.Identity.SerialNumber = u"ZQK-0002";
    comms_->Attach(OpenedUnit(other, clock_));
    EXPECT_EQ(Receive(3, 0), "");
    EXPECT_NE(comms_->DeviceLockName(), "");

    // Going back and forth takes each unit's lock once (descriptors on Linux).
    const auto useUnit = [&](SimDevice& Unit) {
        comms_->Attach(OpenedUnit(Unit, clock_));
        ASSERT_TRUE(comms_->Lock(0));
        comms_->Unlock();
    };
    const auto switchTwice = [&] {
        useUnit(device_);
        useUnit(other);
    };
    switchTwice();
    const size_t before = OpenDescriptors();
    for (int i = 0; i < 20; ++i)
        switchTwice();
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(LinkTest, LockCountFollowsLockAndUnlock)
{
    ASSERT_TRUE(comms_->Lock(0));
    ASSERT_TRUE(comms_->Lock(0));
    EXPECT_EQ(comms_->LockCount(), 2);
    comms_->Unlock();
    comms_->Unlock();
    EXPECT_EQ(comms_->LockCount(), 0);
    EXPECT_EQ(comms_->LockFailures(), 0);
}

}  // namespace
}  // namespace zqk
