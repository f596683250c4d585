#include "figure_table.h"

#include <cmath>
#include <cstdio>
#include <fstream>

namespace zqkbench {

Figure Reference(const char* Key, const std::optional<double>& Value, const char* Unit, const char* What)
{
    return {Key, Value, Unit, What, std::nullopt, false};
}

Figure Reference(const char* Key, const std::optional<Spread>& Runs, const char* Unit, const char* What)
{
    return {Key, MedianOf(Runs), Unit, What, std::nullopt, false, Runs};
}

Figure Goal(const char* Key, const std::optional<Spread>& Runs, const char* Unit, const std::string& Goal,
            const std::optional<bool>& Met)
{
    return {Key, MedianOf(Runs), Unit, Goal, Met, true, Runs};
}

std::string Number(double Value)
{
    char text[64];
    const double size = std::fabs(Value);
    std::snprintf(text, sizeof text, size >= 1000 ? "%.0f" : size >= 10 ? "%.1f" : "%.2f", Value);
    return text;
}

namespace {

std::string RangeText(const Figure& F)
{
    return F.Range ? Number(F.Range->Min) + "-" + Number(F.Range->Max) : std::string();
}

const char* MetText(const Figure& F)
{
    return !F.Checked ? "" : !F.Met ? "?" : *F.Met ? "yes" : "NO";
}

}  // namespace

void PrintTable(const std::vector<Figure>& Figures)
{
    std::printf("\n%-28s %10s %-19s %-7s %-62s %s\n", "figure", "value", "(min-max)", "unit", "goal", "met");
    for (const Figure& f : Figures) {
        const std::string value = f.Value ? Number(*f.Value) : "n/a";
        char line[256];
        std::snprintf(line, sizeof line, "%-28s %10s %-19s %-7s %-62s %s", f.Key, value.c_str(), RangeText(f).c_str(),
                      f.Unit, f.Goal.c_str(), MetText(f));
        std::string text = line;
        text.erase(text.find_last_not_of(' ') + 1);
        std::printf("%s\n", text.c_str());
    }
}

void PrintGoalsMet(const std::vector<Figure>& Figures)
{
    int met = 0, checked = 0;
    std::string missed, unknown;
    for (const Figure& f : Figures) {
        if (!f.Checked)
            continue;
        ++checked;
        if (f.Met && *f.Met)
            ++met;
        else
            (f.Met ? missed : unknown) += std::string(" ") + f.Key;
    }
    std::printf("\ngoals met: %d of %d", met, checked);
    if (!missed.empty())
        std::printf("; missed:%s", missed.c_str());
    if (!unknown.empty())
        std::printf("; not measured:%s", unknown.c_str());
    std::printf("\n");
}

namespace {

std::string JsonNumber(const std::optional<double>& Value)
{
    char text[64];
    if (Value)
        std::snprintf(text, sizeof text, "%.10g", *Value);
    else
        std::snprintf(text, sizeof text, "null");
    return text;
}

}  // namespace

bool WriteJson(const std::string& Path, const std::vector<Figure>& Figures)
{
    std::ofstream out(Path);
    std::string separator = "{\n";
    for (const Figure& f : Figures) {
        out << separator << "  \"" << f.Key << "\": " << JsonNumber(f.Value);
        if (f.Range)
            out << ",\n  \"" << f.Key << "_min\": " << JsonNumber(f.Range->Min) << ",\n  \"" << f.Key
                << "_max\": " << JsonNumber(f.Range->Max);
        separator = ",\n";
    }
    out << "\n}\n";
    return static_cast<bool>(out);
}

bool WriteVerdicts(const std::string& Path, const std::vector<Figure>& Figures)
{
    std::ofstream out(Path);
    for (const Figure& f : Figures) {
        if (f.Checked)
            out << f.Key << ' ' << (f.Value ? Number(*f.Value) : "n/a") << ' '
                << (!f.Met ? "unmeasured" : *f.Met ? "met" : "missed") << '\n';
    }
    return static_cast<bool>(out);
}

std::optional<bool> AtLeast(const std::optional<double>& Value, double Goal)
{
    return Value ? std::optional<bool>(*Value >= Goal) : std::nullopt;
}

std::optional<bool> Below(const std::optional<double>& Value, double Goal)
{
    return Value ? std::optional<bool>(*Value < Goal) : std::nullopt;
}

std::optional<bool> AtMost(const std::optional<double>& Value, double Goal)
{
    return Value ? std::optional<bool>(*Value <= Goal) : std::nullopt;
}

std::optional<double> MedianOf(const std::optional<Spread>& Runs)
{
    return Runs ? std::optional<double>(Runs->Median) : std::nullopt;
}

PairedGoal Paired(const std::string& Text, const std::vector<double>& Values, const std::vector<double>& Bounds)
{
    const std::optional<Spread> over = PairRatios(Values, Bounds);
    if (!over)
        return {Text, over};
    char median[64];  // three places: a median just under 1 must not read as 1.00
    std::snprintf(median, sizeof median, ": %.3f (%.2f-%.2f)", over->Median, over->Min, over->Max);
    return {Text + median, over};
}

std::optional<bool> AtLeastBound(const PairedGoal& Goal)
{
    return AtLeast(MedianOf(Goal.OverBound), 1);
}

std::optional<bool> AtMostBound(const PairedGoal& Goal)
{
    return AtMost(MedianOf(Goal.OverBound), 1);
}

}  // namespace zqkbench
