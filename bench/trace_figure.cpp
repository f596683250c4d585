// trace_read_overhead_pct (see trace_figure.h).
#include "trace_figure.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "sim/sim_terminal.h"
#include "zqkAPI.h"

namespace zqkbench {

namespace {

using Clock = std::chrono::steady_clock;

// The seconds of one read, nothing when it fails.
std::optional<double> TimedRead(int32_t Handle, size_t Bytes, const std::string& Local)
{
    const auto start = Clock::now();
    const int32_t n = zqkDevFileRead(Handle, "/traced.bin", Local.c_str());
    const double seconds = SecondsSince(start);
    if (n != static_cast<int32_t>(Bytes)) {
        std::fprintf(stderr, "zqk_bench: zqkDevFileRead with and without a trace failed (%d)\n", n);
        return std::nullopt;
    }
    return seconds;
}

// The load of a shared machine changes within seconds: each measurement of
// A lies next to one of B, and the median of the pairs' ratios keeps a few
// unlucky pairs out.
std::optional<double> MedianRatio(const std::function<std::optional<double>()>& A,
                                  const std::function<std::optional<double>()>& B, int Pairs)
{
    std::vector<double> ratios;
    for (int i = 0; i < Pairs; ++i) {
        const std::optional<double> a = A(), b = B();
        if (!a || !b || *b <= 0)
            return std::nullopt;
        ratios.push_back(*a / *b);
    }
    return Median(ratios);
}

}  // namespace

std::optional<double> TraceReadOverheadPct(size_t Bytes, int Pairs)
{
    const std::string folder = Local("trace-device"), local = Local("trace-read.bin");
    const std::string trace = Local("trace-read.pcapng");
    std::filesystem::create_directories(folder);
    WriteFileOrDie(folder + "/traced.bin", zqk::sim::BytesOfLength(Bytes));
    const int32_t handle = zqkDevOpen(("sim:" + folder).c_str());
    if (handle <= 0) {
        std::fprintf(stderr, "zqk_bench: cannot open sim:%s\n", folder.c_str());
        return std::nullopt;
    }
    const auto traced = [&]() -> std::optional<double> {
        if (zqkDevSetTrace(handle, trace.c_str()) != 0)
            return std::nullopt;
        const std::optional<double> seconds = TimedRead(handle, Bytes, local);
        zqkDevSetTrace(handle, "");
        return seconds;
    };
    const auto plain = [&] { return TimedRead(handle, Bytes, local); };
    plain();  // the first read warms the device's and the local file's pages for both sides
    const std::optional<double> ratio = MedianRatio(traced, plain, Pairs);
    zqkDevClose(handle);
    std::filesystem::remove(trace);
    if (!ratio)
        return std::nullopt;
    return (*ratio - 1) * 100;
}

}  // namespace zqkbench
