// The library's cost against the USB link's limit. The transfer figures go
// through the exported functions on the process-wide library, rebuilt on the
// simulated device; the others through handles on simulated devices opened
// by path (handle_figures.cpp), also from the zqk tool, its mount and the
// Python and Node.js bindings:
//   zqk_bench [--json FILE] [--verdicts FILE] [--callgrind-out FILE] [benchmark flags]
//       runs everything, prints the table, writes the figures as JSON and
//       a line per goal ("KEY VALUE met|missed|unmeasured")
//   zqk_bench --rss-read          one 64 MiB read in this process: peak growth / 64 MiB
//   zqk_bench --callgrind-read    one 1 MiB read, instrumented only while it runs
//   zqk_bench --benchmarks-only [benchmark flags]   the test-clock figures alone, for profiling
//   zqk_bench --zero-latency-only  the C exports, both bindings and zqk mount on
//                                  sim: devices without latency, alone, for profiling
//   zqk_bench --trace-only         trace_read_overhead_pct alone
//   zqk_bench --paced-only         the real-time figures alone: the paced devices
//                                  with their bare loops, the command latency
// scripts/bench builds it optimised and runs it.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include "api/library.h"
#include "bench_support.h"
#include "figure_table.h"
#include "frame_loops.h"
#include "goals.h"
#include "profile_figures.h"
#include "handle_figures.h"
#include "trace_figure.h"
#include "rig/lock_names.h"
#include "rig/sim_setup.h"
#include "sim/manual_clock.h"
#include "sim/sim_keeper.h"
#include "sim/sim_report_device.h"
#include "sim/sim_terminal.h"
#include "zqkAPI.h"

namespace {

using namespace zqk;
using namespace zqkbench;
namespace fs = std::filesystem;

constexpr size_t kTransferSize = 16 * kMiB;
constexpr int32_t kDirEntries = 10000;
constexpr size_t kCommandOutput = kMiB;
constexpr int32_t kTermRxPackets = 100000;
constexpr int kParallelDevices = 4;
constexpr int kCommandRuns = 50;
constexpr int kSmallFiles = 200;
constexpr size_t kSmallFileSize = 1024;
constexpr int kFindDevicesRuns = 21;
constexpr int kTracePairs = 9;
constexpr double kReportPayload = 61;

// ---- surroundings ----

// Removed at exit by the rig.
std::string LockName()
{
    return rig::ProcessLockName("bench", "library");
}

// ---- the simulated device under the process-wide library ----

// A simulated zq.keeper with the library rebuilt on it and the device open.
// Long runs keep no record of every report.
class SimRig {
public:
    explicit SimRig(Clock& Time) : Keeper(Time), library_(Keeper.Device, Time, LockName())
    {
        Keeper.Device.KeepHostPackets(false);
        library_.Report()->KeepReadTimeouts(false);
        if (zqkOpen() != 1) {
            std::fprintf(stderr, "zqk_bench: the simulated device does not open\n");
            std::exit(1);
        }
    }

    void SetInterval(uint32_t Us)
    {
        Keeper.Device.SetPacingUs(Us);
        Keeper.Device.SetWriteDurationUs(Us);
    }
    // A device file made in place, so that setting it up leaves no second copy.
    void PutFile(const std::string& Path, std::string Data)
    {
        Keeper.Files.PutFile(Path, std::string());
        Keeper.Files.Find(Path)->Data = std::move(Data);
    }

