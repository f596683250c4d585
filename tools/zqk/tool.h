#pragma once
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace zqktool {

// Exit codes, so that scripts can tell failures apart.
enum ExitCode {
    kOk = 0,
    kFailed = 1,        // the device refused or a transfer failed
    kUsage = 2,         // wrong arguments
    kNoDevice = 3,      // no matching device found
    kLockHeld = 4,      // another program holds the device lock
    kLocalFile = 5,     // a local file could not be read or written
};

// A failure to report: one line on standard error and an exit code.
struct Failure : std::runtime_error {
    Failure(ExitCode Code, const std::string& Message, int32_t Status = 0)
        : std::runtime_error(Message), code(Code), status(Status) {}
    ExitCode code;
    int32_t status;  // the library's status when the library failed (ZQK_STATUS_...), else 0
};

// Whether a transfer shows its progress: on a terminal as one line that
// redraws itself, elsewhere as a line for each file; --progress draws the
// line wherever standard error goes, --no-progress shows none.
enum class ProgressChoice { ByTerminal, Always, Never };

struct Options {
    int32_t vendorId = 0x16D0;
    int32_t productId = 0x064E;
    int32_t usagePage = 0xFFB2;
    int32_t usage = -1;
    int32_t timeoutMs = -1;  // -1: none given (a bare number: milliseconds for cmd and term, seconds for wait and flash)
    bool sim = false;
    std::string simDir;
    std::string simMode = "app";
    bool simUnquoted = false;
    std::vector<std::string> devices;  // each --device, in the order given
    bool all = false;
    bool recursive = false;
    bool parents = false;  // mkdir -p
    bool deleteExtra = false;
    bool dryRun = false;
    bool quiet = false;
    bool verbose = false;  // -v: each command the library sends, on standard error
    std::string tracePath;  // --trace: every report of the unit's handle, as pcapng
    ProgressChoice progress = ProgressChoice::ByTerminal;
    bool verify = false;        // get, put, pull, push: read each copy back and compare
    int32_t modifyWindowMs = -1;  // pull, push: times this close are one (-1: none given, 2 s)
    bool waitAfter = false;     // flash --wait: for the device to come back
    bool watch = false;         // devices --watch: each unit arriving and leaving, until interrupted
    bool background = false;  // mount -b
    std::string mountOptions;  // mount -o: "nonempty" or nothing
    bool longForm = false;
    bool json = false;
    bool help = false;
    bool version = false;
    std::string command;
    std::vector<std::string> args;
};

// ---- output: whole lines, prefixed by the unit's serial number under --all ----
class Console {
public:
    explicit Console(std::string Prefix = std::string()) : prefix_(std::move(Prefix)) {}
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    void Out(const std::string& Text);  // standard output
    void Err(const std::string& Text);  // standard error
    // A JSON document of the unit's on standard output: as it is for one
    // unit; under --all (a prefix) one line {"unit": UNIT, "result": DOC}
    // for each unit, so that every line parses.
    void Json(const std::string& Unit, const std::string& Doc);
    // One line on standard error: "zqk: " and the message.
    void Failed(const std::string& Message) { Err("zqk: " + Message + "\n"); }
    void Flush();

private:
    void Write(std::FILE* Stream, std::string& Pending, const std::string& Text);

    std::string prefix_;
    std::string pendingOut_, pendingErr_;
};

// ---- the device, real or simulated ----
// Sets the matching values of the options for finding and opening devices.
void SetMatching(const Options& Opts);
// Opens the one device the options choose (--device, --sim, or the first
// attached that matches the options' matching values, saying which on
// standard error when there are several) and
// returns its handle for the zqkDev... functions; throws Failure when it
// cannot be opened. The caller closes it with zqkDevClose.
int32_t OpenChosenDevice(const Options& Opts);
// What --all runs on: every attached unit and every --device given.
std::vector<std::string> AllChosenDevices(const Options& Opts);
// The device path or serial number that --device and --sim give, "" for none.
std::string ChosenDevice(const Options& Opts);
// The matching values: "vendor 0x16D0, product 0x064E, usage page 0xFFB2, usage any".
std::string MatchingText();
// Why the calling thread's last library call failed, as the library says it.
std::string StatusText();
ExitCode ExitCodeOf(int32_t Status);
// What a device path names for a message: the device's "No path" means a
// Folder itself is missing, and the folder above an Entry.
enum class PathKind { Entry, Folder };
// A Failure of What ("cannot list") on Path, with the library's reason for
// the last call in words (FailureMessage).
Failure DeviceFailure(const std::string& What, const std::string& Path = std::string(), PathKind Kind = PathKind::Entry);

// ---- messages (messages.cpp) ----
// "What: Why", or Why alone where it starts with What already.
std::string Because(const std::string& What, const std::string& Why);
// What failed on Path for the library's Status and Text: a device that said
// a file or folder is not there as "no such folder: PATH (the device said
// 5:No path)", another refusal as "WHAT PATH: it exists already (the device
// said 8:Exist)", anything else with the library's reason, but without the
// protocol's commands in it.
std::string FailureMessage(const std::string& What, const std::string& Path, int32_t Status, const std::string& Text,
                           PathKind Kind = PathKind::Entry);

// One unit that a command runs on.
struct Unit {
    int32_t handle = 0;
    std::string serial;  // as the device gives it
    Console& console;
};

// Starts the handle's trace in Path (none when empty); a trace that cannot be
// made fails the unit's run.
void TraceUnit(int32_t Handle, const std::string& Path);

// The handle's path and USB strings through the buffer-return convention.
std::string UnitPath(int32_t Handle);
std::string UnitString(int32_t Handle, int32_t Type);

// ---- the device's file system ----
struct Entry {
    std::string name;
    int32_t size = 0, attributes = 0;
    int64_t time = 0;  // the device's seconds (DeviceSeconds)
    bool IsDir() const { return (attributes & 0x10) != 0; }
};
// Whether the device takes names in double quotes (its string 204 holds
// ".nfi."); firmware without them stores every blank of a name as "_".
bool QuotesNames(int32_t Handle);
// The name the device stores when it is sent Name.
std::string StoredName(const std::string& Name, bool Quoted);
// The entries of a device directory; throws Failure when it cannot be listed.
// Lines the device printed that are no entry are left out and, where
// Unreadable is given, counted there: a folder with such a line is not
// fully known, so nothing may be judged missing from it.
std::vector<Entry> Listing(int32_t Handle, const std::string& Path, int32_t* Unreadable = nullptr);
// A device file into memory: room for SizeHint bytes, and once more with room
// for what it holds when that was too little (the handle keeps the file for
// that call, so it crosses the link once). False when it could not be read;
// zqkLastStatus says why.
bool ReadDeviceFile(int32_t Handle, const std::string& Path, int64_t SizeHint, std::string& Data);
// "-" for a local file: standard input or output.
constexpr const char* kStandardStream = "-";

// ---- times (device_time.cpp): the device counts seconds of its local time
// as if they were UTC, kept to two seconds ----
// A time the library gives: its 32 bits are unsigned, so dates after 2038 fit.
int64_t DeviceSeconds(int32_t Raw);
// A device time as the library takes it (zqkDevFileWriteAt, zqkDateToText),
// clamped to what 32 unsigned bits hold.
int32_t DeviceTimeArgument(int64_t DeviceTime);
// A local Unix time as the device counts it, and back.
int64_t DeviceTimeOf(int64_t UnixSeconds);
int64_t UnixTimeOf(int64_t DeviceTime);
// Whether two device times are one time as the device keeps it.
bool SameDeviceTime(int64_t A, int64_t B);

// ---- progress of the whole job, one display for every unit ----
class ProgressMeter;  // progress.cpp
// How the job shows its progress, from the options, before it starts.
void ChooseProgress(const Options& Opts);
// Starts a job of Files files and Bytes bytes (several units add theirs).
void PlanProgress(int64_t Files, int64_t Bytes);
// The transfer of one file on a unit: progress from the library's callback
// goes to the job's display on a terminal, to lines on standard error
// otherwise, to nothing with Quiet. Label starts each line.
class FileProgress {
public:
    FileProgress(Unit& U, const std::string& Label, const std::string& Name, bool Quiet);
    ~FileProgress();
    FileProgress(const FileProgress&) = delete;
    FileProgress& operator=(const FileProgress&) = delete;
    void Done();  // the file is complete (also when it failed)

private:
    Unit& unit_;
    ProgressMeter* meter_;
};
// Ends the display of the job, taking the progress line away.
void EndProgress();

// ---- subcommands ----
// On one unit each (under --all, on every unit at once).
int Info(Unit& U, const Options& Opts);
int List(Unit& U, const Options& Opts);
int Get(Unit& U, const Options& Opts);
int Put(Unit& U, const Options& Opts);
int Pull(Unit& U, const Options& Opts);
int Push(Unit& U, const Options& Opts);
int Flash(Unit& U, const Options& Opts);
int Cat(Unit& U, const Options& Opts);
int Remove(Unit& U, const Options& Opts);
int MakeDir(Unit& U, const Options& Opts);
int RemoveDir(Unit& U, const Options& Opts);
int Move(Unit& U, const Options& Opts);
int Command(Unit& U, const Options& Opts);
int Terminal(Unit& U, const Options& Opts);
// The tool's own, which open what they need themselves.
int Devices(const Options& Opts);
int Wait(const Options& Opts);
// zqk trace FILE: a capture of the unit's reports as text (trace_command.cpp).
int ReadTrace(const Options& Opts);
// zqk mount DIR (mount.cpp where libfuse3 is found, else mount_unavailable.cpp).
int Mount(const Options& Opts);

// ---- the terminal (terminal_posix.cpp, terminal_windows.cpp) ----
// From now on Ctrl-C (and SIGTERM) only ends WaitForInterrupt; called before
// the library starts a thread, which then does not take them either.
void HoldInterrupts();
// Waits for Ctrl-C, or TimeoutMs (negative: no limit).
void WaitForInterrupt(int32_t TimeoutMs);
bool IsTerminal(std::FILE* Stream);
// The width of the terminal or console window Stream shows, 0 when it is none.
size_t TerminalColumns(std::FILE* Stream);
// From now on WindowResized tells, once, of each change of the window's size.
void WatchWindowSize();
bool WindowResized();
// The progress line in fewer than Columns characters (a terminal wraps a
// line that fills its last column): Path gives way first, from its front so
// that the file's name stays, then the bar, then the end of the figures.
std::string FittedLine(const std::string& Bar, const std::string& Figures, const std::string& Path, size_t Columns);

// ---- text helpers ----
// Text as a JSON string: UTF-8 as it is, another byte as the lone surrogate \udcXX.
std::string JsonString(const std::string& Text);
std::string HumanSize(double Bytes);
// A name or path as one line of text: control bytes as \xNN.
std::string Shown(const std::string& Text);

}  // namespace zqktool
