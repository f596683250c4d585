// zqk: the zq.keeper device from the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

#include "device_path.h"
#include "step_log.h"
#include "subcommands.h"
#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

namespace {

int32_t Number(const std::string& option, const std::string& text)
{
    if (text == "any")
        return -1;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || value < INT32_MIN || value > INT32_MAX)
        throw Failure(kUsage, option + " wants a number, not \"" + text + "\"");
    return static_cast<int32_t>(value);
}

// A time as "500ms", "2s", "1.5m" or "1h"; a bare number counts in
// BareUnitMs. The milliseconds, at most what the library's 32 bits take.
int32_t Milliseconds(const std::string& option, const std::string& text, double bareUnitMs, const char* bareUnit)
{
    static const struct {
        const char* suffix;
        double ms;
    } kUnits[] = {{"ms", 1}, {"s", 1000}, {"m", 60000}, {"h", 3600000}};
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    double unitMs = *end == '\0' ? bareUnitMs : 0;
    for (const auto& unit : kUnits)
        if (std::strcmp(end, unit.suffix) == 0)
            unitMs = unit.ms;
    const double ms = value * unitMs;
    if (end == text.c_str() || unitMs == 0 || !(ms >= 0) || ms > INT32_MAX)
        throw Failure(kUsage, option + " wants a time such as 500ms, 2s or 1m (a bare number is " + bareUnit +
                                  " here), not \"" + text + "\"");
    return static_cast<int32_t>(ms + 0.5);
}

// What a bare number of --timeout counts: seconds where the tool waits for a
// device, milliseconds of silence for the terminal's commands.
void TakeTimeout(Options& opts, const std::optional<std::string>& text)
{
    if (!text)
        return;
    const bool seconds = opts.command == "wait" || opts.command == "flash" || opts.command == "devices";
    opts.timeoutMs = seconds ? Milliseconds("--timeout", *text, 1000, "seconds")
                             : Milliseconds("--timeout", *text, 1, "milliseconds");
}

// "--name=value" is "--name value"; a value given so to an option that
// takes none is wrong.
struct Argument {
    std::string name, inlineValue;
    bool hasInline = false;
};

Argument Split(const std::string& arg)
{
    const size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") != 0 || equals == std::string::npos)
        return {arg, std::string(), false};
    return {arg.substr(0, equals), arg.substr(equals + 1), true};
}

Options Parse(int argc, char** argv)
{
    Options opts;
    std::optional<std::string> timeout;  // known once the command is
    for (int i = 1; i < argc; ++i) {
        const Argument split = Split(argv[i]);
        const std::string& arg = split.name;
        bool taken = !split.hasInline;
        auto value = [&]() -> std::string {
            taken = true;
            if (split.hasInline)
                return split.inlineValue;
            if (i + 1 >= argc)
                throw Failure(kUsage, arg + " wants a value");
            return argv[++i];
        };
        if (arg == "--vid")
            opts.vendorId = Number(arg, value());
        else if (arg == "--pid")
            opts.productId = Number(arg, value());
        else if (arg == "--usage-page")
            opts.usagePage = Number(arg, value());
        else if (arg == "--usage")
            opts.usage = Number(arg, value());
        else if (arg == "--timeout")
            timeout = value();
        else if (arg == "--device" || arg == "-d")
            opts.devices.push_back(value());
        else if (arg == "--all")
            opts.all = true;
        else if (arg == "--sim")
            opts.sim = true;
        else if (arg == "--sim-dir")
            opts.simDir = value(), opts.sim = true;
        else if (arg == "--sim-mode")
            opts.simMode = value(), opts.sim = true;
        else if (arg == "--sim-unquoted")
            opts.simUnquoted = true, opts.sim = true;
        else if (arg == "--recursive" || arg == "-r")
            opts.recursive = true;
        else if (arg == "--parents" || arg == "-p")
            opts.parents = true;
        else if (arg == "--delete")
            opts.deleteExtra = true;
        else if (arg == "--dry-run" || arg == "-n")
            opts.dryRun = true;
        else if (arg == "--quiet" || arg == "-q")
            opts.quiet = true;
        else if (arg == "--progress")
            opts.progress = ProgressChoice::Always;
        else if (arg == "--no-progress")
            opts.progress = ProgressChoice::Never;
        else if (arg == "--verbose" || arg == "-v")
            opts.verbose = true;
        else if (arg == "--trace")
            opts.tracePath = value();
        else if (arg == "--verify")
            opts.verify = true;
        else if (arg == "--modify-window")
            opts.modifyWindowMs = Milliseconds(arg, value(), 1000, "seconds");
        else if (arg == "--wait")
            opts.waitAfter = true;
        else if (arg == "--watch")
            opts.watch = true;
        else if (arg == "-b")
            opts.background = true;
        else if (arg == "-o")
            opts.mountOptions = value();
        else if (arg == "--long" || arg == "-l")
            opts.longForm = true;
        else if (arg == "--json")
            opts.json = true;
        else if (arg == "--help" || arg == "-h")
            opts.help = true;
        else if (arg == "--version")
            opts.version = true;
        else if (std::strcmp(argv[i], "--") == 0)
            for (++i; i < argc; ++i)
                (opts.command.empty() ? opts.command : opts.args.emplace_back()) = argv[i];
        else if (arg.size() > 1 && arg[0] == '-' && opts.command != "cmd")
            throw Failure(kUsage, "unknown option " + arg + " (zqk --help lists them)");
        else if (opts.command.empty())
            opts.command = arg;
        else
            opts.args.push_back(argv[i]), taken = true;  // as given: a line for cmd may hold "="
        if (!taken)
            throw Failure(kUsage, arg + " takes no value (\"" + std::string(argv[i]) + "\")");
    }
    TakeTimeout(opts, timeout);
    return opts;
}

