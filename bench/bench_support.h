// What every part of zqk_bench needs: a work folder on a memory file
// system, whole local files, clocks and other programs' output.
#pragma once
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zqkbench {

constexpr size_t kMiB = 1 << 20;

// A file in the folder of this run, which RemoveWorkDir removes; on /dev/shm
// where there is one, so that the disk's speed is not what is measured.
std::string Local(const std::string& Name);
void RemoveWorkDir();

void WriteFileOrDie(const std::string& Path, const std::string& Data);
std::string ReadFile(const std::string& Path);  // empty when it cannot be read

double Seconds(std::chrono::steady_clock::duration D);
double SecondsSince(std::chrono::steady_clock::time_point Start);
double ProcessCpuSeconds();

// Runs Command through the shell and gives its standard output; nothing
// when it cannot run or exits with another status than 0.
std::optional<std::string> Output(const std::string& Command);
// A word for the shell, in single quotes.
std::string Quoted(const std::string& Word);
std::string SelfPath();

std::optional<double> Median(std::vector<double> Values);
std::optional<double> Best(const std::vector<double>& Values);  // the smallest

}  // namespace zqkbench
