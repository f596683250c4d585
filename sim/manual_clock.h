#pragma once
#include <atomic>
#include <cstdint>

#include "base/clock.h"

namespace zqk::sim {

// A clock that moves only when told to: waiting on it advances it at once,
// so the link's and the simulated device's time-outs cost no real time.
class ManualClock final : public Clock {
public:
    explicit ManualClock(uint64_t StartMs = 1000) : nowUs_(StartMs * 1000) {}
    uint64_t NowMs() override { return nowUs_.load() / 1000; }
    void SleepMs(uint32_t Ms) override { nowUs_ += uint64_t {Ms} * 1000; }
    uint64_t NowUs() override { return nowUs_.load(); }
    void SleepUs(uint64_t Us) override { nowUs_ += Us; }
    void Advance(uint64_t Ms) { nowUs_ += Ms * 1000; }

private:
    std::atomic<uint64_t> nowUs_;
};

}  // namespace zqk::sim
