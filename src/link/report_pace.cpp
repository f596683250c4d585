#include "link/report_pace.h"

#include <algorithm>

namespace zqk {

// The first read of a streak took reports that had come over an unknown
// time, so only those after it count. A read that took Reports over more
// than Reports + 2 intervals found the line idle for a while.
void ReportPace::Took(uint32_t Reports, uint64_t NowUs)
{
    NowUs = std::max(NowUs, lastTakenUs_);  // a clock reading taken before another thread's read
    const uint64_t gapUs = NowUs - lastTakenUs_;
    const uint64_t averageUs = AverageUs();
    const bool idleBefore =
        streakStartUs_ == 0 || gapUs > kStreakGapUs || (averageUs != 0 && gapUs > (Reports + uint64_t {2}) * averageUs);
    if (idleBefore) {
        streakStartUs_ = NowUs;
        streakReports_ = 0;
    } else {
        streakReports_ += Reports;
    }
    lastTakenUs_ = NowUs;
}

uint64_t ReportPace::AverageUs() const
{
    return streakReports_ == 0 ? 0 : (lastTakenUs_ - streakStartUs_) / streakReports_;
}

uint64_t ReportPace::IntervalUs() const
{
    return streakReports_ < kKnownAfterReports ? 0 : AverageUs();
}

uint64_t ReportPace::SleepUs(uint32_t Wanted, uint64_t NowUs) const
{
    const uint64_t intervalUs = IntervalUs();
    if (Wanted < 2 || intervalUs == 0 || overshoots_ >= kOvershootsTolerated)
        return 0;
    // Reports that stopped coming a while ago are no stream to wait for.
    if (NowUs > lastTakenUs_ + 2 * intervalUs + kMinSleepUs)
        return 0;
    // The last of the reports wanted is waited for as before: the sleep ends
    // an interval ahead of it, so that at the pace measured it does not hold
    // the read's end up.
    const uint64_t sleepUs = std::min<uint64_t>((std::min(Wanted, kBatchReports) - 1) * intervalUs, kMaxSleepUs);
    return sleepUs < kMinSleepUs ? 0 : sleepUs;
}

void ReportPace::Slept(uint64_t AskedUs, uint64_t SleptUs)
{
    overshoots_ = SleptUs > 2 * AskedUs + 1000 ? overshoots_ + 1 : 0;
}

}  // namespace zqk
