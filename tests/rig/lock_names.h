// Device-lock names of this process alone: test, fuzz and benchmark
// processes run side by side and must not wait for each other's lock.
#pragma once
#include <string>

namespace zqk::rig {

// The process ID, as names of this process carry it.
int ProcessId();

// "zqk_RUN_PURPOSE_PID": removed at exit, with the locks named after it.
// scripts/fuzz finds what a crashed run left by the process ID in the name.
std::string ProcessLockName(const std::string& Run, const std::string& Purpose);

}  // namespace zqk::rig
