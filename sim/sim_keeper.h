#pragma once
#include "link/clock.h"
#include "sim/sim_device.h"
#include "sim/sim_terminal.h"

namespace zqk::sim {

enum class RunMode { App, BootLoader, ATE };

// A whole simulated zq.keeper: the report-level device with its terminal.
// Output is paced at one report per millisecond by default, as a full-speed
// interrupt endpoint delivers it.
class SimKeeper {
public:
    explicit SimKeeper(Clock& TimeSource);

    SimDevice Device;
    SimTerminal Terminal;

    // The firmware that runs, as the USB product string shows it.
    void SetRunMode(RunMode Mode);
};

}  // namespace zqk::sim
