// The queue between the hidraw reader thread and ReadReport. Waits are on
// conditions between threads, never on the clock: time-outs here are either
// 0 or far longer than any run.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "hid/report_queue.h"

namespace zqk::hid {
namespace {

using Outcome = ReportQueue::Outcome;
constexpr int32_t kForever = 600000;

std::vector<uint8_t> Numbered(uint8_t number, size_t size = 64)
{
    std::vector<uint8_t> report(size, 0);
    for (size_t i = 0; i < size; ++i)
        report[i] = static_cast<uint8_t>(number + i);
    return report;
}

void Push(ReportQueue& queue, const std::vector<uint8_t>& report)
{
    ASSERT_TRUE(queue.Push(report.data(), report.size()));
}

// Lets the other thread act once the caller's read is waiting.
void WhenReadWaits(const ReportQueue& queue)
{
    while (!queue.Pending())
        std::this_thread::yield();
}

TEST(ReportQueue, HoldsAtLeastWhatTheWindowsDriverIsAskedFor)
{
    static_assert(ReportQueue::kCapacity >= 1024, "as deep as the Windows driver's queue");
    ReportQueue queue;
    for (int i = 0; i < 1024; ++i)
        Push(queue, Numbered(static_cast<uint8_t>(i)));
    EXPECT_EQ(queue.Size(), 1024u);
}

TEST(ReportQueue, ReportsComeOutInOrderCutToTheCallersCount)
{
    ReportQueue queue;
    Push(queue, Numbered(1));
    Push(queue, Numbered(2, 10));
    Push(queue, Numbered(3, 600));
    uint8_t buffer[600] = {0};

    auto taken = queue.Take(buffer, 64, 0);
    EXPECT_EQ(taken.What, Outcome::Report);
    EXPECT_EQ(taken.Size, 64u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 64), Numbered(1));

    taken = queue.Take(buffer, 4, 0);
    EXPECT_EQ(taken.Size, 4u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), Numbered(2, 4));

    taken = queue.Take(buffer, sizeof buffer, 0);
    EXPECT_EQ(taken.Size, ReportQueue::kMaxReportSize);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 516), Numbered(3, 516));
    EXPECT_FALSE(taken.Waited);
}

TEST(ReportQueue, ATimedOutReadStaysPendingUntilALaterOneCollectsIt)
{
    ReportQueue queue;
    uint8_t buffer[64];

    auto taken = queue.Take(buffer, 64, 0);
    EXPECT_EQ(taken.What, Outcome::TimedOut);
    EXPECT_TRUE(taken.Waited);
    EXPECT_TRUE(queue.Pending());

    taken = queue.Take(buffer, 64, 0);  // the same read, still waiting
    EXPECT_EQ(taken.What, Outcome::TimedOut);
    EXPECT_FALSE(taken.Waited);
    EXPECT_TRUE(queue.Pending());

    Push(queue, Numbered(7));
    taken = queue.Take(buffer, 64, 0);
    EXPECT_EQ(taken.What, Outcome::Report);
    EXPECT_FALSE(taken.Waited);
    EXPECT_FALSE(queue.Pending());

    EXPECT_TRUE(queue.Take(buffer, 64, 0).Waited);  // a new read again
}

TEST(ReportQueue, AWaitingReadTakesAReportThatArrivesMeanwhile)
{
    ReportQueue queue;
    std::thread reader([&] {
        WhenReadWaits(queue);
        Push(queue, Numbered(9));
    });
    uint8_t buffer[64];
    const auto taken = queue.Take(buffer, 64, kForever);
    reader.join();
    EXPECT_EQ(taken.What, Outcome::Report);
    EXPECT_TRUE(taken.Waited);
    EXPECT_EQ(buffer[0], 9);
    EXPECT_FALSE(queue.Pending());
}

