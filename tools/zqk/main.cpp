// zqk: the zq.keeper device from the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <climits>
#include <map>
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
#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

namespace {

const char* const kUsageText = R"(usage: zqk [OPTIONS] COMMAND [ARGS]

Drives zq.keeper data buffers attached by USB, one or all of them at once, or a
simulated one (--sim).

Commands:
  devices                     list the attached units: path, serial number, product
  wait                        wait until a unit (the one of --device, if given) is present
  info                        the device's path, USB strings, run mode and matching values
  ls [PATH]                   list a device directory (--long, --json for other forms)
  get DEVICE-PATH... [LOCAL]  copy device files (-r: folders) to a local file or folder
  put LOCAL... [DEVICE-PATH]  copy local files (-r: folders) to the device (default: /)
  pull DEVICE-DIR LOCAL-DIR   mirror a device folder into a local folder
  push LOCAL-DIR DEVICE-DIR   mirror a local folder onto the device
  flash IMAGE                 load a firmware image into the device
  rm PATH                     delete a device file
  mkdir PATH                  make a device directory
  rmdir PATH                  remove a device directory with its contents
  mv OLD NEW                  rename a device file or directory
  cmd LINE...                 run terminal commands and print their output
  term                        an interactive session with the device's terminal
  mount [-b] DIR              the device's files as a folder at DIR (Linux, FUSE 3)

Choosing the device:
  -d, --device PATH|SERIAL|sim:DIR
                              the unit to use: a path that "zqk devices" shows, a serial
                              number, or a simulated device's folder; may be given several
                              times with --all
  --all                       run the command on every attached unit and every --device,
                              in parallel; each output line starts with [SERIAL], and
                              {serial} in an argument stands for the unit's serial number
                              (get and pull on several units need it in the local target)
  --vid N, --pid N            USB vendor and product ID to look for (default 0x16D0, 0x064E)
  --usage-page N, --usage N   HID usage page and usage (default 0xFFB2, any); -1 or "any" matches all
  --sim                       use the simulated device instead of a real one
  --sim-dir DIR               where the simulated device keeps its files
                              (default: a folder of this user's, seeded with a demo tree)
  --sim-mode MODE             firmware the simulated device runs: app, bootloader or ate
  --sim-unquoted              the simulated device takes no quoted names

Copying:
  -r, --recursive             get, put: copy folders with everything in them
  --delete                    pull, push: delete what the source no longer has
  -n, --dry-run               get, put, pull, push: only say what would be done
  -q, --quiet                 no progress, no line for each file and no summary

Other options:
  --timeout N                 cmd, term: the milliseconds of silence that end a command's
                              output (default 2000); wait: the seconds to wait (default: no limit)
  -l, --long                  ls: with attribute bits and Unix times
  --json                      ls, devices: as JSON
  -b                          mount: go to the background once mounted
  -h, --help                  this text; "zqk COMMAND --help" explains a command
  --version                   the versions of the tool and of the library

Exit status: 0 done, 1 the device refused or a transfer failed, 2 wrong arguments,
3 no device found, 4 another program holds the device lock, 5 a local file failed.
With --all, the highest status of the units.
)";

const std::map<std::string, const char*> kCommandHelp = {
    {"devices", "usage: zqk devices [--json]\n\nLists the attached units that match the matching values: path, serial number\n"
                "and product (--json: an array of objects). Exits with 3 when there are none.\n"
                "Simulated devices are never attached; --all runs on them when --device names them.\n"},
    {"wait", "usage: zqk wait [--timeout S]\n\nReturns as soon as a unit is present: the one of --device when given, else any\n"
             "that matches. --timeout gives up after S seconds, with exit status 3.\n"},
    {"info", "usage: zqk info\n\nOpens the device and shows its path, manufacturer, product, serial number,\n"
             "the firmware that runs (application, boot loader, ATE), whether it takes names\n"
             "in quotes, the matching values used and its indexed USB strings.\n"},
    {"ls", "usage: zqk ls [PATH] [--long | --json]\n\nLists a device directory (default: the root) as a table of name, size,\n"
           "attributes and date. --long adds the attribute bits and Unix time; --json prints\n"
           "an array of objects.\n"},
    {"get", "usage: zqk get [-r] [-n] [-q] DEVICE-PATH... [LOCAL]\n\n"
            "Copies device files to local ones, with progress on standard error. The last\n"
            "part of a DEVICE-PATH may hold * and ? (quote them from the shell), matched\n"
            "against the listing without regard to case. -r copies folders with all in them.\n"
            "One file becomes LOCAL, or goes into it when LOCAL is a folder; one folder (-r)\n"
            "becomes LOCAL (made when missing, added to when it exists); several sources or\n"
            "a pattern go by name into the folder LOCAL, made when missing. Without LOCAL,\n"
            "everything goes into this folder. An existing file is replaced only once its\n"
            "copy is complete. Names from the device that cannot be local file names (a\n"
            "\"/\" or \"\\\" in them, a control byte, \".\" or \"..\") are refused, each with a\n"
            "line on standard error; nothing is written outside the target.\n"},
    {"put", "usage: zqk put [-r] [-n] [-q] LOCAL... [DEVICE-PATH]\n\n"
            "Copies local files to the device, with progress on standard error; the targets\n"
            "are chosen as for get (without DEVICE-PATH: into the root). -r copies folders\n"
            "with all in them, making missing device folders. An empty local file sends\n"
            "nothing. Local names that differ only in case, which the device does not tell\n"
            "apart, are reported and the second is not sent.\n"},
    {"pull", "usage: zqk pull [--delete] [-n] [-q] DEVICE-DIR LOCAL-DIR\n\n"
             "Mirrors the device folder DEVICE-DIR into LOCAL-DIR (made when missing): files\n"
             "whose size or time differ are copied and get the device's time stamp as their\n"
             "modification time, so that a second run copies nothing. --delete removes local\n"
             "files and folders that the device does not have (nothing in a folder whose\n"
             "listing was cut short or holds a line that is no entry); -n only says what would\n"
             "happen. Names are refused as by get; names that differ only in case, in a local\n"
             "folder that does not tell case apart, are reported and not copied over each other.\n"},
    {"push", "usage: zqk push [--delete] [-n] [-q] LOCAL-DIR DEVICE-DIR\n\n"
             "Mirrors the local folder LOCAL-DIR onto the device folder DEVICE-DIR (made when\n"
             "missing): files whose size or time differ are sent with the local file's\n"
             "modification time as their time stamp, so that a second run sends nothing.\n"
             "--delete removes what the device has and LOCAL-DIR does not; -n only says what\n"
             "would happen. Symbolic links are not followed. Local names the device would\n"
             "read as a path (\"\\\", a control byte, \".\", \"..\") or store as another's are\n"
             "refused.\n"},
    {"flash", "usage: zqk flash IMAGE\n\nLoads a firmware image into the device, with progress on standard error. The\n"
              "image goes by its file name in lower case.\n"},
    {"rm", "usage: zqk rm PATH\n\nDeletes a device file.\n"},
    {"mkdir", "usage: zqk mkdir PATH\n\nMakes a device directory.\n"},
    {"rmdir", "usage: zqk rmdir PATH\n\nRemoves a device directory and everything in it.\n"},
    {"mv", "usage: zqk mv OLD NEW\n\nRenames a device file or directory.\n"},
    {"cmd", "usage: zqk cmd LINE...\n\nRuns each LINE as a command on the device's terminal and prints its output up\n"
            "to the device's prompt. --timeout sets how long a silence ends an output.\n"},
    {"term", "usage: zqk term\n\nAn interactive session with the device's terminal: each line typed runs as a\n"
             "command and its output is shown. A line holding ESC (or \\e) sends an escape and\n"
             "tells whether the device asks for a password. End of input (Ctrl-D) leaves.\n"},
    {"mount", "usage: zqk mount [-b] DIR\n\nShows the device's file system as a folder at DIR for every program, until it\n"
              "is unmounted (fusermount3 -u DIR) or interrupted (Ctrl-C); -b goes to the\n"
              "background once mounted. Linux, where the tool is built with FUSE 3.\n"},
};

using UnitCommand = int (*)(Unit&, const Options&);
using ToolCommand = int (*)(const Options&);

struct CommandInfo {
    size_t least, most;     // arguments
    const char* synopsis;
    UnitCommand onUnit;     // on one unit, or on each with --all
    ToolCommand own;        // opens what it needs itself
};

constexpr size_t kAny = SIZE_MAX;

const std::map<std::string, CommandInfo> kCommands = {
    {"devices", {0, 0, "devices [--json]", nullptr, Devices}},
    {"wait", {0, 0, "wait [--timeout S]", nullptr, Wait}},
    {"info", {0, 0, "info", Info, nullptr}},
    {"ls", {0, 1, "ls [PATH] [--long | --json]", List, nullptr}},
    {"get", {1, kAny, "get [-r] DEVICE-PATH... [LOCAL]", Get, nullptr}},
    {"put", {1, kAny, "put [-r] LOCAL... [DEVICE-PATH]", Put, nullptr}},
    {"pull", {2, 2, "pull [--delete] DEVICE-DIR LOCAL-DIR", Pull, nullptr}},
    {"push", {2, 2, "push [--delete] LOCAL-DIR DEVICE-DIR", Push, nullptr}},
    {"flash", {1, 1, "flash IMAGE", Flash, nullptr}},
    {"rm", {1, 1, "rm PATH", Remove, nullptr}},
    {"mkdir", {1, 1, "mkdir PATH", MakeDir, nullptr}},
    {"rmdir", {1, 1, "rmdir PATH", RemoveDir, nullptr}},
    {"mv", {2, 2, "mv OLD NEW", Move, nullptr}},
    {"cmd", {1, kAny, "cmd LINE...", Command, nullptr}},
    {"term", {0, 0, "term", Terminal, nullptr}},
    {"mount", {1, 1, "mount [-b] DIR", nullptr, Mount}},
};

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

Options Parse(int argc, char** argv)
{
    Options opts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
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
            opts.timeout = value();
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
        else if (arg == "--delete")
            opts.deleteExtra = true;
        else if (arg == "--dry-run" || arg == "-n")
            opts.dryRun = true;
        else if (arg == "--quiet" || arg == "-q")
            opts.quiet = true;
        else if (arg == "-b")
            opts.background = true;
        else if (arg == "--long" || arg == "-l")
            opts.longForm = true;
        else if (arg == "--json")
            opts.json = true;
        else if (arg == "--help" || arg == "-h")
            opts.help = true;
        else if (arg == "--version")
            opts.version = true;
        else if (arg == "--")
            for (++i; i < argc; ++i)
                (opts.command.empty() ? opts.command : opts.args.emplace_back()) = argv[i];
        else if (arg.size() > 1 && arg[0] == '-' && opts.command != "cmd")
            throw Failure(kUsage, "unknown option " + arg + " (zqk --help lists them)");
        else if (opts.command.empty())
            opts.command = arg;
        else
            opts.args.push_back(arg);
    }
    return opts;
}