    sim::SimKeeper Keeper;

private:
    rig::SimLibrary library_;
};

// No latency: the test clock, so that waits cost no real time and only the
// library's (and the simulated device's) own work is measured. Input reports
// come one per microsecond of that clock: all at once, they would overflow
// the link's 2048-packet channel buffer, which drops the excess by design.
// Output reports take no time.
struct NoLatencyRig {
    sim::ManualClock Clock;
    SimRig Rig {Clock};
    NoLatencyRig()
    {
        Rig.Keeper.Device.SetPacingUs(1);
        Rig.Keeper.Device.SetWriteDurationUs(0);
    }
};

// ---- the figures measured by Google Benchmark (no latency) ----

// glibc adapts its threshold for mapping large blocks to the sizes freed so
// far, and its heap gives memory back to the system when enough is free at
// the top: a 16 MiB buffer is then sometimes reused and sometimes mapped and
// faulted in afresh, and the same benchmark measures either. Fixed
// thresholds keep such buffers on the heap, as in a long-running program.
// The programs the run starts (the tool, its mount, Python) get the same
// thresholds, so that they are measured as the C exports beside them are.
void SteadyAllocator()
{
    constexpr int kMmapThreshold = 32 << 20, kTrimThreshold = 1 << 30;
    mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
    const std::string tunables = "glibc.malloc.mmap_threshold=" + std::to_string(kMmapThreshold) +
                                 ":glibc.malloc.trim_threshold=" + std::to_string(kTrimThreshold);
    setenv("GLIBC_TUNABLES", tunables.c_str(), 1);
}

// The memory limit: the device's output cut into reports and copied out by
// the smallest possible reader, through the same report device the library
// reads from.
void RawReports(benchmark::State& state)
{
    sim::ManualClock clock;
    sim::SimKeeper keeper(clock);
    keeper.Device.SetPacingUs(1);
    sim::SimReportDevice report(keeper.Device, clock);
    report.KeepReadTimeouts(false);
    report.Open(-1, -1, -1, -1);
    const std::string data = sim::BytesOfLength(kTransferSize);
    std::string copy(data.size(), '\0');
    for (auto _ : state) {
        keeper.Device.Send(5, data);
        uint8_t packet[kPacketSize];
        for (size_t at = 0; at < copy.size();) {
            if (report.ReadReport(packet, kPacketSize, 1) != kPacketSize)
                continue;
            const uint8_t n = PacketDataLength(packet);
            std::memcpy(copy.data() + at, packet + kPacketHeaderSize, n);
            at += n;
        }
        benchmark::DoNotOptimize(copy.data());
    }
    if (copy != data)
        state.SkipWithError("the copy differs");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransferSize));
}

void FileRead(benchmark::State& state)
{
    NoLatencyRig rig;
    const std::string data = sim::BytesOfLength(kTransferSize);
    rig.Rig.PutFile("/read.bin", data);
    const std::string local = Local("read.bin");
    for (auto _ : state) {
        if (zqkFileRead("/read.bin", local.c_str()) != static_cast<int32_t>(kTransferSize))
            state.SkipWithError("zqkFileRead failed");
    }
    if (ReadFile(local) != data)
        state.SkipWithError("the local file differs");
    fs::remove(local);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransferSize));
}

void FileWrite(benchmark::State& state)
{
    NoLatencyRig rig;
    const std::string data = sim::BytesOfLength(kTransferSize);
    const std::string local = Local("write.bin");
    WriteFileOrDie(local, data);
    for (auto _ : state) {
        if (zqkFileWrite(local.c_str(), "/write.bin") != static_cast<int32_t>(kTransferSize))
            state.SkipWithError("zqkFileWrite failed");
    }
    const sim::SimNode* written = rig.Rig.Keeper.Files.Find("/write.bin");
    if (!written || written->Data != data)
        state.SkipWithError("the device's file differs");
    fs::remove(local);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransferSize));
}

void DirListing(benchmark::State& state)
{
    NoLatencyRig rig;
    rig.Rig.Keeper.Files.MakeDir("/many");
    char name[64];
    for (int32_t i = 0; i < kDirEntries; ++i) {
        std::snprintf(name, sizeof name, "/many/entry%05d.dat", i);
        rig.Rig.Keeper.Files.PutFile(name, std::string(static_cast<size_t>(i % 97), 'x'));
    }
    for (auto _ : state) {
        if (zqkDir("/many") != kDirEntries) {
            state.SkipWithError("zqkDir failed");
            break;
        }
        for (int32_t i = 0; i < kDirEntries; ++i) {
            int32_t size = 0, attributes = 0, time = 0;
            if (zqkGetDirEntry(i, name, sizeof name, &size, &attributes, &time) <= 0 || size != i % 97)
                state.SkipWithError("zqkGetDirEntry failed");
        }
    }
}

