#pragma once
#include <cstdint>

namespace zqk {

// How long a long read may sleep before it reads the transport, so that
// several reports wait when its thread wakes and one wake-up takes them all.
// A thread that woke for every report would cost what a loop waking once per
// frame costs, whatever little it did per report.
//
// The interval between reports is reckoned from what the link took: a streak
// of reads that follow each other closely, over the time their reports took
// to come. A read whose reports do not account for the time since the one
// before (the device was idle between answers, or paused), or that came
// more than kStreakGapUs after it, starts the streak again, so that idle
// time never passes for the pace. The sleep is at most kMaxSleepUs, 32 reports of a high-speed
// endpoint, far within what the transports keep while nobody reads (1024
// reports in the Linux reader's queue, as many as the Windows driver took
// of the 1024 asked for): how long the end of a read can be held up by a
// pace that was wrong stays that short too.
class ReportPace {
public:
    static constexpr uint64_t kStreakGapUs = 20000;
    static constexpr uint32_t kKnownAfterReports = 8;
    static constexpr uint32_t kBatchReports = 16;
    static constexpr uint64_t kMaxSleepUs = 4000;
    static constexpr uint64_t kMinSleepUs = 250;
    static constexpr uint32_t kOvershootsTolerated = 3;

    // A read of the transport took Reports (at least one) at NowUs, and
    // found no more behind them.
    void Took(uint32_t Reports, uint64_t NowUs);
    // How long to sleep from NowUs so that about Wanted reports wait; 0: read
    // at once (too few wanted, no pace known, a stream that is not running
    // now, or too short a sleep to save a wake-up).
    uint64_t SleepUs(uint32_t Wanted, uint64_t NowUs) const;
    // A sleep asked for AskedUs lasted SleptUs. A clock that sleeps far
    // longer than asked (a coarse system timer) would hold each read's end
    // up by as much, so after a few such sleeps in a row the link no longer
    // sleeps ahead (until the device is opened again).
    void Slept(uint64_t AskedUs, uint64_t SleptUs);

private:
    uint64_t AverageUs() const;   // of the streak so far; 0 before its second read
    uint64_t IntervalUs() const;  // the pace, once enough reports tell it; 0 until then

    uint64_t streakStartUs_ = 0;
    uint64_t lastTakenUs_ = 0;
    uint64_t streakReports_ = 0;  // taken after the streak's first read
    uint32_t overshoots_ = 0;     // in a row
};

}  // namespace zqk
