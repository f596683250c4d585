// The figures measured in a process of their own, by running this program
// again: the peak memory of a read, and its instructions under callgrind.
#pragma once
#include <optional>
#include <string>

namespace zqkbench {

// zqk_bench --rss-read: the peak growth over the size read.
std::optional<double> PeakRssRatio();
// zqk_bench --callgrind-read under callgrind, its profile written to OutFile:
// the instructions counted (of one 1 MiB read).
std::optional<double> InstructionsPerMiB(const std::string& OutFile);
// Of the instructions counted in OutFile, those the simulated device spent
// on its side of the link (inside its report reads and writes, command
// handling included).
std::optional<double> DeviceInstructions(const std::string& OutFile);

}  // namespace zqkbench
