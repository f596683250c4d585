#include "handle_figures.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "link/channel_packet.h"
#include "link/comms.h"
#include "sim/sim_file_system.h"
#include "sim/sim_terminal.h"
#include "terminal/terminal.h"
#include "zqkAPI.h"

namespace zqkbench {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// ---- the protocol's floors ----
//
// A conversation's command goes out in reports, one per frame, and the
// device's answer comes in, one report per frame. The simulated device
// answers at once: its first report is there as the frame that carried the
// command ends, so a conversation of Out reports out and In reports in lasts
// Out + In - 1 frames. The device sends each piece of its output (a line,
// the data, a prompt) in reports of its own. zqkCommand and zqkDir first
// wait for stale output, 5 ms of silence (FlushBeforeCommand); the
// transfers do not. No other wait of the library's lies on the way: the
// file commands' prompt waits end on the prompt, not on a time-out.
constexpr double kFlushMs = 5;

size_t ReportsFor(size_t Bytes)
{
    return (Bytes + zqk::kMaxPacketData - 1) / zqk::kMaxPacketData;
}

double ConversationMs(size_t Out, size_t In, double FrameMs)
{
    return static_cast<double>(Out + In - 1) * FrameMs;
}

size_t PromptReports()
{
    return ReportsFor(std::strlen(zqk::TzqTerminal::kDefaultPrompt));
}

// A file command goes out as escape, command, carriage return; the device
// answers the escape with a line end and a prompt, then the command with
// its pieces of output and a closing prompt.
double FileCommandMs(const std::string& Command, std::initializer_list<size_t> Pieces, double FrameMs)
{
    size_t in = ReportsFor(2) + PromptReports() + PromptReports();
    for (const size_t piece : Pieces)
        in += ReportsFor(piece);
    return ConversationMs(ReportsFor(Command.size() + 2), in, FrameMs);
}

// The time stamp that the simulated device gives files put into its host
// folder by another program: their modification time, which for files just
// put there is now, packed as the device keeps times.
std::string PackedNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    return std::to_string(zqk::sim::SimFileSystem::PackTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                                           local.tm_hour, local.tm_min, local.tm_sec));
}

// A listing line: name, size, attributes and three times, tab-separated.
std::string ListingLine(const std::string& Name, size_t Size, int Attributes, const std::string& Time)
{
    return Name + "\t" + std::to_string(Size) + "\t" + std::to_string(Attributes) + "\t" + Time + "\t" + Time + "\t" +
           Time + "\r\n";
}

double ListingMs(const std::string& Path, const std::string& Lines, double FrameMs)
{
    const std::string answer = "Directory of " + Path + "\r\n" + Lines + "\r\n";
    return kFlushMs + FileCommandMs("NFDIR @\"" + Path + "\"", {answer.size()}, FrameMs);
}

// zqk pull /FOLDER: the listing of the root (to find the folder), the
// folder's listing, then NFTYPE of each file: its header line and its data.
double PullFloorMs(const std::string& Folder, const std::vector<std::string>& Names, size_t Size, double FrameMs)
{
    constexpr int kFolder = 0x10, kFile = 0x20;
    const std::string time = PackedNow();
    std::string lines;
    for (const std::string& name : Names)
        lines += ListingLine(name, Size, kFile, time);
    double ms = ListingMs("/", ListingLine(Folder, 0, kFolder, time), FrameMs) + ListingMs("/" + Folder, lines, FrameMs);
    for (const std::string& name : Names) {
        const std::string header = name + "\t" + std::to_string(Size) + "\r\n";
        ms += FileCommandMs("NFTYPE @\"/" + Folder + "/" + name + "\"", {header.size(), Size}, FrameMs);
    }
    return ms;
}

// ---- simulated devices by path ----

std::string SimPath(const std::string& Folder, const std::string& Options)
{
    return "sim:" + Folder + (Options.empty() ? std::string() : "?" + Options);
}

std::string StatusText()
{
    char text[1024] = "";
    zqkStatusText(text, sizeof text);
    return text;
}

// A handle on the simulated device of Folder, closed with the object.
class SimHandle {
public:
    SimHandle(const std::string& Folder, const std::string& Options)
        : handle_(zqkDevOpen(SimPath(Folder, Options).c_str()))
    {
        if (handle_ <= 0)
            std::fprintf(stderr, "zqk_bench: cannot open %s: %s\n", SimPath(Folder, Options).c_str(),
                         StatusText().c_str());
    }
    ~SimHandle()
    {
        if (handle_ > 0)
            zqkDevClose(handle_);
    }
    SimHandle(const SimHandle&) = delete;
    SimHandle& operator=(const SimHandle&) = delete;
    explicit operator bool() const { return handle_ > 0; }
    int32_t Id() const { return handle_; }

private:
    int32_t handle_;
};