void CommandOutput(benchmark::State& state)
{
    NoLatencyRig rig;
    std::vector<char> output(kCommandOutput + 1);
    const std::string command = "bytes " + std::to_string(kCommandOutput);
    for (auto _ : state) {
        if (zqkCommand(command.c_str(), output.data(), static_cast<int32_t>(output.size()), 2000) !=
            static_cast<int32_t>(kCommandOutput))
            state.SkipWithError("zqkCommand failed");
    }
}

void TermRx(benchmark::State& state)
{
    NoLatencyRig rig;
    const std::string packets(static_cast<size_t>(kTermRxPackets) * kMaxPacketData, 't');
    char buffer[kPacketSize];
    for (auto _ : state) {
        state.PauseTiming();
        rig.Rig.Keeper.Device.Send(0, packets);
        state.ResumeTiming();
        for (int32_t i = 0; i < kTermRxPackets; ++i) {
            if (zqkTermRx(buffer, sizeof buffer, 1000) != kMaxPacketData) {
                state.SkipWithError("zqkTermRx lost a packet");
                break;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * kTermRxPackets);
}

// The test clock never waits, so a run's CPU time is its whole work; unlike
// the wall time, other work on a shared machine does not stretch it. The
// transfers and the raw loop they are compared with take turns, a run each,
// kAlternations times: the CPU's speed on a virtual machine drifts with the
// load of its host, and each transfer then lies next to its own raw run.
// The others keep the best of five, since interference only ever adds time.
void RegisterBenchmarks()
{
    for (int round = 0; round < kAlternations; ++round) {
        for (const auto& [name, function] : {std::pair {"RawReports", RawReports}, std::pair {"FileRead", FileRead},
                                             std::pair {"FileWrite", FileWrite}})
            benchmark::RegisterBenchmark(name, function)->Unit(benchmark::kMillisecond);
    }
    for (const auto& [name, function] : {std::pair {"DirListing", DirListing},
                                         std::pair {"CommandOutput", CommandOutput}, std::pair {"TermRx", TermRx}})
        benchmark::RegisterBenchmark(name, function)->Unit(benchmark::kMillisecond)->Repetitions(5);
}

// Shows Google Benchmark's own lines and keeps each benchmark's CPU time
// per iteration, in seconds, run by run in their order.
class RunTimes : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0)
                continue;
            seconds_[run.run_name.function_name].push_back(run.cpu_accumulated_time /
                                                           static_cast<double>(run.iterations));
        }
    }
    std::vector<double> Of(const std::string& name) const
    {
        const auto found = seconds_.find(name);
        return found == seconds_.end() ? std::vector<double>() : found->second;
    }

private:
    std::map<std::string, std::vector<double>> seconds_;
};

// ---- the paced figures: real time ----

