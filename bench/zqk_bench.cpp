// The library's cost against the USB link's limit. The transfer figures go
// through the exported functions on the process-wide library, rebuilt on the
// simulated device; the others through handles on simulated devices opened
// by path (handle_figures.cpp), also from the zqk tool, its mount and the
// Python and Node.js bindings:
//   zqk_bench [--json FILE] [--callgrind-out FILE] [benchmark flags]
//       runs everything, prints the table, writes the figures as JSON
//   zqk_bench --rss-read          one 64 MiB read in this process: peak growth / 64 MiB
//   zqk_bench --callgrind-read    one 1 MiB read, instrumented only while it runs
//   zqk_bench --benchmarks-only [benchmark flags]   the test-clock figures alone, for profiling
//   zqk_bench --zero-latency-only  the C exports, both bindings and zqk mount on
//                                  sim: devices without latency, alone, for profiling
//   zqk_bench --trace-only         trace_read_overhead_pct alone
// scripts/bench builds it optimised and runs it.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include "api/library.h"
#include "bench_support.h"
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
constexpr int kTracePairs = 5;
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
// the wall time, other work on a shared machine does not stretch it. Best of
// five, since interference only ever adds time.
#define ZQK_BENCHMARK(f) BENCHMARK(f)->Unit(benchmark::kMillisecond)->Repetitions(5)
ZQK_BENCHMARK(RawReports);
ZQK_BENCHMARK(FileRead);
ZQK_BENCHMARK(FileWrite);
ZQK_BENCHMARK(DirListing);
ZQK_BENCHMARK(CommandOutput);
ZQK_BENCHMARK(TermRx);

// Shows Google Benchmark's own lines and keeps each benchmark's best CPU
// time per iteration, in seconds.
class BestTimes : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0)
                continue;
            const double seconds = run.cpu_accumulated_time / static_cast<double>(run.iterations);
            const std::string name = run.run_name.function_name;
            const auto known = best_.find(name);
            if (known == best_.end() || seconds < known->second)
                best_[name] = seconds;
        }
    }
    std::optional<double> Best(const std::string& name) const
    {
        const auto found = best_.find(name);
        return found == best_.end() ? std::nullopt : std::optional<double>(found->second);
    }

private:
    std::map<std::string, double> best_;
};

// ---- the paced figures: real time ----

// Real-time priority for the paced runs where the system grants it (as
// zqk-sim-uhid asks for it): on a shared machine other work would otherwise
// take frames from the link that no library could have used. The thread
// sleeps between reports, so it does not starve anything.
class RealTimePriority {
public:
    RealTimePriority() : policy_(sched_getscheduler(0))
    {
        sched_getparam(0, &saved_);
        sched_param wanted {};
        wanted.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
        granted_ = sched_setscheduler(0, SCHED_FIFO, &wanted) == 0;
        // The simulated device's waits end close to the frame edge they aim at.
        prctl(PR_SET_TIMERSLACK, 1000UL);
    }
    ~RealTimePriority()
    {
        prctl(PR_SET_TIMERSLACK, 0UL);
        if (granted_)
            sched_setscheduler(0, policy_, &saved_);
    }
    RealTimePriority(const RealTimePriority&) = delete;
    RealTimePriority& operator=(const RealTimePriority&) = delete;
    bool Granted() const { return granted_; }

private:
    int policy_;
    sched_param saved_ {};
    bool granted_ = false;
};

// What the machine itself allows: a loop that does nothing but wait for the
// end of every frame, as a report write does. The share of frames it
// catches is the best any library can do here; its CPU share is what the
// waiting alone costs.
struct FrameLoopResult {
    double CaughtPct;
    double CpuPct;
};

FrameLoopResult FrameLoop(uint32_t IntervalUs, int Frames)
{
    SystemClock& clock = SystemClock::Instance();
    const uint64_t start = clock.NowUs();
    const double cpuStart = ProcessCpuSeconds();
    for (int i = 0; i < Frames; ++i) {
        const uint64_t now = clock.NowUs();
        clock.SleepUs((now / IntervalUs + 1) * IntervalUs - now);
    }
    const double cpu = ProcessCpuSeconds() - cpuStart;
    const double seconds = static_cast<double>(clock.NowUs() - start) * 1e-6;
    return {100.0 * Frames * IntervalUs * 1e-6 / seconds, 100.0 * cpu / seconds};
}

