// The goals of a run of the whole suite: its measurements as figures, each
// against its goal, and the notes printed below the table.
#pragma once
#include <optional>
#include <vector>

#include "bench_support.h"
#include "figure_table.h"
#include "frame_loops.h"
#include "handle_figures.h"

namespace zqkbench {

// Everything a run of the whole suite measures, in the order it measures it.
struct Measured {
    std::vector<double> RawMiBs, ReadMiBs, WriteMiBs;  // taking turns, a run each
    std::optional<double> DirMs, CommandMs, TermRxPerS;
    PacedPairs Full, High, Parallel;
    bool RealTime = false;
    AgainstFloor Latency, SmallFiles;
    ZeroLatencyRuns Zero;
    std::optional<double> FindDevicesMs, PeakRss, Instructions, DeviceInstructions, TraceOverheadPct;
};

std::vector<Figure> Figures(const Measured& M);
// The C exports, the bindings and the mount on sim: devices without latency.
std::vector<Figure> ZeroLatencyFigures(const ZeroLatencyRuns& Zero);
void PrintNotes(const Measured& M);

}  // namespace zqkbench