// A transfer each way against the simulated device on the system clock,
// moving one report per interval each way, as the endpoint does. The
// figure is the payload rate over the link's (61 bytes per interval); the
// command, its prompt and the closing answer are counted in the time.
PacedResult Paced(uint32_t IntervalUs, size_t Bytes)
{
    SimRig rig(SystemClock::Instance());
    rig.SetInterval(IntervalUs);
    const std::string data = sim::BytesOfLength(Bytes);
    rig.PutFile("/paced.bin", data);
    const std::string down = Local("paced-down.bin");
    const std::string up = Local("paced-up.bin");
    WriteFileOrDie(up, data);
    const double capacity = kReportPayload / (IntervalUs * 1e-6);  // bytes per second
    PacedResult result;

    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuSeconds();
    const int32_t read = zqkFileRead("/paced.bin", down.c_str());
    const double cpu = ProcessCpuSeconds() - cpuStart;
    const double readSeconds = Seconds(std::chrono::steady_clock::now() - start);
    if (read == static_cast<int32_t>(Bytes) && ReadFile(down) == data) {
        result.ReadPct = 100.0 * (static_cast<double>(Bytes) / readSeconds) / capacity;
        result.CpuPct = 100.0 * cpu / readSeconds;
    } else {
        std::fprintf(stderr, "zqk_bench: paced read failed (%d)\n", read);
    }

    const auto writeStart = std::chrono::steady_clock::now();
    const int32_t written = zqkFileWrite(up.c_str(), "/paced-up.bin");
    const double writeSeconds = Seconds(std::chrono::steady_clock::now() - writeStart);
    const sim::SimNode* node = rig.Keeper.Files.Find("/paced-up.bin");
    if (written == static_cast<int32_t>(Bytes) && node && node->Data == data)
        result.WritePct = 100.0 * (static_cast<double>(Bytes) / writeSeconds) / capacity;
    else
        std::fprintf(stderr, "zqk_bench: paced write failed (%d)\n", written);
    fs::remove(down);
    fs::remove(up);
    return result;
}

// The single paced device at full speed and the bare loop, taking turns.
PacedPairs PacedAgainstLoop(uint32_t IntervalUs, size_t Bytes, int LoopFrames)
{
    PacedPairs pairs;
    for (int i = 0; i < kAlternations; ++i) {
        const FrameLoopResult loop = FrameLoop(IntervalUs, LoopFrames);
        const PacedResult paced = Paced(IntervalUs, Bytes);
        pairs.Add(loop, paced.ReadPct, paced.WritePct, paced.CpuPct);
    }
    return pairs;
}

// The paced devices at once and as many bare loops at once, taking turns.
PacedPairs ParallelAgainstLoops(int Devices, uint32_t IntervalUs, size_t Bytes, int LoopFrames)
{
    PacedPairs pairs;
    for (int i = 0; i < kAlternations; ++i) {
        const FrameLoopResult loops = FrameLoops(Devices, IntervalUs, LoopFrames);
        const ParallelResult parallel = ParallelPaced(Devices, IntervalUs, Bytes);
        pairs.Add(loops, parallel.ReadPct, parallel.WritePct, parallel.CpuPct);
    }
    return pairs;
}

// ---- peak memory: a process of its own ----

// A field of /proc/self/status in kB, or -1.
long StatusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::strtol(line.c_str() + length + 1, nullptr, 10);
    }
    return -1;
}

int RssReadMode()
{
    constexpr size_t kSize = 64 * kMiB;
    NoLatencyRig rig;
    rig.Rig.PutFile("/big.bin", sim::BytesOfLength(kSize));
    const std::string local = Local("rss.bin");
    // The peak so far was the set-up's; start counting from here.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = StatusKb("VmRSS");
    const long peakBefore = StatusKb("VmHWM");
    const int32_t read = zqkFileRead("/big.bin", local.c_str());
    const long peak = StatusKb("VmHWM");
    fs::remove(local);
    RemoveWorkDir();
    if (read != static_cast<int32_t>(kSize) || before < 0 || peak < 0 || peakBefore > before + 1024) {
        std::fprintf(stderr, "zqk_bench: 64 MiB read %d, VmRSS %ld kB, VmHWM %ld -> %ld kB\n", read, before,
                     peakBefore, peak);
        return 1;
    }
    std::printf("%.4f\n", static_cast<double>(peak - before) * 1024.0 / static_cast<double>(kSize));
    return 0;
}

// ---- instructions: callgrind ----

int CallgrindReadMode()
{
    NoLatencyRig rig;
    rig.Rig.PutFile("/one.bin", sim::BytesOfLength(kMiB));
    const std::string local = Local("callgrind.bin");
    // Once first, so that the count leaves out first-call work (symbol
    // binding, the first growth of every buffer).
    bool ok = zqkFileRead("/one.bin", local.c_str()) == static_cast<int32_t>(kMiB);
    CALLGRIND_START_INSTRUMENTATION;
    ok = zqkFileRead("/one.bin", local.c_str()) == static_cast<int32_t>(kMiB) && ok;
    CALLGRIND_STOP_INSTRUMENTATION;
    fs::remove(local);
    RemoveWorkDir();
    return ok ? 0 : 1;
}