// Options that only some commands take are wrong elsewhere.
void CheckOptions(const Options& Opts, const CommandInfo& Command)
{
    auto only = [&](bool given, const char* option, std::initializer_list<const char*> commands) {
        if (!given)
            return;
        std::string list;
        for (const char* c : commands) {
            if (Opts.command == c)
                return;
            list += (list.empty() ? "" : ", ") + std::string(c);
        }
        throw Failure(kUsage, std::string(option) + " applies to " + list + " only");
    };
    only(Opts.recursive, "-r", {"get", "put"});
    only(Opts.deleteExtra, "--delete", {"pull", "push"});
    only(Opts.dryRun, "--dry-run", {"get", "put", "pull", "push"});
    only(Opts.background, "-b", {"mount"});
    if (Opts.all && (!Command.onUnit || Opts.command == "term"))
        throw Failure(kUsage, "--all does not apply to " + Opts.command);
    if (Opts.args.size() < Command.least || Opts.args.size() > Command.most)
        throw Failure(kUsage, std::string("usage: zqk ") + Command.synopsis);
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

// The options for one unit: {serial} in each argument is its serial number.
Options ForUnit(Options Opts, const std::string& serial)
{
    for (std::string& arg : Opts.args)
        for (size_t at; (at = arg.find("{serial}")) != std::string::npos;)
            arg.replace(at, 8, serial);
    return Opts;
}

// One unit's run: its failure is one line, its result an exit status.
int RunUnit(UnitCommand Run, int32_t Handle, const std::string& Serial, Console& Out, const Options& Opts)
{
    Unit unit {Handle, Serial, Out};
    try {
        return Run(unit, ForUnit(Opts, PathSafe(Serial)));
    } catch (const Failure& failure) {
        Out.Failed(failure.what());
        return failure.code;
    } catch (const std::exception& error) {
        Out.Failed(error.what());
        return kFailed;
    }
}

int RunOnOne(UnitCommand Run, const Options& Opts)
{
    const int32_t handle = OpenChosenDevice(Opts);
    Console console;
    const int status = RunUnit(Run, handle, UnitString(handle, 0), console, Opts);
    console.Flush();
    EndProgress();
    zqkDevClose(handle);
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
    std::vector<std::thread> threads;
    for (size_t i = 0; i < units.size(); ++i)
        threads.emplace_back([&, i] {
            Console console("[" + units[i].name + "] ");
            statuses[i] = RunUnit(Run, units[i].handle, units[i].name, console, Opts);
        });
    for (std::thread& thread : threads)
        thread.join();
    EndProgress();
    for (size_t i = 0; i < units.size(); ++i) {
        zqkDevClose(units[i].handle);
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
        std::fputs(kUsageText, stdout);
        return kOk;
    }
    const auto command = kCommands.find(opts.command);
    if (command == kCommands.end())
        throw Failure(kUsage, "unknown command \"" + opts.command + "\" (zqk --help lists them)");
    if (opts.help) {
        std::fputs(kCommandHelp.at(opts.command), stdout);
        return kOk;
    }
    const CommandInfo& chosen = command->second;
    CheckOptions(opts, chosen);
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