// Options that only some commands take are wrong elsewhere.
void CheckOptions(const Options& Opts, const Subcommand& Command)
{
    const bool given[] = {Opts.recursive, Opts.deleteExtra, Opts.dryRun, Opts.background, Opts.parents,
                          !Opts.mountOptions.empty(), Opts.json, Opts.verify, Opts.modifyWindowMs >= 0,
                          Opts.waitAfter, Opts.watch};
    static_assert(sizeof given / sizeof given[0] == sizeof kRestrictedOptions / sizeof kRestrictedOptions[0],
                  "one flag for each restricted option");
    for (size_t i = 0; i < sizeof given / sizeof given[0]; ++i) {
        const std::string option = kRestrictedOptions[i];
        bool taken = false;
        for (const char* o : Command.options)
            taken = taken || option == o;
        if (given[i] && !taken)
            throw Failure(kUsage, option + " applies to " + CommandsTaking(option) + " only");
    }
    if (Opts.all && (!Command.onUnit || Opts.command == "term" || Opts.command == "cat"))
        throw Failure(kUsage, "--all does not apply to " + Opts.command);
    if (Opts.args.size() < Command.least || Opts.args.size() > Command.most)
        throw Failure(kUsage, UsageLineOf(Command));
}

// A serial number as part of a local path: letters, digits, "-", "_" and
// "." only, so that a device cannot name a path of its choosing.
std::string PathSafe(const std::string& serial)
{
    std::string safe;
    for (const char c : serial) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || c == '.';
        safe += plain ? c : '_';
    }
    if (safe.empty() || safe.find_first_not_of('.') == std::string::npos)
        safe = "unit";
    return safe;
}

std::vector<std::string*> ArgumentsOf(Options& Opts)
{
    std::vector<std::string*> arguments {&Opts.tracePath};
    for (std::string& arg : Opts.args)
        arguments.push_back(&arg);
    return arguments;
}

// The options for one unit: {serial} in each argument is its serial number.
Options ForUnit(Options Opts, const std::string& serial)
{
    for (std::string* arg : ArgumentsOf(Opts))
        for (size_t at; (at = arg->find("{serial}")) != std::string::npos;)
            arg->replace(at, 8, serial);
    return Opts;
}

// One unit's run: its failure is one line, its result an exit status.
// Under -v, Steps tells the conversation; it has its last steps once the
// handle is closed.
int RunUnit(UnitCommand Run, int32_t Handle, const std::string& Serial, Console& Out, const Options& Opts,
            StepLog& Steps)
{
    Unit unit {Handle, Serial, Out};
    int status = kOk;
    try {
        const Options forUnit = ForUnit(Opts, PathSafe(Serial));
        if (Opts.verbose)
            Steps.Start(Handle, forUnit.tracePath);
        else
            TraceUnit(Handle, forUnit.tracePath);  // until the handle is closed
        status = Run(unit, forUnit);
    } catch (const Failure& failure) {
        Out.Failed(failure.what());
        status = failure.code;
    } catch (const std::exception& error) {
        Out.Failed(error.what());
        status = kFailed;
    }
    Steps.Unhook(Handle);  // Out ends with the run
    return status;
}

int RunOnOne(UnitCommand Run, const Options& Opts)
{
    const int32_t handle = OpenChosenDevice(Opts);
    Console console;
    StepLog steps(console);
    const int status = RunUnit(Run, handle, UnitString(handle, 0), console, Opts, steps);
    console.Flush();
    EndProgress();
    zqkDevClose(handle);
    steps.Finish();
    return status;
}

struct OpenedUnit {
    int32_t handle = 0;
    std::string name;  // its serial number, made unique and safe in a path
};

// A name for each unit that no other unit has, not even without regard to
// case (as a local folder may see them): a serial number that repeats gets
// the first free "-2", "-3"... that is no other unit's serial number, so
// that a unit "X-2" and a second "X" stay apart.
std::vector<std::string> UnitNames(const std::vector<std::string>& serials)
{
    std::set<std::string> serialsTaken, used;
    for (const std::string& serial : serials)
        serialsTaken.insert(FoldedCase(PathSafe(serial)));
    std::vector<std::string> names;
    for (const std::string& serial : serials) {
        const std::string base = PathSafe(serial);
        std::string name = base;
        for (int n = 2; used.count(FoldedCase(name)) != 0; ++n) {
            name = base + "-" + std::to_string(n);
            if (serialsTaken.count(FoldedCase(name)) != 0)
                name = base;  // another unit's own: try the next
        }
        used.insert(FoldedCase(name));
        names.push_back(name);
    }
    return names;
}