// ---- the run ----

std::vector<double> Rates(const std::vector<double>& Seconds, double Amount)
{
    std::vector<double> rates;
    for (const double seconds : Seconds)
        rates.push_back(Amount / seconds);
    return rates;
}

std::optional<double> Milliseconds(const std::optional<double>& Seconds)
{
    return Seconds ? std::optional<double>(*Seconds * 1000) : std::nullopt;
}

std::optional<double> Scaled(const std::optional<double>& Seconds, double Amount)
{
    return Seconds ? std::optional<double>(Amount / *Seconds) : std::nullopt;
}


int ZeroLatencyMode()
{
    SteadyAllocator();
    if (!StartLibrary()) {
        std::fprintf(stderr, "zqk_bench: the library does not start\n");
        return 1;
    }
    const std::vector<Figure> figures = ZeroLatencyFigures(ZeroLatency(BuiltPrograms(), kDirEntries, kTransferSize));
    PrintTable(figures);
    PrintGoalsMet(figures);
    RemoveWorkDir();
    return 0;
}

int TraceMode()
{
    SteadyAllocator();
    if (!StartLibrary()) {
        std::fprintf(stderr, "zqk_bench: the library does not start\n");
        return 1;
    }
    const auto overhead = TraceReadOverheadPct(kTransferSize, kTracePairs);
    PrintTable({{"trace_read_overhead_pct", overhead, "%", "<= 10", AtMost(overhead, 10)}});
    RemoveWorkDir();
    return overhead ? 0 : 1;
}


void Heading(const char* Text)
{
    std::printf("== %s\n", Text);
    std::fflush(stdout);
}

void MeasureTestClock(int argc, char** argv, Measured& M)
{
    benchmark::Initialize(&argc, argv);
    RegisterBenchmarks();
    RunTimes times;
    Heading("no latency (test clock): the raw loop and the transfers taking turns, 5 runs each; the rest best of 5");
    benchmark::RunSpecifiedBenchmarks(&times);
    const double mib = static_cast<double>(kTransferSize) / kMiB;
    M.RawMiBs = Rates(times.Of("RawReports"), mib);
    M.ReadMiBs = Rates(times.Of("FileRead"), mib);
    M.WriteMiBs = Rates(times.Of("FileWrite"), mib);
    M.DirMs = Milliseconds(Best(times.Of("DirListing")));
    M.CommandMs = Milliseconds(Best(times.Of("CommandOutput")));
    M.TermRxPerS = Scaled(Best(times.Of("TermRx")), kTermRxPackets);
}

void MeasurePaced(const Programs& Run, Measured& M)
{
    Heading("paced in real time: full speed (1 ms, 256 KiB) and high speed (125 us, 1 MiB), each taking turns "
            "with a bare loop, 5 each");
    std::optional<RealTimePriority> priority;
    priority.emplace();
    M.Full = PacedAgainstLoop(1000, 256 * 1024, 2000);
    std::printf("== sim: devices paced at full speed: %d at once (256 KiB each way) taking turns with %d bare loops "
                "at once, 5 each; %d commands, a pull of %d files\n",
                kParallelDevices, kParallelDevices, kCommandRuns, kSmallFiles);
    std::fflush(stdout);
    M.Parallel = ParallelAgainstLoops(kParallelDevices, 1000, 256 * 1024, 2000);
    M.High = PacedAgainstLoop(125, kMiB, 8000);
    M.Latency = CommandLatency(1000, kCommandRuns);
    M.SmallFiles = SmallFilesPull(Run, 1000, kSmallFiles, kSmallFileSize);
    M.RealTime = priority->Granted();
}