void Complain(const char* What, int32_t Result)
{
    std::fprintf(stderr, "zqk_bench: %s failed (%d): %s\n", What, Result, StatusText().c_str());
}

// A folder for a simulated device, which takes the host files it finds
// there as its own.
std::string DeviceFolder(const std::string& Name)
{
    const std::string folder = Local(Name);
    fs::create_directories(folder);
    return folder;
}

void PutHostFile(const std::string& Folder, const std::string& Path, const std::string& Data)
{
    fs::create_directories(fs::path(Folder + "/" + Path).parent_path());
    WriteFileOrDie(Folder + "/" + Path, Data);
}

double MiBPerSecond(size_t Bytes, double Seconds)
{
    return static_cast<double>(Bytes) / kMiB / Seconds;
}

std::optional<double> TimedShell(const std::string& Command)
{
    const auto start = Clock::now();
    if (!Output(Command)) {
        std::fprintf(stderr, "zqk_bench: failed: %s\n", Command.c_str());
        return std::nullopt;
    }
    return SecondsSince(start);
}

// The program started without a shell, whose start would count too.
std::optional<double> TimedProgram(const std::vector<std::string>& Words)
{
    std::vector<char*> argv;
    for (const std::string& word : Words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout);
    const auto start = Clock::now();
    pid_t child = 0;
    int status = 0;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0 ||
        waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "zqk_bench: failed: %s\n", Words.front().c_str());
        return std::nullopt;
    }
    return SecondsSince(start);
}

// The best rate of Runs transfers of Bytes, each checked.
std::optional<double> BestRate(int Runs, size_t Bytes, const std::function<std::optional<double>()>& Transfer)
{
    std::vector<double> seconds;
    for (int i = 0; i < Runs; ++i) {
        const std::optional<double> s = Transfer();
        if (!s)
            return std::nullopt;
        seconds.push_back(*s);
    }
    return MiBPerSecond(Bytes, *Best(seconds));
}

}  // namespace

Programs BuiltPrograms()
{
    Programs p;
    p.Tool = ZQK_BENCH_TOOL;
    p.Library = ZQK_BENCH_LIBRARY;
    p.PythonPackage = ZQK_PYTHON_PACKAGE_DIR;  // the package with its generated tables
    p.PythonScript = std::string(ZQK_SOURCE_DIR) + "/bench/python_bench.py";
    const char* python = std::getenv("ZQK_BENCH_PYTHON");
    p.Python = python && *python ? python : access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    p.NodePackage = ZQK_NODE_PACKAGE_DIR;
    p.NodeScript = std::string(ZQK_SOURCE_DIR) + "/bench/node_bench.mjs";
    p.Node = "node";
    return p;
}

// ---- several paced devices at once ----

ParallelResult ParallelPaced(int Devices, uint32_t IntervalUs, size_t Bytes)
{
    const std::string data = zqk::sim::BytesOfLength(Bytes);
    struct Unit {
        std::string folder, down, up;
        std::unique_ptr<SimHandle> handle;
    };
    std::vector<Unit> units(static_cast<size_t>(Devices));
    for (size_t k = 0; k < units.size(); ++k) {
        Unit& u = units[k];
        u.folder = DeviceFolder("parallel" + std::to_string(k));
        PutHostFile(u.folder, "paced.bin", data);
        u.down = Local("parallel-down" + std::to_string(k) + ".bin");
        u.up = Local("parallel-up" + std::to_string(k) + ".bin");
        WriteFileOrDie(u.up, data);
        u.handle = std::make_unique<SimHandle>(
            u.folder, "pace=" + std::to_string(IntervalUs) + "&serial=PAR-" + std::to_string(k));
        if (!*u.handle)
            return {};
    }
    // All at once, a thread each; the time until the last one is done.
    const auto atOnce = [&](const std::function<int32_t(const Unit&)>& Transfer) -> std::optional<double> {
        std::atomic<bool> whole {true};
        std::vector<std::thread> threads;
        const auto start = Clock::now();
        for (const Unit& u : units)
            threads.emplace_back([&, unit = &u] {
                const int32_t n = Transfer(*unit);
                if (n != static_cast<int32_t>(Bytes)) {
                    Complain("a parallel transfer", n);
                    whole = false;
                }
            });
        for (std::thread& t : threads)
            t.join();
        return whole ? std::optional<double>(SecondsSince(start)) : std::nullopt;
    };
    const double cpuStart = ProcessCpuSeconds();
    const std::optional<double> read =
        atOnce([](const Unit& u) { return zqkDevFileRead(u.handle->Id(), "/paced.bin", u.down.c_str()); });
    const std::optional<double> write =
        atOnce([](const Unit& u) { return zqkDevFileWrite(u.handle->Id(), u.up.c_str(), "/paced-up.bin"); });
    const double cpu = ProcessCpuSeconds() - cpuStart;
    for (const Unit& u : units) {
        if (ReadFile(u.down) != data || ReadFile(u.folder + "/paced-up.bin") != data) {
            std::fprintf(stderr, "zqk_bench: a parallel transfer's copy differs\n");
            return {};
        }
    }
    const double capacity = Devices * zqk::kMaxPacketData / (IntervalUs * 1e-6);  // bytes per second
    const auto share = [&](const std::optional<double>& s) {
        return s ? std::optional<double>(100.0 * Devices * static_cast<double>(Bytes) / *s / capacity) : std::nullopt;
    };
    ParallelResult result {share(read), share(write), std::nullopt};
    if (read && write)
        result.CpuPct = 100.0 * cpu / (*read + *write);
    return result;
}