// Threads bare loops at once, as many as the devices of the parallel run:
// the frames each catches on average and the CPU of all of them. On a
// machine with fewer cores than loops this is what the machine allows them.
FrameLoopResult FrameLoops(int Threads, uint32_t IntervalUs, int Frames)
{
    std::vector<double> caught(static_cast<size_t>(Threads));
    std::vector<std::thread> loops;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuSeconds();
    for (double& each : caught)
        loops.emplace_back([&each, IntervalUs, Frames] { each = FrameLoop(IntervalUs, Frames).CaughtPct; });
    for (std::thread& loop : loops)
        loop.join();
    const double cpu = ProcessCpuSeconds() - cpuStart;
    const double seconds = Seconds(std::chrono::steady_clock::now() - start);
    return {std::accumulate(caught.begin(), caught.end(), 0.0) / Threads, 100.0 * cpu / seconds};
}

FrameLoopResult Mean(const std::vector<FrameLoopResult>& Loops)
{
    FrameLoopResult mean {0, 0};
    for (const FrameLoopResult& loop : Loops) {
        mean.CaughtPct += loop.CaughtPct / static_cast<double>(Loops.size());
        mean.CpuPct += loop.CpuPct / static_cast<double>(Loops.size());
    }
    return mean;
}

struct PacedResult {
    std::optional<double> ReadPct;
    std::optional<double> WritePct;
    std::optional<double> CpuPct;  // during the read
};

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

