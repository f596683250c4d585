// What the machine itself allows a paced run in real time: loops that do
// nothing but wait for the end of every frame, as a report write does, and
// the real-time priority the paced runs ask for.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

namespace zqkbench {

// Real-time priority for the calling thread (and the threads it starts
// afterwards) where the system grants it, as zqk-sim-uhid asks for it: on a
// shared machine other work would otherwise take frames from the link that
// no library could have used. The threads sleep between reports, so they
// do not starve anything.
class RealTimePriority {
public:
    RealTimePriority();
    ~RealTimePriority();
    RealTimePriority(const RealTimePriority&) = delete;
    RealTimePriority& operator=(const RealTimePriority&) = delete;
    bool Granted() const { return granted_; }

private:
    int policy_;
    int savedPriority_ = 0;
    bool granted_ = false;
};

// The share of frames a loop catches is the best any library can do here;
// its CPU share is what the waiting alone costs.
struct FrameLoopResult {
    double CaughtPct = 0;  // of the frames that passed, those it woke in
    double CpuPct = 0;     // of one core, of all the loops together
    int64_t Missed = 0;    // frames that passed without a wake-up, of all the loops
};

// One loop on this thread, Frames wake-ups from a frame edge on.
FrameLoopResult FrameLoop(uint32_t IntervalUs, int Frames);
// Threads such loops at once, each on a thread of its own: the frames each
// catches on average and the CPU of all of them. On a machine with fewer
// cores than loops this is what the machine allows them.
FrameLoopResult FrameLoops(int Threads, uint32_t IntervalUs, int Frames);

// A paced write sends one report per wake-up, and of every 4096-byte block
// 67 reports are full and one carries 9 bytes: its share cannot pass this,
// in percent, for the frames its thread catches.
double PacedWriteCeilingPct(const FrameLoopResult& Loop);

// A paced run's shares of the link's capacity and its CPU share of one
// core; nothing where it failed.
struct PacedResult {
    std::optional<double> ReadPct;
    std::optional<double> WritePct;
    std::optional<double> CpuPct;  // during the read, or both directions at once
};

// Paced runs and the bare loops that took turns with them, pair by pair (a
// failed run leaves its pair's figures out, and the lengths then differ).
// A paced write is checked against the ceiling its own loop measured, as
// no library can pass what the machine allows: at least 0.98 of it; where
// the loop missed no frame, against 97 % as such.
struct PacedPairs {
    std::vector<double> ReadPct, WritePct, CpuPct;             // the paced runs'
    std::vector<double> LoopFramesPct, LoopCpuPct, WriteBoundPct;  // their loops'
    void Add(const FrameLoopResult& Loop, const std::optional<double>& Read, const std::optional<double>& Write,
             const std::optional<double>& Cpu);
};

}  // namespace zqkbench