// The local path that a command writes, where it writes one: several units
// must each have their own, through {serial}.
void CheckLocalTargetPerUnit(const Options& Opts, size_t Units)
{
    if (Units > 1 && !Opts.tracePath.empty() && Opts.tracePath.find("{serial}") == std::string::npos)
        throw Failure(kUsage, "--all on " + std::to_string(Units) + " units traces every unit to " +
                                  Shown(Opts.tracePath) + "; put {serial} into the trace's name");
    std::string target;
    if (Opts.command == "get")
        target = Opts.args.size() > 1 ? Opts.args.back() : ".";
    else if (Opts.command == "pull")
        target = Opts.args.back();
    else
        return;
    if (Units > 1 && target.find("{serial}") == std::string::npos)
        throw Failure(kUsage, "--all on " + std::to_string(Units) + " units writes every unit's files to " +
                                  Shown(target) + "; put {serial} into the local target to give each unit its own");
}

// Every unit at once, each on a thread of its own with a handle of its own.
int RunOnAll(UnitCommand Run, const Options& Opts)
{
    const std::vector<std::string> chosen = AllChosenDevices(Opts);
    if (chosen.empty())
        throw Failure(kNoDevice, "no device found (looked for " + MatchingText() + "); --device or --sim adds one");
    CheckLocalTargetPerUnit(Opts, chosen.size());
    int worst = kOk;
    std::vector<OpenedUnit> units;
    std::vector<std::string> serials;
    for (const std::string& device : chosen) {
        const int32_t handle = zqkDevOpen(device.c_str());
        if (handle <= 0) {
            Console("[" + Shown(device) + "] ").Failed(StatusText());
            worst = std::max<int>(worst, ExitCodeOf(zqkLastStatus()));
            continue;
        }
        units.push_back({handle, std::string()});
        serials.push_back(UnitString(handle, 0));
    }
    const std::vector<std::string> names = UnitNames(serials);
    for (size_t i = 0; i < units.size(); ++i)
        units[i].name = names[i];
    std::vector<int> statuses(units.size(), kOk);
    std::vector<std::unique_ptr<Console>> consoles;
    std::vector<std::unique_ptr<StepLog>> steps;
    for (const OpenedUnit& unit : units) {
        consoles.push_back(std::make_unique<Console>("[" + unit.name + "] "));
        steps.push_back(std::make_unique<StepLog>(*consoles.back()));
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < units.size(); ++i)
        threads.emplace_back([&, i] {
            statuses[i] = RunUnit(Run, units[i].handle, units[i].name, *consoles[i], Opts, *steps[i]);
            consoles[i]->Flush();
        });
    for (std::thread& thread : threads)
        thread.join();
    EndProgress();
    for (size_t i = 0; i < units.size(); ++i) {
        zqkDevClose(units[i].handle);
        steps[i]->Finish();
        worst = std::max(worst, statuses[i]);
    }
    return worst;
}

// The tool is the release of the header it was built with; the library
// says which release it is.
void PrintVersion()
{
    const int32_t library = zqkVersion();
    std::printf("zqk %s (library %d.%d.%d)\n", ZQK_VERSION_STR, library >> 16, (library >> 8) & 0xFF, library & 0xFF);
}

int Run(int argc, char** argv)
{
    const Options opts = Parse(argc, argv);
    if (opts.version) {
        PrintVersion();
        return kOk;
    }
    if (opts.command.empty()) {
        if (!opts.help)
            throw Failure(kUsage, "no command given (zqk --help lists them)");
        std::fputs(UsageText().c_str(), stdout);
        return kOk;
    }
    const Subcommand* command = FindSubcommand(opts.command);
    if (!command)
        throw Failure(kUsage, "unknown command \"" + opts.command + "\" (zqk --help lists them)");
    if (opts.help) {
        std::fputs(HelpOf(*command).c_str(), stdout);
        return kOk;
    }
    const Subcommand& chosen = *command;
    CheckOptions(opts, chosen);
    ChooseProgress(opts);
    if (chosen.own)
        return chosen.own(opts);
    SetMatching(opts);
    return opts.all ? RunOnAll(chosen.onUnit, opts) : RunOnOne(chosen.onUnit, opts);
}

}  // namespace

}  // namespace zqktool

int main(int argc, char** argv)
{
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);  // device output goes out byte for byte
    _setmode(_fileno(stdin), _O_BINARY);   // and put - takes its bytes as they are
    // The progress line redraws itself with terminal escapes.
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(console, &mode))
        SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#endif
    try {
        return zqktool::Run(argc, argv);
    } catch (const zqktool::Failure& failure) {
        std::fprintf(stderr, "zqk: %s\n", failure.what());
        return failure.code;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zqk: %s\n", error.what());
        return zqktool::kFailed;
    }
}
