// The simulated device set up under the library or under a link, on a clock
// the caller owns (a test clock, so that waits cost no real time).
#pragma once
#include <memory>
#include <string>

#include "api/library.h"
#include "link/comms.h"
#include "sim/sim_device.h"
#include "sim/sim_report_device.h"

namespace zqk::rig {

// The simulated device's prompt as the terminal sees it, framing bytes included.
inline const std::string kPrompt = "\xAB" "zq.keeper>" "\xBB";

// The process-wide library rebuilt on Report (on Time's clock), its device
// lock named LockName.
void UseDevice(std::unique_ptr<ReportDevice> Report, Clock& Time, const std::string& LockName);
// The same on Device; the report device the library reads, owned by it.
sim::SimReportDevice& UseSimDevice(sim::SimDevice& Device, Clock& Time, const std::string& LockName);
// The process-wide library back on the platform transport, no device open,
// so that nothing refers to a simulated device any longer.
void UsePlatformDevice(const std::string& LockName);

// The process-wide library on a simulated device while the object lives; on
// the platform transport afterwards.
class SimLibrary {
public:
    SimLibrary(sim::SimDevice& Device, Clock& Time, const std::string& LockName);
    SimLibrary(std::unique_ptr<ReportDevice> Report, Clock& Time, const std::string& LockName);
    ~SimLibrary();
    SimLibrary(const SimLibrary&) = delete;
    SimLibrary& operator=(const SimLibrary&) = delete;

    // The report device under the library; null when another was given.
    sim::SimReportDevice* Report() const { return report_; }

private:
    std::string lockName_;
    sim::SimReportDevice* report_ = nullptr;
};

// A device of its own for a handle (it takes no classic lock), open; null
// when it does not open.
std::shared_ptr<TzqkDevice> OpenedHandleDevice(std::unique_ptr<ReportDevice> Report, Clock& Time,
                                               const std::string& LockName);

// A link over Device, not yet open; Report, when given, is set to the report
// device the link owns.
std::unique_ptr<TzqComms> SimComms(sim::SimDevice& Device, Clock& Time, const std::string& LockName,
                                   sim::SimReportDevice** Report = nullptr);

}  // namespace zqk::rig
