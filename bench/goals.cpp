#include "goals.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace zqkbench {

namespace {

// Factor * Value + Offset of each value.
std::vector<double> Linear(const std::vector<double>& Values, double Factor, double Offset = 0)
{
    std::vector<double> result;
    for (const double value : Values)
        result.push_back(Factor * value + Offset);
    return result;
}

// The bound of each transfer: 100 MiB/s, or a fifth of its raw run where that is more.
std::vector<double> TransferBounds(const std::vector<double>& Raw)
{
    std::vector<double> bounds;
    for (const double raw : Raw)
        bounds.push_back(std::max(100.0, raw / 5));
    return bounds;
}

// A paced write's goal: see PacedPairs.
constexpr const char* kPacedWriteGoal = ">= 0.98 x loop ceiling, 97 if none missed";

std::vector<Figure> PacedFigures(const Measured& M)
{
    const PairedGoal fullWrite = Paired(kPacedWriteGoal, M.Full.WritePct, M.Full.WriteBoundPct);
    const PairedGoal highWrite = Paired(kPacedWriteGoal, M.High.WritePct, M.High.WriteBoundPct);
    const auto fullRead = SpreadOf(M.Full.ReadPct), fullCpu = SpreadOf(M.Full.CpuPct);
    const auto highRead = SpreadOf(M.High.ReadPct);
    return {
        Goal("paced_full_read_pct", fullRead, "%", ">= 97", AtLeast(MedianOf(fullRead), 97)),
        Goal("paced_full_write_pct", SpreadOf(M.Full.WritePct), "%", fullWrite.Text, AtLeastBound(fullWrite)),
        Goal("paced_high_read_pct", highRead, "%", ">= 97", AtLeast(MedianOf(highRead), 97)),
        Goal("paced_high_write_pct", SpreadOf(M.High.WritePct), "%", highWrite.Text, AtLeastBound(highWrite)),
        Goal("paced_full_cpu_pct", fullCpu, "%", "< 2", Below(MedianOf(fullCpu), 2)),
    };
}

std::vector<Figure> LoopFigures(const Measured& M)
{
    const PairedGoal parallelWrite = Paired(kPacedWriteGoal, M.Parallel.WritePct, M.Parallel.WriteBoundPct);
    const auto fullCpuRatio = PairRatios(M.Full.CpuPct, M.Full.LoopCpuPct);
    const auto parallelCpuRatio = PairRatios(M.Parallel.CpuPct, M.Parallel.LoopCpuPct);
    const auto parallelRead = SpreadOf(M.Parallel.ReadPct);
    return {
        Reference("wait_loop_full_cpu_pct", SpreadOf(M.Full.LoopCpuPct), "%"),
        Reference("wait_loop_high_cpu_pct", SpreadOf(M.High.LoopCpuPct), "%"),
        Reference("wait_loop_high_frames_pct", SpreadOf(M.High.LoopFramesPct), "%"),
        Reference("wait_loop_full_frames_pct", SpreadOf(M.Full.LoopFramesPct), "%"),
        Reference("wait_loop4_full_cpu_pct", SpreadOf(M.Parallel.LoopCpuPct), "%"),
        Reference("wait_loop4_full_frames_pct", SpreadOf(M.Parallel.LoopFramesPct), "%"),
        Goal("paced_full_cpu_ratio", fullCpuRatio, "x", "<= 1.25", AtMost(MedianOf(fullCpuRatio), 1.25)),
        Goal("parallel4_read_pct", parallelRead, "%", ">= 97", AtLeast(MedianOf(parallelRead), 97)),
        Goal("parallel4_write_pct", SpreadOf(M.Parallel.WritePct), "%", parallelWrite.Text,
             AtLeastBound(parallelWrite)),
        Goal("parallel4_cpu_ratio", parallelCpuRatio, "x", "<= 1.25", AtMost(MedianOf(parallelCpuRatio), 1.25)),
    };
}

// A goal on a bound computed from the protocol.
std::string Bounded(const std::string& Goal, const std::optional<double>& Bound)
{
    return Bound ? Goal + " (" + Number(*Bound) + ")" : Goal;
}

std::optional<bool> AtLeast(const std::optional<double>& Value, const std::optional<double>& Bound)
{
    return Value && Bound ? std::optional<bool>(*Value >= *Bound) : std::nullopt;
}

std::optional<bool> AtMost(const std::optional<double>& Value, const std::optional<double>& Bound)
{
    return Value && Bound ? std::optional<bool>(*Value <= *Bound) : std::nullopt;
}

std::vector<Figure> FloorFigures(const Measured& M)
{
    const auto latencyBound = M.Latency.Floor ? std::optional<double>(*M.Latency.Floor + 1) : std::nullopt;
    const auto pullBound = M.SmallFiles.Floor ? std::optional<double>(*M.SmallFiles.Floor * 0.9) : std::nullopt;
    return {
        Reference("command_floor_ms", M.Latency.Floor, "ms", "(protocol floor)"),
        {"command_latency_ms", M.Latency.Value, "ms", Bounded("<= floor + 1", latencyBound),
         AtMost(M.Latency.Value, latencyBound)},
        Reference("small_files_floor_per_s", M.SmallFiles.Floor, "1/s", "(protocol floor)"),
        {"small_files_per_s", M.SmallFiles.Value, "1/s", Bounded(">= 0.9 x floor", pullBound),
         AtLeast(M.SmallFiles.Value, pullBound)},
    };
}

}  // namespace