// ---- small operations against their floors ----

AgainstFloor CommandLatency(uint32_t IntervalUs, int Runs)
{
    SimHandle device(Local("command"), "pace=" + std::to_string(IntervalUs));
    if (!device)
        return {};
    std::vector<double> ms;
    int32_t length = 0;
    for (int i = 0; i <= Runs; ++i) {  // the first wakes everything up
        char output[256];
        const auto start = Clock::now();
        length = zqkDevCommand(device.Id(), "ver", output, sizeof output, 1000);
        const double elapsed = SecondsSince(start);
        if (length <= 0) {
            Complain("zqkDevCommand(\"ver\")", length);
            return {};
        }
        if (i > 0)
            ms.push_back(elapsed * 1000);
    }
    const double floor = kFlushMs + ConversationMs(ReportsFor(std::strlen("ver\r")),
                                        ReportsFor(static_cast<size_t>(length)) + PromptReports(), IntervalUs / 1000.0);
    return {Median(ms), floor};
}

AgainstFloor SmallFilesPull(const Programs& Run, uint32_t IntervalUs, int Files, size_t Size)
{
    const std::string folder = "small", data = zqk::sim::BytesOfLength(Size);
    std::vector<std::string> names, paths;
    for (int i = 0; i < Files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%03d.bin", i);
        names.push_back(name);
        paths.push_back(folder + "/" + name);
    }
    const std::string device = DeviceFolder("small-files");
    for (const std::string& path : paths)
        PutHostFile(device, path, data);
    const std::string target = Local("pulled");
    const double floor = Files / (PullFloorMs(folder, names, Size, IntervalUs / 1000.0) / 1000);
    const std::optional<double> seconds =
        TimedShell(Quoted(Run.Tool) + " --device " + Quoted(SimPath(device, "pace=" + std::to_string(IntervalUs))) +
                   " pull -q /" + folder + " " + Quoted(target));
    for (const std::string& name : names) {
        if (seconds && ReadFile(target + "/" + name) != data) {
            std::fprintf(stderr, "zqk_bench: the pulled %s differs\n", name.c_str());
            return {std::nullopt, floor};
        }
    }
    return {seconds ? std::optional<double>(Files / *seconds) : std::nullopt, floor};
}

// ---- no latency: the binding and the mount against the C exports ----

