// What the fuzz targets share beyond the test rig: the rig's pieces under
// this run's names, and what only a fuzz target needs (a check that stops the
// run, the link's reading of a report).
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "link/channel_packet.h"
#include "link/comms.h"
#include "rig/local_files.h"
#include "rig/lock_names.h"
#include "rig/scratch_folder.h"
#include "rig/sim_setup.h"
#include "sim/manual_clock.h"
#include "sim/sim_device.h"

namespace zqk::fuzz {

using rig::kPrompt;
using rig::ReadFile;
using rig::WriteFile;

// A finding: libFuzzer keeps the input that led here and stops.
#define ZQK_FUZZ_CHECK(condition)                                                            \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// A device-lock name of this process alone (fuzz jobs run side by side and
// must not wait for each other's lock), removed when the process ends.
inline std::string FuzzLockName(const char* Purpose)
{
    return rig::ProcessLockName("fuzz", Purpose);
}

// A simulated device on its own clock with a link over it, for the models
// that drive the link or the terminal from fuzzed input. Queue notes each
// report it injects (the models check what arrives against it); TogglePlug
// unplugs the device, or plugs it in again and reopens the link.
class FuzzedLink {
protected:
    explicit FuzzedLink(const char* LockPurpose) : device_(clock_)
    {
        comms_ = rig::SimComms(device_, clock_, FuzzLockName(LockPurpose));
    }

    void Queue(std::string Report, uint32_t DelayMs)
    {
        device_.SetLatency(DelayMs);
        device_.InjectReport(std::vector<uint8_t>(Report.begin(), Report.end()));
        device_.SetLatency(0);
        queued_.push_back(std::move(Report));
    }

    void TogglePlug()
    {
        if (device_.Unplugged()) {
            device_.Replug();
            ZQK_FUZZ_CHECK(comms_->Open());
        } else {
            device_.Unplug();
        }
    }

    sim::ManualClock clock_;
    sim::SimDevice device_;
    std::unique_ptr<TzqComms> comms_;
    std::deque<std::string> queued_;
};

// The process-wide library rebuilt on Device and Clock for the length of one
// input; a device-less library afterwards, so that nothing refers to them.
class SimLibrary : public rig::SimLibrary {
public:
    SimLibrary(sim::SimDevice& Device, sim::ManualClock& Clock)
        : rig::SimLibrary(Device, Clock, FuzzLockName("library"))
    {
    }
};

// The folder of this process for local files, removed at exit. In /tmp, where
// scripts/fuzz looks for what a crashed run left.
const rig::ScratchFolder& Scratch();
inline std::string ScratchPath(const std::string& Name)
{
    return Scratch().Local(Name);
}

// The data bytes of a report as the link takes them, or false when the link
// drops it: shorter than a packet, or a channel out of range. The read copies
// at most one packet, so a longer report counts as its first 64 bytes.
bool ReportData(const std::string& Report, uint8_t& Channel, std::string& Data);

}  // namespace zqk::fuzz
