#include "link/report_pace.h"

#include <algorithm>

namespace zqk {

// The first read of a streak took reports that had come over an unknown
// time, so only those after it count.
void ReportPace::Took(uint32_t Reports, uint64_t NowUs)
{
    const bool streakGoesOn = streakStartUs_ != 0 && NowUs >= lastTakenUs_ && NowUs - lastTakenUs_ <= kStreakGapUs;
    if (streakGoesOn) {
        streakReports_ += Reports;
    } else {
        streakStartUs_ = NowUs;
        streakReports_ = 0;
    }
    lastTakenUs_ = NowUs;
}

uint64_t ReportPace::SleepUs(uint32_t Wanted) const
{
    if (Wanted < 2 || streakReports_ < kKnownAfterReports || overshoots_ >= kOvershootsTolerated)
        return 0;
    const uint64_t intervalUs = (lastTakenUs_ - streakStartUs_) / streakReports_;
    // The last of the reports wanted is waited for as before: the sleep ends
    // an interval ahead of it, so that at the pace measured it does not hold
    // the read's end up.
    const uint64_t sleepUs = std::min<uint64_t>((std::min(Wanted, kBatchReports) - 1) * intervalUs, kMaxSleepUs);
    return sleepUs < kMinSleepUs ? 0 : sleepUs;
}

void ReportPace::Slept(uint64_t AskedUs, uint64_t SleptUs)
{
    if (SleptUs > 2 * AskedUs + 1000)
        ++overshoots_;
}

}  // namespace zqk
