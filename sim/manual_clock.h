#pragma once
#include <atomic>
#include <cstdint>

#include "link/clock.h"

namespace zqk::sim {

// A clock that moves only when told to: waiting on it advances it at once,
// so the link's and the simulated device's time-outs cost no real time.
class ManualClock final : public Clock {
public:
    explicit ManualClock(uint64_t StartMs = 1000) : now_(StartMs) {}
    uint64_t NowMs() override { return now_.load(); }
    void SleepMs(uint32_t Ms) override { now_ += Ms; }
    void Advance(uint64_t Ms) { now_ += Ms; }

private:
    std::atomic<uint64_t> now_;
};

}  // namespace zqk::sim