std::optional<double> PeakRssRatio()
{
    const auto text = Output("'" + SelfPath() + "' --rss-read");
    if (!text)
        return std::nullopt;
    return std::strtod(text->c_str(), nullptr);
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

// Of the instructions counted, those the simulated device spent on its side
// of the link (inside its report reads and writes, command handling included).
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

// ---- the report ----

struct Figure {
    const char* Key;
    std::optional<double> Value;
    const char* Unit;
    std::string Goal;          // for an unchecked figure, what it is: "(reference)"
    std::optional<bool> Met;   // nothing: not measured
    bool Checked = true;
};

Figure Reference(const char* Key, const std::optional<double>& Value, const char* Unit,
                 const char* What = "(reference)")
{
    return {Key, Value, Unit, What, std::nullopt, false};
}

std::string Number(double value)
{
    char text[64];
    const double size = std::fabs(value);
    std::snprintf(text, sizeof text, size >= 1000 ? "%.0f" : size >= 10 ? "%.1f" : "%.2f", value);
    return text;
}

void PrintTable(const std::vector<Figure>& figures)
{
    std::printf("\n%-28s %14s  %-7s %-42s %s\n", "figure", "value", "unit", "goal", "met");
    for (const Figure& f : figures) {
        const std::string value = f.Value ? Number(*f.Value) : "n/a";
        const char* met = !f.Checked ? "" : !f.Met ? "?" : *f.Met ? "yes" : "NO";
        char line[192];
        std::snprintf(line, sizeof line, "%-28s %14s  %-7s %-42s %s", f.Key, value.c_str(), f.Unit, f.Goal.c_str(),
                      met);
        std::string text = line;
        text.erase(text.find_last_not_of(' ') + 1);
        std::printf("%s\n", text.c_str());
    }
}

bool WriteJson(const std::string& path, const std::vector<Figure>& figures)
{
    std::ofstream out(path);
    out << "{\n";
    for (size_t i = 0; i < figures.size(); ++i) {
        char value[64];
        if (figures[i].Value)
            std::snprintf(value, sizeof value, "%.10g", *figures[i].Value);
        else
            std::snprintf(value, sizeof value, "null");
        out << "  \"" << figures[i].Key << "\": " << value << (i + 1 < figures.size() ? ",\n" : "\n");
    }
    out << "}\n";
    return static_cast<bool>(out);
}

std::optional<bool> AtLeast(const std::optional<double>& value, double goal)
{
    return value ? std::optional<bool>(*value >= goal) : std::nullopt;
}

std::optional<bool> Below(const std::optional<double>& value, double goal)
{
    return value ? std::optional<bool>(*value < goal) : std::nullopt;
}

// Goals on a bound that comes from other figures of the same run.
std::optional<bool> AtLeast(const std::optional<double>& value, const std::optional<double>& bound)
{
    return value && bound ? std::optional<bool>(*value >= *bound) : std::nullopt;
}

std::optional<bool> AtMost(const std::optional<double>& value, const std::optional<double>& bound)
{
    return value && bound ? std::optional<bool>(*value <= *bound) : std::nullopt;
}

// Factor * Value + Offset, where there is a value.
std::optional<double> Linear(const std::optional<double>& Value, double Factor, double Offset = 0)
{
    return Value ? std::optional<double>(Factor * *Value + Offset) : std::nullopt;
}

std::optional<double> Ratio(const std::optional<double>& Value, const std::optional<double>& Of)
{
    return Value && Of && *Of > 0 ? std::optional<double>(*Value / *Of) : std::nullopt;
}

// A goal's text with its bound of this run.
std::string Bounded(const std::string& Goal, const std::optional<double>& Bound)
{
    return Bound ? Goal + " (" + Number(*Bound) + ")" : Goal;
}

void PrintGoalsMet(const std::vector<Figure>& figures)
{
    int met = 0, checked = 0;
    std::string missed, unknown;
    for (const Figure& f : figures) {
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

std::optional<double> Scaled(const std::optional<double>& seconds, double f)
{
    return seconds ? std::optional<double>(f / *seconds) : std::nullopt;
}

std::optional<double> Milliseconds(const std::optional<double>& seconds)
{
    return seconds ? std::optional<double>(*seconds * 1000) : std::nullopt;
}

int ZeroLatencyMode()
{
    SteadyAllocator();
    if (!StartLibrary()) {
        std::fprintf(stderr, "zqk_bench: the library does not start\n");
        return 1;
    }
    const ZeroLatencyResult zero = ZeroLatency(BuiltPrograms(), kDirEntries, kTransferSize);
    PrintTable({
        Reference("dir_10000_sim_path_ms", zero.DirMs, "ms"),
        Reference("python_dir_10000_ms", zero.PythonDirMs, "ms"),
        Reference("file_read_sim_path_mib_s", zero.ReadMiBs, "MiB/s"),
        Reference("file_write_sim_path_mib_s", zero.WriteMiBs, "MiB/s"),
        Reference("python_read_mib_s", zero.PythonReadMiBs, "MiB/s"),
        Reference("node_dir_10000_ms", zero.NodeDirMs, "ms"),
        Reference("node_read_mib_s", zero.NodeReadMiBs, "MiB/s"),
        Reference("mount_read_mib_s", zero.MountReadMiBs, "MiB/s"),
        Reference("mount_write_mib_s", zero.MountWriteMiBs, "MiB/s"),
    });
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

int RunAll(int argc, char** argv, const std::string& jsonPath, const std::string& callgrindOut)
{
    SteadyAllocator();
    benchmark::Initialize(&argc, argv);
    BestTimes times;
    std::printf("== no latency (test clock), best of 5\n");
    std::fflush(stdout);
    benchmark::RunSpecifiedBenchmarks(&times);

    const double mib = static_cast<double>(kTransferSize) / kMiB;
    const auto raw = Scaled(times.Best("RawReports"), mib);
    const auto read = Scaled(times.Best("FileRead"), mib);
    const auto write = Scaled(times.Best("FileWrite"), mib);
    const auto dir = Milliseconds(times.Best("DirListing"));
    const auto command = Milliseconds(times.Best("CommandOutput"));
    const auto termRx = Scaled(times.Best("TermRx"), kTermRxPackets);

    std::printf("== paced in real time: full speed (1 ms, 256 KiB), high speed (125 us, 1 MiB)\n");
    std::fflush(stdout);
    std::optional<RealTimePriority> priority;
    priority.emplace();
    // The bare loop's CPU share swings within seconds on a shared virtual
    // machine; measured before, between and after the runs compared with it,
    // it swings with them.
    const FrameLoopResult fullLoopBefore = FrameLoop(1000, 1000);
    const PacedResult full = Paced(1000, 256 * 1024);
    const FrameLoopResult fullLoopBetween = FrameLoop(1000, 1000);
    std::printf("== sim: devices paced at full speed: %d at once (256 KiB each way), %d commands, a pull of %d files\n",
                kParallelDevices, kCommandRuns, kSmallFiles);
    std::fflush(stdout);
    const ParallelResult parallel = ParallelPaced(kParallelDevices, 1000, 256 * 1024);
    const FrameLoopResult parallelLoops = FrameLoops(kParallelDevices, 1000, 4300);  // as long as the run
    const FrameLoopResult fullLoop = Mean({fullLoopBefore, fullLoopBetween, FrameLoop(1000, 1000)});
    const PacedResult high = Paced(125, kMiB);
    const FrameLoopResult highLoop = FrameLoop(125, 8000);
    const AgainstFloor latency = CommandLatency(1000, kCommandRuns);
    const Programs programs = BuiltPrograms();
    const AgainstFloor smallFiles = SmallFilesPull(programs, 1000, kSmallFiles, kSmallFileSize);
    const bool realTime = priority->Granted();
    priority.reset();
    std::printf("== sim: devices without latency: the C exports, the Python and Node.js bindings, zqk mount\n");
    std::fflush(stdout);
    const ZeroLatencyResult zero = ZeroLatency(programs, kDirEntries, kTransferSize);
    const auto findDevices = FindDevicesMs(kFindDevicesRuns);
    const auto traceOverhead = TraceReadOverheadPct(kTransferSize, kTracePairs);
    std::printf("== peak memory of a 64 MiB read (own process)\n");
    std::fflush(stdout);
    const auto rss = PeakRssRatio();
    std::printf("== instructions of a 1 MiB read (callgrind)\n");
    std::fflush(stdout);
    const std::string profile = callgrindOut.empty() ? Local("callgrind.out") : callgrindOut;
    const auto instructions = InstructionsPerMiB(profile);
    const auto deviceInstructions = instructions ? DeviceInstructions(profile) : std::nullopt;

    const double fifth = raw ? *raw / 5 : 0;
    const std::string transferGoal = raw ? ">= 100 and >= raw/5 (" + Number(fifth) + ")" : ">= 100 and >= raw/5";
    const auto transferMet = [&](const std::optional<double>& v) {
        return v && raw ? std::optional<bool>(*v >= 100 && *v >= fifth) : std::nullopt;
    };
    const std::optional<double> loopCpu = fullLoop.CpuPct;
    const auto pacedCpuRatio = Ratio(full.CpuPct, loopCpu);
    const auto parallelCpuRatio = Ratio(parallel.CpuPct, Linear(loopCpu, kParallelDevices));
    const auto latencyBound = Linear(latency.Floor, 1, 1);
    const auto smallFilesBound = Linear(smallFiles.Floor, 0.9);
    const auto bindingDirBound = Linear(zero.DirMs, 2, 20);
    const auto bindingReadBound = Linear(zero.ReadMiBs, 0.8);
    const auto mountReadBound = Linear(zero.ReadMiBs, 0.5);
    const auto mountWriteBound = Linear(zero.WriteMiBs, 0.5);
    const std::vector<Figure> figures = {
        Reference("raw_report_mib_s", raw, "MiB/s"),
        {"file_read_mib_s", read, "MiB/s", transferGoal, transferMet(read)},
        {"file_write_mib_s", write, "MiB/s", transferGoal, transferMet(write)},
        {"dir_10000_ms", dir, "ms", "< 50", Below(dir, 50)},
        {"command_1mib_ms", command, "ms", "< 100", Below(command, 100)},
        Reference("termrx_packets_per_s", termRx, "1/s"),
        {"paced_full_read_pct", full.ReadPct, "%", ">= 97", AtLeast(full.ReadPct, 97)},
        {"paced_full_write_pct", full.WritePct, "%", ">= 97", AtLeast(full.WritePct, 97)},
        {"paced_high_read_pct", high.ReadPct, "%", ">= 97", AtLeast(high.ReadPct, 97)},
        {"paced_high_write_pct", high.WritePct, "%", ">= 97", AtLeast(high.WritePct, 97)},
        {"paced_full_cpu_pct", full.CpuPct, "%", "< 2", Below(full.CpuPct, 2)},
        {"read_64mib_peak_rss_ratio", rss, "x", "< 2.5", Below(rss, 2.5)},
        Reference("instructions_per_mib_read", instructions, "Ir/MiB"),
        Reference("wait_loop_full_cpu_pct", fullLoop.CpuPct, "%"),
        Reference("wait_loop_high_cpu_pct", highLoop.CpuPct, "%"),
        Reference("wait_loop_full_frames_pct", fullLoop.CaughtPct, "%"),
        Reference("wait_loop4_full_cpu_pct", parallelLoops.CpuPct, "%"),
        Reference("wait_loop4_full_frames_pct", parallelLoops.CaughtPct, "%"),
        {"paced_full_cpu_ratio", pacedCpuRatio, "x", "<= 1.25", AtMost(pacedCpuRatio, 1.25)},
        {"parallel4_read_pct", parallel.ReadPct, "%", ">= 97", AtLeast(parallel.ReadPct, 97)},
        {"parallel4_write_pct", parallel.WritePct, "%", ">= 97", AtLeast(parallel.WritePct, 97)},
        {"parallel4_cpu_ratio", parallelCpuRatio, "x", "<= 1.25", AtMost(parallelCpuRatio, 1.25)},
        Reference("command_floor_ms", latency.Floor, "ms", "(protocol floor)"),
        {"command_latency_ms", latency.Value, "ms", Bounded("<= floor + 1", latencyBound),
         AtMost(latency.Value, latencyBound)},
        Reference("small_files_floor_per_s", smallFiles.Floor, "1/s", "(protocol floor)"),
        {"small_files_per_s", smallFiles.Value, "1/s", Bounded(">= 0.9 x floor", smallFilesBound),
         AtLeast(smallFiles.Value, smallFilesBound)},
        Reference("dir_10000_sim_path_ms", zero.DirMs, "ms"),
        {"python_dir_10000_ms", zero.PythonDirMs, "ms", Bounded("<= 2 x dir_10000_sim_path_ms + 20", bindingDirBound),
         AtMost(zero.PythonDirMs, bindingDirBound)},
        Reference("file_read_sim_path_mib_s", zero.ReadMiBs, "MiB/s"),
        Reference("file_write_sim_path_mib_s", zero.WriteMiBs, "MiB/s"),
        {"python_read_mib_s", zero.PythonReadMiBs, "MiB/s", Bounded(">= 0.8 x file_read_sim_path", bindingReadBound),
         AtLeast(zero.PythonReadMiBs, bindingReadBound)},
        {"node_dir_10000_ms", zero.NodeDirMs, "ms", Bounded("<= 2 x dir_10000_sim_path_ms + 20", bindingDirBound),
         AtMost(zero.NodeDirMs, bindingDirBound)},
        {"node_read_mib_s", zero.NodeReadMiBs, "MiB/s", Bounded(">= 0.8 x file_read_sim_path", bindingReadBound),
         AtLeast(zero.NodeReadMiBs, bindingReadBound)},
        {"mount_read_mib_s", zero.MountReadMiBs, "MiB/s", Bounded(">= 0.5 x file_read_sim_path", mountReadBound),
         AtLeast(zero.MountReadMiBs, mountReadBound)},
        {"mount_write_mib_s", zero.MountWriteMiBs, "MiB/s", Bounded(">= 0.5 x file_write_sim_path", mountWriteBound),
         AtLeast(zero.MountWriteMiBs, mountWriteBound)},
        {"find_devices_ms", findDevices, "ms", "< 5", Below(findDevices, 5)},
        {"trace_read_overhead_pct", traceOverhead, "%", "<= 10", AtMost(traceOverhead, 10)},
    };
    PrintTable(figures);
    PrintGoalsMet(figures);
    std::printf("\npaced runs %s; on this machine a loop that only waits for each frame catches\n"
                "%.1f %% of 1 ms frames at %.2f %% CPU and %.1f %% of 125 us frames at %.2f %% CPU\n",
                realTime ? "at real-time priority" : "at normal priority (real-time refused)", fullLoop.CaughtPct,
                fullLoop.CpuPct, highLoop.CaughtPct, highLoop.CpuPct);
    std::printf("four such loops at once catch %.1f %% of 1 ms frames at %.2f %% CPU in all; a paced write\n"
                "sends one report per wake-up, so its share cannot pass the frames its thread catches\n",
                parallelLoops.CaughtPct, parallelLoops.CpuPct);
    std::printf("the 64 MiB read's peak includes the simulated device's own copy of the file while it\n"
                "sends it (1.00 of the ratio)\n");
    if (instructions && deviceInstructions) {
        const double device = deviceInstructions.value_or(0);
        std::printf("of the instructions per MiB read, %s are the simulated device's and %s the library's\n",
                    Number(device).c_str(), Number(instructions.value_or(0) - device).c_str());
    }
    RemoveWorkDir();
    if (!jsonPath.empty()) {
        if (!WriteJson(jsonPath, figures)) {
            std::fprintf(stderr, "zqk_bench: cannot write %s\n", jsonPath.c_str());
            return 1;
        }
        std::printf("\nwritten to %s\n", jsonPath.c_str());
    }
    const bool complete = std::all_of(figures.begin(), figures.end(), [](const Figure& f) { return f.Value; });
    return complete ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string json, callgrindOut;
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
        if (arg == "--benchmarks-only") {
            SteadyAllocator();
            benchmark::Initialize(&argc, argv);
            benchmark::RunSpecifiedBenchmarks();
            RemoveWorkDir();
            return 0;
        }
        if (arg == "--json" && i + 1 < argc)
            json = argv[++i];
        else if (arg == "--callgrind-out" && i + 1 < argc)
            callgrindOut = argv[++i];
        else
            rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    return RunAll(restCount, rest.data(), json, callgrindOut);
}
