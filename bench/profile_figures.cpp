#include "profile_figures.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "bench_support.h"

namespace zqkbench {

std::optional<double> PeakRssRatio()
{
    const auto text = Output("'" + SelfPath() + "' --rss-read");
    if (!text)
        return std::nullopt;
    return std::strtod(text->c_str(), nullptr);
}

namespace {

// The "totals:" line of a callgrind output file: the instructions counted.
std::optional<double> CallgrindTotal(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::optional<double> total;
    while (std::getline(in, line)) {
        if (line.rfind("totals:", 0) == 0)
            total = std::strtod(line.c_str() + 7, nullptr);
    }
    return total;
}

}  // namespace

std::optional<double> InstructionsPerMiB(const std::string& outFile)
{
    const std::string command = "valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file='" + outFile +
                                "' '" + SelfPath() + "' --callgrind-read >/dev/null 2>&1";
    if (!Output(command)) {
        std::fprintf(stderr, "zqk_bench: valgrind --tool=callgrind failed or is missing\n");
        return std::nullopt;
    }
    return CallgrindTotal(outFile);  // one MiB was read
}

std::optional<double> DeviceInstructions(const std::string& outFile)
{
    const auto text = Output("callgrind_annotate --inclusive=yes '" + outFile + "' 2>/dev/null");
    if (!text)
        return std::nullopt;
    std::istringstream lines(*text);
    std::string line;
    double total = 0;
    bool found = false;
    while (std::getline(lines, line)) {
        if (line.find("SimReportDevice::ReadReport(") == std::string::npos &&
            line.find("SimReportDevice::WriteReport(") == std::string::npos)
            continue;
        std::string digits;
        for (const char c : line.substr(0, line.find('(')))
            if (c >= '0' && c <= '9')
                digits += c;
        total += std::strtod(digits.c_str(), nullptr);
        found = true;
    }
    return found ? std::optional<double>(total) : std::nullopt;
}

}  // namespace zqkbench
