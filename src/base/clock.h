#pragma once
#include <cstdint>

namespace zqk {

// Millisecond time source of the link. The link measures elapsed time with it;
// the simulated device also waits on it, so tests drive both with one clock of
// their own and a multi-second time-out costs no real time.
class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic milliseconds since an arbitrary start.
    virtual uint64_t NowMs() = 0;
    // Lets Ms milliseconds pass (really, or on a test clock by advancing it).
    virtual void SleepMs(uint32_t Ms) = 0;
    // Microseconds, for the simulated device, whose high-speed endpoint
    // moves a report every 125 us.
    virtual uint64_t NowUs() = 0;
    virtual void SleepUs(uint64_t Us) = 0;
};

class SystemClock final : public Clock {
public:
    uint64_t NowMs() override;
    void SleepMs(uint32_t Ms) override;
    uint64_t NowUs() override;
    void SleepUs(uint64_t Us) override;
    static SystemClock& Instance();
};

}  // namespace zqk
