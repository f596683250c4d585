// The report of a run: each figure with its goal, as a table on standard
// output, as one flat JSON object and as the verdicts scripts/bench counts
// over repeated runs.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"

namespace zqkbench {

struct Figure {
    const char* Key;
    std::optional<double> Value;  // of several runs, their median
    const char* Unit;
    std::string Goal;             // for an unchecked figure, what it is: "(reference)"
    std::optional<bool> Met;      // nothing: not measured
    bool Checked = true;
    std::optional<Spread> Range = std::nullopt;  // of several runs: also written as KEY_min and KEY_max
};

Figure Reference(const char* Key, const std::optional<double>& Value, const char* Unit,
                 const char* What = "(reference)");
Figure Reference(const char* Key, const std::optional<Spread>& Runs, const char* Unit,
                 const char* What = "(reference)");
// A figure of several runs with its goal: the value is their median.
Figure Goal(const char* Key, const std::optional<Spread>& Runs, const char* Unit, const std::string& Goal,
            const std::optional<bool>& Met);

std::string Number(double Value);

void PrintTable(const std::vector<Figure>& Figures);
void PrintGoalsMet(const std::vector<Figure>& Figures);
bool WriteJson(const std::string& Path, const std::vector<Figure>& Figures);
// A line per goal: its key, its value and "met", "missed" or "unmeasured".
bool WriteVerdicts(const std::string& Path, const std::vector<Figure>& Figures);

// ---- goals ----

std::optional<bool> AtLeast(const std::optional<double>& Value, double Goal);
std::optional<bool> Below(const std::optional<double>& Value, double Goal);
std::optional<bool> AtMost(const std::optional<double>& Value, double Goal);
std::optional<double> MedianOf(const std::optional<Spread>& Runs);

// A goal whose bound comes from a reference measured alternately with the
// figure: each pair's value over its own bound, whose median is checked
// against 1. The goal's text ends with that median and the smallest and
// largest of them.
struct PairedGoal {
    std::string Text;
    std::optional<Spread> OverBound;
};
PairedGoal Paired(const std::string& Text, const std::vector<double>& Values, const std::vector<double>& Bounds);
std::optional<bool> AtLeastBound(const PairedGoal& Goal);
std::optional<bool> AtMostBound(const PairedGoal& Goal);

}  // namespace zqkbench
