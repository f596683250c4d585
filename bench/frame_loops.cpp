#include "frame_loops.h"

#include <sched.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "bench_support.h"

namespace zqkbench {

RealTimePriority::RealTimePriority() : policy_(sched_getscheduler(0))
{
    sched_param saved {};
    sched_getparam(0, &saved);
    savedPriority_ = saved.sched_priority;
    sched_param wanted {};
    wanted.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    granted_ = sched_setscheduler(0, SCHED_FIFO, &wanted) == 0;
    // The simulated device's waits end close to the frame edge they aim at.
    prctl(PR_SET_TIMERSLACK, 1000UL);
}

RealTimePriority::~RealTimePriority()
{
    prctl(PR_SET_TIMERSLACK, 0UL);
    sched_param saved {};
    saved.sched_priority = savedPriority_;
    if (granted_)
        sched_setscheduler(0, policy_, &saved);
}

FrameLoopResult FrameLoop(uint32_t IntervalUs, int Frames)
{
    zqk::SystemClock& clock = zqk::SystemClock::Instance();
    const auto sleepToNextEdge = [&] {
        const uint64_t now = clock.NowUs();
        clock.SleepUs((now / IntervalUs + 1) * IntervalUs - now);
    };
    sleepToNextEdge();
    const uint64_t start = clock.NowUs();
    const double cpuStart = ProcessCpuSeconds();
    for (int i = 0; i < Frames; ++i)
        sleepToNextEdge();
    const double cpu = ProcessCpuSeconds() - cpuStart;
    const uint64_t end = clock.NowUs();
    // Each wake-up lands in a frame of its own; the frames in between passed.
    const int64_t passed = std::max<int64_t>(Frames, static_cast<int64_t>(end / IntervalUs - start / IntervalUs));
    return {100.0 * Frames / static_cast<double>(passed), 100.0 * cpu / (static_cast<double>(end - start) * 1e-6),
            passed - Frames};
}

FrameLoopResult FrameLoops(int Threads, uint32_t IntervalUs, int Frames)
{
    std::vector<FrameLoopResult> each(static_cast<size_t>(Threads));
    std::vector<std::thread> loops;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuSeconds();
    for (FrameLoopResult& result : each)
        loops.emplace_back([&result, IntervalUs, Frames] { result = FrameLoop(IntervalUs, Frames); });
    for (std::thread& loop : loops)
        loop.join();
    const double cpu = ProcessCpuSeconds() - cpuStart;
    FrameLoopResult all {0, 100.0 * cpu / SecondsSince(start), 0};
    for (const FrameLoopResult& result : each) {
        all.CaughtPct += result.CaughtPct / Threads;
        all.Missed += result.Missed;
    }
    return all;
}

double PacedWriteCeilingPct(const FrameLoopResult& Loop)
{
    constexpr double kBlockReports = 68, kBlockBytes = 4096, kReportPayload = 61;
    return Loop.CaughtPct * kBlockBytes / (kBlockReports * kReportPayload);
}

void PacedPairs::Add(const FrameLoopResult& Loop, const std::optional<double>& Read,
                     const std::optional<double>& Write, const std::optional<double>& Cpu)
{
    constexpr double kAbsolutePct = 97, kShareOfCeiling = 0.98;
    LoopFramesPct.push_back(Loop.CaughtPct);
    LoopCpuPct.push_back(Loop.CpuPct);
    WriteBoundPct.push_back(Loop.Missed == 0 ? kAbsolutePct : kShareOfCeiling * PacedWriteCeilingPct(Loop));
    Append(ReadPct, Read);
    Append(WritePct, Write);
    Append(CpuPct, Cpu);
}

}  // namespace zqkbench
