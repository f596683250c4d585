// What every part of zqk_bench needs: a work folder on a memory file
// system, whole local files, clocks and other programs' output.
#pragma once
#include <chrono>
#include <functional>
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
void Append(std::vector<double>& Values, const std::optional<double>& Value);  // where there is one

// ---- a figure against a reference of the same run ----
//
// The load of a shared machine changes within seconds, so a figure measured
// once and its reference measured once may fall on different loads. Taken
// alternately (A B A B ...), each A lies next to its B, and the median of
// the pairs' ratios keeps a few unlucky pairs out of the verdict.

constexpr int kAlternations = 5;  // at least this many of each side

struct Spread {
    double Median = 0;
    double Min = 0;
    double Max = 0;
};
std::optional<Spread> SpreadOf(const std::vector<double>& Values);  // nothing when empty
// A[i] / B[i] for every pair: nothing when the lengths differ, a B is not
// above 0 or there is none.
std::optional<Spread> PairRatios(const std::vector<double>& A, const std::vector<double>& B);

// What one side measured: nothing when it failed.
using Measurement = std::function<std::optional<double>()>;

struct Alternated {
    std::vector<double> A, B;  // each side's values, in the order measured
    Spread Ratio;              // of A[i] / B[i]
};
// Measures A, then B, Times times over (at least kAlternations): nothing
// when a measurement fails or a B is not above 0.
std::optional<Alternated> MeasureAlternately(const Measurement& A, const Measurement& B, int Times = kAlternations);

}  // namespace zqkbench