namespace {

// In each round each side's figure is the best of two listings and of three
// transfers: the first on a fresh handle, process or mount wakes it up.
constexpr int kListingRuns = 2;
constexpr int kTransferRuns = 3;

// As the test-clock listing has them: entry00000.dat ..., of i % 97 bytes.
std::string ListingDevice(int32_t Entries)
{
    const std::string folder = DeviceFolder("zero-listing");
    char name[64];
    for (int32_t i = 0; i < Entries; ++i) {
        std::snprintf(name, sizeof name, "many/entry%05d.dat", i);
        PutHostFile(folder, name, std::string(static_cast<size_t>(i % 97), 'x'));
    }
    return folder;
}

std::vector<std::string> ReadFiles()
{
    std::vector<std::string> files;
    for (int i = 1; i <= kTransferRuns; ++i)
        files.push_back("read" + std::to_string(i) + ".bin");
    return files;
}

std::optional<double> CListingMs(const std::string& Folder, int32_t Entries)
{
    SimHandle device(Folder, "");
    if (!device)
        return std::nullopt;
    std::vector<double> ms;
    for (int run = 0; run < kListingRuns; ++run) {
        const auto start = Clock::now();
        const int32_t n = zqkDevDir(device.Id(), "/many");
        for (int32_t i = 0; i < n; ++i) {
            char name[64];
            int32_t size = 0, attributes = 0, time = 0;
            if (zqkDevGetDirEntry(device.Id(), i, name, sizeof name, &size, &attributes, &time) <= 0) {
                Complain("zqkDevGetDirEntry", i);
                return std::nullopt;
            }
        }
        ms.push_back(SecondsSince(start) * 1000);
        if (n != Entries) {
            Complain("zqkDevDir", n);
            return std::nullopt;
        }
    }
    return Best(ms);
}

std::optional<double> CReadMiBs(const std::string& Folder, const std::string& Data)
{
    SimHandle device(Folder, "");
    if (!device)
        return std::nullopt;
    const std::string local = Local("zero-read.bin");
    return BestRate(kTransferRuns, Data.size(), [&]() -> std::optional<double> {
        const auto start = Clock::now();
        const int32_t n = zqkDevFileRead(device.Id(), "/read1.bin", local.c_str());
        const double seconds = SecondsSince(start);
        if (n != static_cast<int32_t>(Data.size()) || ReadFile(local) != Data) {
            Complain("zqkDevFileRead", n);
            return std::nullopt;
        }
        return seconds;
    });
}

std::optional<double> CWriteMiBs(const std::string& Folder, const std::string& Local, const std::string& Data)
{
    SimHandle device(Folder, "");
    if (!device)
        return std::nullopt;
    return BestRate(kTransferRuns, Data.size(), [&]() -> std::optional<double> {
        const auto start = Clock::now();
        const int32_t n = zqkDevFileWrite(device.Id(), Local.c_str(), "/up.bin");
        const double seconds = SecondsSince(start);
        if (n != static_cast<int32_t>(Data.size()) || ReadFile(Folder + "/up.bin") != Data) {
            Complain("zqkDevFileWrite", n);
            return std::nullopt;
        }
        return seconds;
    });
}

// The value after Key on a line of its own ("KEY VALUE") in Text.
std::optional<double> ValueOf(const std::string& Text, const std::string& Key)
{
    const size_t at = Text.find(Key + " ");
    if (at == std::string::npos || (at > 0 && Text[at - 1] != '\n'))
        return std::nullopt;
    return std::strtod(Text.c_str() + at + Key.size() + 1, nullptr);
}

struct BindingResult {
    std::optional<double> DirMs, ReadMiBs;
};

// A binding's script, started by Launch (its environment and interpreter),
// on the same devices as the C exports' figures; it prints "listdir_ms MS"
// and "get_mib_s RATE" (bench/python_bench.py says how).
BindingResult BindingFigures(const std::string& Name, const std::string& Launch, const std::string& ListingFolder,
                             int32_t Entries, const std::string& FilesFolder, size_t Size)
{
    const std::string command = "ZQKAPI_LIBRARY=" + Launch + " " + Quoted(SimPath(ListingFolder, "")) + " /many " +
                                std::to_string(Entries) + " " + Quoted(SimPath(FilesFolder, "")) + " /read1.bin " +
                                std::to_string(Size) + " " + Quoted(Local(Name + "-read.bin")) + " " +
                                std::to_string(kListingRuns) + " " + std::to_string(kTransferRuns);
    const std::optional<std::string> text = Output(command);
    if (!text) {
        std::fprintf(stderr, "zqk_bench: the %s binding's figures failed: %s\n", Name.c_str(), command.c_str());
        return {};
    }
    return {ValueOf(*text, "listdir_ms"), ValueOf(*text, "get_mib_s")};
}

void BindingsFigures(const Programs& Run, const std::string& ListingFolder, int32_t Entries,
                     const std::string& FilesFolder, size_t Size, ZeroLatencyRuns& Result)
{
    const BindingResult python = BindingFigures(
        "python", Quoted(Run.Library) + " PYTHONPATH=" + Quoted(Run.PythonPackage) + " " + Quoted(Run.Python) + " " +
        Quoted(Run.PythonScript), ListingFolder, Entries, FilesFolder, Size);
    Append(Result.PythonDirMs, python.DirMs);
    Append(Result.PythonReadMiBs, python.ReadMiBs);
    const BindingResult node = BindingFigures(
        "node", Quoted(Run.Library) + " ZQK_NODE_PACKAGE=" + Quoted(Run.NodePackage) + " " + Quoted(Run.Node) + " " +
        Quoted(Run.NodeScript), ListingFolder, Entries, FilesFolder, Size);
    Append(Result.NodeDirMs, node.DirMs);
    Append(Result.NodeReadMiBs, node.ReadMiBs);
}

// zqk mount -b of a simulated device's folder, unmounted with the object.
class Mounted {
public:
    Mounted(const Programs& Run, const std::string& Folder) : point_(Folder + "-mount")
    {
        fs::create_directories(point_);
        mounted_ = Output(Quoted(Run.Tool) + " --device " + Quoted(SimPath(Folder, "")) + " mount -b " +
                          Quoted(point_))
                       .has_value();
        if (!mounted_)
            std::fprintf(stderr, "zqk_bench: zqk mount of %s failed (FUSE 3 and /dev/fuse needed)\n", Folder.c_str());
    }
    ~Mounted()
    {
        if (mounted_ && !Output("fusermount3 -u " + Quoted(point_)))
            std::fprintf(stderr, "zqk_bench: cannot unmount %s\n", point_.c_str());
    }
    Mounted(const Mounted&) = delete;
    Mounted& operator=(const Mounted&) = delete;
    explicit operator bool() const { return mounted_; }
    std::string Path(const std::string& Name) const { return point_ + "/" + Name; }

private:
    std::string point_;
    bool mounted_ = false;
};

// cat of each file once: a file read again would come from the mount's memory.
std::optional<double> MountReadMiBs(const Programs& Run, const std::string& Folder, const std::string& Data)
{
    const Mounted mount(Run, Folder);
    if (!mount)
        return std::nullopt;
    const std::string copy = Local("catted.bin");
    const std::vector<std::string> files = ReadFiles();
    size_t next = 0;
    return BestRate(kTransferRuns, Data.size(), [&]() -> std::optional<double> {
        const std::optional<double> seconds = TimedShell("cat " + Quoted(mount.Path(files[next++])) + " >" + Quoted(copy));
        if (seconds && ReadFile(copy) != Data) {
            std::fprintf(stderr, "zqk_bench: the file read out of zqk mount differs\n");
            return std::nullopt;
        }
        return seconds;
    });
}

std::optional<double> MountWriteMiBs(const Programs& Run, const std::string& Folder, const std::string& Local,
                                     const std::string& Data)
{
    const Mounted mount(Run, Folder);
    if (!mount)
        return std::nullopt;
    return BestRate(kTransferRuns, Data.size(), [&]() -> std::optional<double> {
        const std::optional<double> seconds = TimedProgram({"cp", Local, mount.Path("up.bin")});
        if (seconds && ReadFile(Folder + "/up.bin") != Data) {
            std::fprintf(stderr, "zqk_bench: the file written into zqk mount differs on the device\n");
            return std::nullopt;
        }
        return seconds;
    });
}

}  // namespace

