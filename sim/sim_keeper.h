#pragma once
#include "base/clock.h"
#include "sim/sim_device.h"
#include "sim/sim_file_system.h"
#include "sim/sim_terminal.h"

namespace zqk::sim {

enum class RunMode { App, BootLoader, ATE };

// A whole simulated zq.keeper: the report-level device with its terminal
// and file system.
// Reports move at one per millisecond each way by default, as on a
// full-speed interrupt endpoint.
class SimKeeper {
public:
    explicit SimKeeper(Clock& TimeSource);

    SimDevice Device;
    SimTerminal Terminal;
    SimFileSystem Files;

    // The firmware that runs, as the USB product string shows it.
    void SetRunMode(RunMode Mode);
    // Whether the firmware takes names in double quotes, as string 204 shows it.
    void SetQuotedNames(bool Quoted);
};

}  // namespace zqk::sim
