// trace_read_overhead_pct (see trace_figure.h).
#include "trace_figure.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

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
    // The first read of each kind warms what it uses once: the device's and
    // the local file's pages, the trace's buffers and its file.
    plain();
    traced();
    // A shared machine's load changes within seconds: each traced read lies
    // next to an untraced one, and the median of the pairs keeps unlucky ones out.
    const std::optional<Alternated> turns = MeasureAlternately(traced, plain, Pairs);
    zqkDevClose(handle);
    std::filesystem::remove(trace);
    if (!turns)
        return std::nullopt;
    return (turns->Ratio.Median - 1) * 100;
}

}  // namespace zqkbench