TEST(ReportQueue, AnEndedDeviceDeliversItsReportsThenOneEmptyReadThenRefuses)
{
    ReportQueue queue;
    Push(queue, Numbered(1));
    Push(queue, Numbered(2));
    queue.End(EIO);
    queue.End(ENODEV);  // the first reason stands
    uint8_t buffer[64];

    EXPECT_EQ(queue.Take(buffer, 64, 0).What, Outcome::Report);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(queue.Take(buffer, 64, 0).What, Outcome::Report);
    EXPECT_EQ(buffer[0], 2);
    EXPECT_EQ(queue.Take(buffer, 64, 0).What, Outcome::EndedEmpty);
    for (int i = 0; i < 2; ++i) {
        const auto taken = queue.Take(buffer, 64, kForever);  // no wait once ended
        EXPECT_EQ(taken.What, Outcome::Refused);
        EXPECT_EQ(taken.Error, EIO);
    }
    EXPECT_FALSE(queue.Pending());
}

TEST(ReportQueue, TheEndWakesAWaitingRead)
{
    ReportQueue queue;
    std::thread reader([&] {
        WhenReadWaits(queue);
        queue.End(EIO);
    });
    uint8_t buffer[64];
    const auto taken = queue.Take(buffer, 64, kForever);
    reader.join();
    EXPECT_EQ(taken.What, Outcome::EndedEmpty);
    EXPECT_TRUE(taken.Waited);
    EXPECT_FALSE(queue.Pending());
}

TEST(ReportQueue, AFullQueueHoldsTheReaderBackAndLosesNothing)
{
    ReportQueue queue(4);
    std::thread reader([&] {
        for (uint8_t i = 0; i < 50; ++i)
            Push(queue, Numbered(i));
    });
    uint8_t buffer[64];
    for (uint8_t i = 0; i < 50; ++i) {
        EXPECT_LE(queue.Size(), 4u);
        const auto taken = queue.Take(buffer, 64, kForever);
        ASSERT_EQ(taken.What, Outcome::Report);
        EXPECT_EQ(buffer[0], i);
    }
    reader.join();
    EXPECT_EQ(queue.Size(), 0u);
}

TEST(ReportQueue, StopReleasesAReaderWaitingForRoomAndResetStartsAfresh)
{
    ReportQueue queue(1);
    Push(queue, Numbered(1));
    std::atomic<int> pushed {-1};
    std::thread reader([&] {
        const auto report = Numbered(2);
        pushed = queue.Push(report.data(), report.size()) ? 1 : 0;
    });
    queue.Stop();
    reader.join();
    EXPECT_EQ(pushed, 0);

    uint8_t buffer[64];
    queue.End(EIO);
    EXPECT_EQ(queue.Take(buffer, 64, 0).What, Outcome::Report);  // what was queued stays until reset
    queue.Reset();
    EXPECT_EQ(queue.Size(), 0u);
    EXPECT_EQ(queue.Take(buffer, 64, 0).What, Outcome::TimedOut);  // not ended any more
    EXPECT_TRUE(queue.Pending());
    queue.Reset();
    EXPECT_FALSE(queue.Pending());
    Push(queue, Numbered(3));
    EXPECT_EQ(queue.Take(buffer, 64, 0).What, Outcome::Report);
    EXPECT_EQ(buffer[0], 3);
}

TEST(ReportQueue, ClearDropsTheReportsAndLetsAReaderWaitingForRoomGoOn)
{
    ReportQueue queue(2);
    Push(queue, Numbered(1));
    Push(queue, Numbered(2));
    uint8_t buffer[64];
    EXPECT_EQ(queue.Take(buffer, 64, 0).What, Outcome::Report);
    Push(queue, Numbered(3));
    std::thread reader([&] { Push(queue, Numbered(4)); });  // waits: the queue is full
    queue.Clear();
    reader.join();
    auto taken = queue.Take(buffer, 64, 0);
    ASSERT_EQ(taken.What, Outcome::Report);
    EXPECT_EQ(buffer[0], 4) << "only what came after the clear";
    EXPECT_EQ(queue.Take(buffer, 64, 0).What, Outcome::TimedOut);

    queue.End(EIO);
    Push(queue, Numbered(5));
    queue.Clear();
    EXPECT_EQ(queue.Take(buffer, 64, 0).What, Outcome::EndedEmpty) << "the end is no report: it stays";
}

}  // namespace
}  // namespace zqk::hid