void MeasureTheRest(const Programs& Run, const std::string& CallgrindOut, Measured& M)
{
    Heading("sim: devices without latency: the C exports taking turns with the Python and Node.js bindings and "
            "zqk mount, 5 each");
    M.Zero = ZeroLatency(Run, kDirEntries, kTransferSize);
    M.FindDevicesMs = FindDevicesMs(kFindDevicesRuns);
    Heading(("a traced 16 MiB read taking turns with an untraced one, " + std::to_string(kTracePairs) + " each").c_str());
    M.TraceOverheadPct = TraceReadOverheadPct(kTransferSize, kTracePairs);
    Heading("peak memory of a 64 MiB read (own process)");
    M.PeakRss = PeakRssRatio();
    Heading("instructions of a 1 MiB read (callgrind)");
    const std::string profile = CallgrindOut.empty() ? Local("callgrind.out") : CallgrindOut;
    M.Instructions = InstructionsPerMiB(profile);
    M.DeviceInstructions = M.Instructions ? DeviceInstructions(profile) : std::nullopt;
}

int PacedMode()
{
    SteadyAllocator();
    if (!StartLibrary()) {
        std::fprintf(stderr, "zqk_bench: the library does not start\n");
        return 1;
    }
    Measured measured;
    MeasurePaced(BuiltPrograms(), measured);
    std::vector<Figure> figures = Figures(measured);
    figures.erase(std::remove_if(figures.begin(), figures.end(), [](const Figure& f) { return !f.Value; }),
                  figures.end());
    PrintTable(figures);
    PrintGoalsMet(figures);
    RemoveWorkDir();
    return 0;
}

struct Outputs {
    std::string Json, Verdicts, CallgrindOut;
};

bool WriteOutputs(const Outputs& Out, const std::vector<Figure>& Figures)
{
    if (!Out.Json.empty() && !WriteJson(Out.Json, Figures)) {
        std::fprintf(stderr, "zqk_bench: cannot write %s\n", Out.Json.c_str());
        return false;
    }
    if (!Out.Verdicts.empty() && !WriteVerdicts(Out.Verdicts, Figures)) {
        std::fprintf(stderr, "zqk_bench: cannot write %s\n", Out.Verdicts.c_str());
        return false;
    }
    if (!Out.Json.empty())
        std::printf("\nwritten to %s\n", Out.Json.c_str());
    return true;
}

int RunAll(int argc, char** argv, const Outputs& Out)
{
    SteadyAllocator();
    Measured measured;
    MeasureTestClock(argc, argv, measured);
    const Programs programs = BuiltPrograms();
    MeasurePaced(programs, measured);
    MeasureTheRest(programs, Out.CallgrindOut, measured);
    const std::vector<Figure> figures = Figures(measured);
    PrintTable(figures);
    PrintGoalsMet(figures);
    PrintNotes(measured);
    RemoveWorkDir();
    if (!WriteOutputs(Out, figures))
        return 1;
    const bool complete = std::all_of(figures.begin(), figures.end(), [](const Figure& f) { return f.Value; });
    return complete ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Outputs out;
    std::vector<char*> rest {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rss-read")
            return RssReadMode();
        if (arg == "--callgrind-read")
            return CallgrindReadMode();
        if (arg == "--zero-latency-only")
            return ZeroLatencyMode();
        if (arg == "--trace-only")
            return TraceMode();
        if (arg == "--paced-only")
            return PacedMode();
        if (arg == "--benchmarks-only") {
            SteadyAllocator();
            benchmark::Initialize(&argc, argv);
            RegisterBenchmarks();
            benchmark::RunSpecifiedBenchmarks();
            RemoveWorkDir();
            return 0;
        }
        if (arg == "--json" && i + 1 < argc)
            out.Json = argv[++i];
        else if (arg == "--verdicts" && i + 1 < argc)
            out.Verdicts = argv[++i];
        else if (arg == "--callgrind-out" && i + 1 < argc)
            out.CallgrindOut = argv[++i];
        else
            rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    return RunAll(restCount, rest.data(), out);
}