ZeroLatencyRuns ZeroLatency(const Programs& Run, int32_t DirEntries, size_t FileSize, int Rounds)
{
    const std::string data = zqk::sim::BytesOfLength(FileSize);
    const std::string listing = ListingDevice(DirEntries);
    const std::string files = DeviceFolder("zero-files");
    for (const std::string& file : ReadFiles())
        PutHostFile(files, file, data);
    const std::string writes = DeviceFolder("zero-writes");
    const std::string mountWrites = DeviceFolder("zero-mount-writes");
    const std::string up = Local("zero-up.bin");
    WriteFileOrDie(up, data);

    ZeroLatencyRuns runs;
    for (int round = 0; round < std::max(Rounds, kAlternations); ++round) {
        Append(runs.DirMs, CListingMs(listing, DirEntries));
        Append(runs.ReadMiBs, CReadMiBs(files, data));
        Append(runs.WriteMiBs, CWriteMiBs(writes, up, data));
        BindingsFigures(Run, listing, DirEntries, files, FileSize, runs);
        Append(runs.MountReadMiBs, MountReadMiBs(Run, files, data));
        Append(runs.MountWriteMiBs, MountWriteMiBs(Run, mountWrites, up, data));
    }
    return runs;
}

// Lock names keep letters, digits, '-' and '.' of the device's key (a
// simulated device's path) and make '_' of the rest.
std::optional<double> FindDevicesMs(int Runs)
{
    std::vector<double> ms;
    for (int i = 0; i < Runs; ++i) {
        const auto start = Clock::now();
        const int32_t found = zqkFindDevices();
        ms.push_back(SecondsSince(start) * 1000);
        if (found < 0) {
            Complain("zqkFindDevices", found);
            return std::nullopt;
        }
    }
    return Median(ms);
}

}  // namespace zqkbench
