// zqk: the zq.keeper device from the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

namespace {

const char* const kUsageText = R"(usage: zqk [OPTIONS] COMMAND [ARGS]

Drives a zq.keeper data buffer attached by USB, or a simulated one (--sim).

Commands:
  info                        the device's path, USB strings, run mode and matching values
  ls [PATH]                   list a device directory (--long, --json for other forms)
  get DEVICE-PATH [LOCAL]     copy a device file to a local file
  put LOCAL [DEVICE-PATH]     copy a local file to the device (default: /NAME)
  flash IMAGE                 load a firmware image into the device
  rm PATH                     delete a device file
  mkdir PATH                  make a device directory
  rmdir PATH                  remove a device directory with its contents
  mv OLD NEW                  rename a device file or directory
  cmd LINE...                 run terminal commands and print their output
  term                        an interactive session with the device's terminal
  mount [-b] DIR              show the device's files in the local folder DIR (Linux, FUSE 3)

Options:
  --vid N, --pid N            USB vendor and product ID to look for (default 0x16D0, 0x064E)
  --usage-page N, --usage N   HID usage page and usage (default 0xFFB2, any); -1 or "any" matches all
  --timeout MS                silence that ends a command's output (default 2000)
  --sim                       use the simulated device instead of a real one
  --sim-dir DIR               where the simulated device keeps its files
                              (default: a folder of this user's, seeded with a demo tree)
  --sim-mode MODE             firmware the simulated device runs: app, bootloader or ate
  --sim-unquoted              the simulated device takes no quoted names
  -h, --help                  this text; "zqk COMMAND --help" explains a command
  --version                   the versions of the tool and of the library

Exit status: 0 done, 1 the device refused or a transfer failed, 2 wrong arguments,
3 no device found, 4 another program holds the device lock, 5 a local file failed.
)";

const std::map<std::string, const char*> kCommandHelp = {
    {"info", "usage: zqk info\n\nOpens the device and shows its path, manufacturer, product, serial number,\n"
             "the firmware that runs (application, boot loader, ATE), whether it takes names\n"
             "in quotes, the matching values used and its indexed USB strings.\n"},
    {"ls", "usage: zqk ls [PATH] [--long | --json]\n\nLists a device directory (default: the root) as a table of name, size,\n"
           "attributes and date. --long adds the attribute bits and Unix time; --json prints\n"
           "an array of objects.\n"},
    {"get", "usage: zqk get DEVICE-PATH [LOCAL]\n\nCopies a device file to LOCAL (default: its name in this folder), with progress\n"
            "on standard error. An existing local file is replaced only once the copy is\n"
            "complete.\n"},
    {"put", "usage: zqk put LOCAL [DEVICE-PATH]\n\nCopies a local file to the device (default: /NAME), with progress on standard\n"
            "error. An empty local file sends nothing.\n"},
    {"flash", "usage: zqk flash IMAGE\n\nLoads a firmware image into the device, with progress on standard error. The\n"
              "image goes by its file name in lower case.\n"},
    {"rm", "usage: zqk rm PATH\n\nDeletes a device file.\n"},
    {"mkdir", "usage: zqk mkdir PATH\n\nMakes a device directory.\n"},
    {"rmdir", "usage: zqk rmdir PATH\n\nRemoves a device directory and everything in it.\n"},
    {"mv", "usage: zqk mv OLD NEW\n\nRenames a device file or directory.\n"},
    {"cmd", "usage: zqk cmd LINE...\n\nRuns each LINE as a command on the device's terminal and prints its output up\n"
            "to the device's prompt. --timeout sets how long a silence ends an output.\n"},
    {"mount", "usage: zqk mount [-b] DIR\n\nShows the device's file system in the local folder DIR, for any program, until\n"
              "it is unmounted (fusermount3 -u DIR) or interrupted (Ctrl-C); -b mounts it in\n"
              "the background. A file is fetched whole when it is first read, and one written\n"
              "is sent whole, with its time, when it is closed or synced. The device keeps\n"
              "times to 2 seconds and no folder's time (rsync: --modify-window=1 -O), keeps\n"
              "no empty files (closing one fails with \"Operation not supported\"), and has no\n"
              "command that sets attributes: chmod and chown are accepted and change nothing;\n"
              "a read-only file shows no write permission. When the device goes away, every\n"
              "call fails with EIO until it is unmounted. Needs FUSE 3 (/dev/fuse,\n"
              "fusermount3); other builds say that it is not available.\n"},
    {"term", "usage: zqk term\n\nAn interactive session with the device's terminal: each line typed runs as a\n"
             "command and its output is shown. A line holding ESC (or \\e) sends an escape and\n"
             "tells whether the device asks for a password. End of input (Ctrl-D) leaves.\n"},
};

const std::map<std::string, int (*)(const Options&)> kCommands = {
    {"info", Info},    {"ls", List},         {"get", Get},   {"put", Put},       {"flash", Flash}, {"rm", Remove},
    {"mkdir", MakeDir}, {"rmdir", RemoveDir}, {"mv", Move}, {"cmd", Command}, {"term", Terminal},
    {"mount", Mount},
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
            opts.timeout = Number(arg, value());
        else if (arg == "--device" || arg == "-d")  // STAND-IN for the handles' branch: drop at the merge
            opts.device = value();
        else if ((arg == "-b" || arg == "--background") && opts.command == "mount")
            opts.background = true;
        else if (arg == "--sim")
            opts.sim = true;
        else if (arg == "--sim-dir")
            opts.simDir = value(), opts.sim = true;
        else if (arg == "--sim-mode")
            opts.simMode = value(), opts.sim = true;
        else if (arg == "--sim-unquoted")
            opts.simUnquoted = true, opts.sim = true;
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
    // A mount opens a device handle of its own, after -b in the process that serves it.
    if (opts.command == "mount")
        return command->second(opts);
    OpenDevice(opts);
    const int status = command->second(opts);
    FinishDevice();
    return status;
}

}  // namespace

}  // namespace zqktool

int main(int argc, char** argv)
{
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);  // device output goes out byte for byte
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