std::vector<Figure> ZeroLatencyFigures(const ZeroLatencyRuns& Zero)
{
    const auto dirBounds = Linear(Zero.DirMs, 2, 20);
    const auto readBounds = Linear(Zero.ReadMiBs, 0.8);
    const PairedGoal pythonDir = Paired("<= 2 x dir_10000_sim_path_ms + 20", Zero.PythonDirMs, dirBounds);
    const PairedGoal pythonRead = Paired(">= 0.8 x file_read_sim_path", Zero.PythonReadMiBs, readBounds);
    const PairedGoal nodeDir = Paired("<= 2 x dir_10000_sim_path_ms + 20", Zero.NodeDirMs, dirBounds);
    const PairedGoal nodeRead = Paired(">= 0.8 x file_read_sim_path", Zero.NodeReadMiBs, readBounds);
    const PairedGoal mountRead = Paired(">= 0.5 x file_read_sim_path", Zero.MountReadMiBs, Linear(Zero.ReadMiBs, 0.5));
    const PairedGoal mountWrite =
        Paired(">= 0.5 x file_write_sim_path", Zero.MountWriteMiBs, Linear(Zero.WriteMiBs, 0.5));
    return {
        Reference("dir_10000_sim_path_ms", SpreadOf(Zero.DirMs), "ms"),
        Goal("python_dir_10000_ms", SpreadOf(Zero.PythonDirMs), "ms", pythonDir.Text, AtMostBound(pythonDir)),
        Reference("file_read_sim_path_mib_s", SpreadOf(Zero.ReadMiBs), "MiB/s"),
        Reference("file_write_sim_path_mib_s", SpreadOf(Zero.WriteMiBs), "MiB/s"),
        Goal("python_read_mib_s", SpreadOf(Zero.PythonReadMiBs), "MiB/s", pythonRead.Text, AtLeastBound(pythonRead)),
        Goal("node_dir_10000_ms", SpreadOf(Zero.NodeDirMs), "ms", nodeDir.Text, AtMostBound(nodeDir)),
        Goal("node_read_mib_s", SpreadOf(Zero.NodeReadMiBs), "MiB/s", nodeRead.Text, AtLeastBound(nodeRead)),
        Goal("mount_read_mib_s", SpreadOf(Zero.MountReadMiBs), "MiB/s", mountRead.Text, AtLeastBound(mountRead)),
        Goal("mount_write_mib_s", SpreadOf(Zero.MountWriteMiBs), "MiB/s", mountWrite.Text, AtLeastBound(mountWrite)),
    };
}

std::vector<Figure> Figures(const Measured& M)
{
    const PairedGoal read = Paired(">= 100 and >= raw/5", M.ReadMiBs, TransferBounds(M.RawMiBs));
    const PairedGoal write = Paired(">= 100 and >= raw/5", M.WriteMiBs, TransferBounds(M.RawMiBs));
    std::vector<Figure> figures = {
        Reference("raw_report_mib_s", SpreadOf(M.RawMiBs), "MiB/s"),
        Goal("file_read_mib_s", SpreadOf(M.ReadMiBs), "MiB/s", read.Text, AtLeastBound(read)),
        Goal("file_write_mib_s", SpreadOf(M.WriteMiBs), "MiB/s", write.Text, AtLeastBound(write)),
        {"dir_10000_ms", M.DirMs, "ms", "< 50", Below(M.DirMs, 50)},
        {"command_1mib_ms", M.CommandMs, "ms", "< 100", Below(M.CommandMs, 100)},
        Reference("termrx_packets_per_s", M.TermRxPerS, "1/s"),
    };
    const auto add = [&figures](const std::vector<Figure>& More) {
        figures.insert(figures.end(), More.begin(), More.end());
    };
    add(PacedFigures(M));
    add({{"read_64mib_peak_rss_ratio", M.PeakRss, "x", "< 2.5", Below(M.PeakRss, 2.5)},
         Reference("instructions_per_mib_read", M.Instructions, "Ir/MiB")});
    add(LoopFigures(M));
    add(FloorFigures(M));
    add(ZeroLatencyFigures(M.Zero));
    add({{"find_devices_ms", M.FindDevicesMs, "ms", "< 5", Below(M.FindDevicesMs, 5)}});
    add({{"trace_read_overhead_pct", M.TraceOverheadPct, "%", "<= 10", AtMost(M.TraceOverheadPct, 10)}});
    return figures;
}
void PrintNotes(const Measured& M)
{
    const auto median = [](const std::vector<double>& Values) { return Median(Values).value_or(0); };
    std::printf("\npaced runs %s; on this machine a loop that only waits for each frame catches\n"
                "%.1f %% of 1 ms frames at %.2f %% CPU and %.1f %% of 125 us frames at %.2f %% CPU\n",
                M.RealTime ? "at real-time priority" : "at normal priority (real-time refused)",
                median(M.Full.LoopFramesPct), median(M.Full.LoopCpuPct), median(M.High.LoopFramesPct),
                median(M.High.LoopCpuPct));
    std::printf("four such loops at once catch %.1f %% of 1 ms frames at %.2f %% CPU in all; a paced write\n"
                "sends one report per wake-up, so its share cannot pass the frames its thread catches,\n"
                "times 98.75 %% for the block tails (medians of the loops)\n",
                median(M.Parallel.LoopFramesPct), median(M.Parallel.LoopCpuPct));
    std::printf("the 64 MiB read's peak includes the simulated device's own copy of the file while it\n"
                "sends it (1.00 of the ratio)\n");
    if (M.Instructions && M.DeviceInstructions) {
        const double device = *M.DeviceInstructions;
        std::printf("of the instructions per MiB read, %s are the simulated device's and %s the library's\n",
                    Number(device).c_str(), Number(*M.Instructions - device).c_str());
    }
}

}  // namespace zqkbench
