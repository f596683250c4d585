#pragma once
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "api/library.h"
// The whole rig: the fixtures' tests use its folders and files as well.
#include "rig/local_files.h"
#include "rig/lock_names.h"
#include "rig/scratch_folder.h"
#include "rig/sim_setup.h"
#include "sim/manual_clock.h"
#include "sim/sim_device.h"
#include "sim/sim_keeper.h"
#include "sim/sim_report_device.h"

namespace zqk::testing {

using rig::kPrompt;

// A device-lock name of this test process alone, so that test processes
// running side by side do not contend for one lock. Removed at exit.
inline std::string TestLockName(const std::string& Purpose = "lock")
{
    return rig::ProcessLockName("test", Purpose);
}

// The process-wide library objects built on a simulated zq.keeper and a test
// clock; restored to a device-less library afterwards.
class SimLibraryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    TzqkDevice& Lib() { return TheLibrary()->Default(); }
    sim::SimReportDevice& Report() { return *library_->Report(); }
    // A handle of a device of its own on Keeper (on this test's clock),
    // closed when the test ends.
    int32_t OpenHandle(sim::SimKeeper& Keeper);

    sim::ManualClock clock_;
    sim::SimKeeper keeper_ {clock_};
    sim::SimDevice& device_ = keeper_.Device;
    sim::SimTerminal& terminal_ = keeper_.Terminal;

private:
    std::optional<rig::SimLibrary> library_;
    std::vector<int32_t> handles_;
};

}  // namespace zqk::testing
