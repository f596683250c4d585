// The table of subcommands: see subcommands.h.
#include "subcommands.h"

#include <cstdint>
#include <cstdio>

namespace zqktool {

namespace {

constexpr size_t kAny = SIZE_MAX;

const char* const kBeforeCommands = R"(usage: zqk [OPTIONS] COMMAND [ARGS]

Drives zq.keeper data buffers attached by USB, one or all of them at once, or a
simulated one (--sim).

)";

const char* const kAfterCommands = R"(
Every option that takes a value takes it as the next word or after "=":
--device=sim:DIR, --timeout=2s.

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
  -r, --recursive             get, put: copy folders with everything in them;
                              rm, rmdir: remove a directory with everything in it
  -p, --parents               mkdir: make the missing folders above it too
  --delete                    pull, push: delete what the source no longer has
  -n, --dry-run               get, put, pull, push: only say what would be done
  --verify                    get, put, pull, push: read each copy back and compare; one
                              that differs counts as failed
  --modify-window S           pull, push: times that differ by S seconds or less are the
                              same (default 2; 3600 rides over a time zone's change)
  -q, --quiet                 no progress, no line for each file and no summary
  --progress                  the progress line that redraws itself, also when standard
                              error is no terminal (else a line for each file there)
  --no-progress               no progress; the line for each file and the summary stay
  -v, --verbose               each step of the conversation on standard error: the command
                              sent ("> LINE") and the answer ("< 12 lines, prompt")
  --trace FILE                every report to and from the unit, as a pcapng capture in FILE
                              (under --all put {serial} into FILE)

Other options:
  --timeout TIME              a time with its unit: 500ms, 2s, 1m, 1h; cmd, term: the silence
                              that ends a command's output (default 2s; a bare number is
                              milliseconds); wait, devices --watch: how long to wait
                              (default: no limit; a bare number is seconds)
  -l, --long                  ls: with attribute bits and Unix times
  --json                      devices, info, ls, and the summary of get, put, pull, push:
                              as JSON (under --all one line for each unit)
  --wait                      flash: wait for the device to come back after the load
  --watch                     devices: a line for each unit that arrives or leaves
  -b                          mount: go to the background once mounted
  -o nonempty                 mount: also on a folder that holds files
  -h, --help                  this text; "zqk COMMAND --help" explains a command
  --version                   the versions of the tool and of the library

Exit status: 0 done, 1 the device refused or a transfer failed, 2 wrong arguments,
3 no device found, 4 another program holds the device lock, 5 a local file failed.
With --all, the highest status of the units.
)";

const Subcommand kSubcommands[] = {
    {"devices", 0, 0, "", "devices [--watch [--timeout TIME]] [--json]",
     "list the attached units: path, serial number, product",
     "Lists the attached units that match the matching values: path, serial number\n"
     "and product (--json: an array of objects). Exits with 3 when there are none.\n"
     "Simulated devices are never attached; --all runs on them when --device names them.\n"
     "--watch prints a line for each unit present, then one each time a unit arrives\n"
     "or leaves: the local time, \"+\" or \"-\", the path and the serial number (--json:\n"
     "one object per line, {\"time\", \"arrived\", \"path\", \"serial\"}), until Ctrl-C or\n"
     "the --timeout (a bare number is seconds) ends it with exit status 0.\n",
     {"--json", "--watch"}, nullptr, Devices},
    {"wait", 0, 0, "", "wait [--timeout TIME]",
     "wait until a unit (the one of --device, if given) is present",
     "Returns as soon as a unit is present: the one of --device when given, else any\n"
     "that matches. --timeout gives up after TIME (2s, 1m; a bare number is seconds),\n"
     "with exit status 3.\n",
     {}, nullptr, Wait},
    {"info", 0, 0, "", "info [--json]",
     "the device's path, USB strings, run mode and matching values",
     "Opens the device and shows its path, manufacturer, product, serial number,\n"
     "the firmware that runs (application, boot loader, ATE), whether it takes names\n"
     "in quotes, the matching values used and its indexed USB strings.\n",
     {"--json"}, Info, nullptr},
    {"ls", 0, 1, "[PATH]", "ls [PATH] [--long | --json]",
     "list a device directory (--long, --json for other forms)",
     "Lists a device directory (default: the root), or a file as its one entry, as a\n"
     "table of name, size, attributes and date. --long adds the attribute bits and\n"
     "Unix time; --json prints an array of objects.\n",
     {"--json"}, List, nullptr},
    {"get", 1, kAny, "DEVICE-PATH... [LOCAL]", "get [-r] [-n] [-q] [--verify] [--json] DEVICE-PATH... [LOCAL|-]",
     "copy device files (-r: folders) to a local file or folder",
     "Copies device files to local ones, with progress on standard error. The last\n"
     "part of a DEVICE-PATH may hold * and ? (quote them from the shell), matched\n"
     "against the listing without regard to case. -r copies folders with all in them.\n"
     "As cp -r does, a file or folder goes into LOCAL by its name when LOCAL is a\n"
     "folder, and else becomes LOCAL; several sources or a pattern go by name into the\n"
     "folder LOCAL, made when missing. Without LOCAL, everything goes into this folder;\n"
     "LOCAL \"-\" is standard output, for one file. The copies keep the device's time\n"
     "stamps. The local folder is checked before the file crosses the link. An\n"
     "existing file is replaced only once its copy is complete; --verify reads each\n"
     "copy back and counts one that differs as failed. Names from the device that\n"
     "cannot be local file names (a\n"
     "\"/\" or \"\\\" in them, a control byte, \".\" or \"..\") are refused, each with a\n"
     "line on standard error; nothing is written outside the target.\n",
     {"-r", "--dry-run", "--verify", "--json"}, Get, nullptr},
    {"put", 1, kAny, "LOCAL... [DEVICE-PATH]", "put [-r] [-n] [-q] [--verify] [--json] LOCAL...|- [DEVICE-PATH]",
     "copy local files (-r: folders) to the device (default: /)",
     "Copies local files to the device, with progress on standard error; the targets\n"
     "are chosen as for get (without DEVICE-PATH: into the root), and the copies get\n"
     "the local files' modification times. \"put - DEVICE-PATH\" sends standard input.\n"
     "-r copies folders with all in them, making missing device folders. An empty\n"
     "local file sends nothing. --verify reads each copy back from the device and\n"
     "counts one that differs as failed. Local names that differ only in case, which\n"
     "the device does not tell apart, are reported and the second is not sent.\n",
     {"-r", "--dry-run", "--verify", "--json"}, Put, nullptr},
    {"pull", 2, 2, "DEVICE-DIR LOCAL-DIR", "pull [--delete] [-n] [-q] [--verify] [--modify-window S] [--json] DEVICE-DIR LOCAL-DIR",
     "mirror a device folder into a local folder",
     "Mirrors the device folder DEVICE-DIR into LOCAL-DIR (made when missing): files\n"
     "whose size or time differ are copied and get the device's time stamp as their\n"
     "modification time, so that a second run copies nothing; times less than\n"
     "--modify-window apart (default 2 s; a bare number is seconds) are the same.\n"
     "--verify reads each copy back. --delete removes local\n"
     "files and folders that the device does not have (nothing in a folder whose\n"
     "listing was cut short or holds a line that is no entry); -n only says what would\n"
     "happen. Names are refused as by get; names that differ only in case, in a local\n"
     "folder that does not tell case apart, are reported and not copied over each other.\n",
     {"--delete", "--dry-run", "--verify", "--modify-window", "--json"}, Pull, nullptr},
    {"push", 2, 2, "LOCAL-DIR DEVICE-DIR", "push [--delete] [-n] [-q] [--verify] [--modify-window S] [--json] LOCAL-DIR DEVICE-DIR",
     "mirror a local folder onto the device",
     "Mirrors the local folder LOCAL-DIR onto the device folder DEVICE-DIR (made when\n"
     "missing): files whose size or time differ are sent with the local file's\n"
     "modification time as their time stamp, so that a second run sends nothing;\n"
     "--modify-window and --verify as for pull.\n"
     "--delete removes what the device has and LOCAL-DIR does not; -n only says what\n"
     "would happen. Symbolic links are not followed. Local names the device would\n"
     "read as a path (\"\\\", a control byte, \".\", \"..\") or store as another's are\n"
     "refused.\n",
     {"--delete", "--dry-run", "--verify", "--modify-window", "--json"}, Push, nullptr},
    {"cat", 1, kAny, "DEVICE-FILE...", "cat DEVICE-FILE...",
     "print device files on standard output",
     "Prints the device files one after the other on standard output, byte for\n"
     "byte and without progress. A file that cannot be read is said on standard\n"
     "error and the others still come (exit status 1).\n",
     {}, Cat, nullptr},
    {"flash", 1, 1, "IMAGE", "flash [--wait [--timeout TIME]] IMAGE",
     "load a firmware image into the device",
     "Loads a firmware image into the device, with progress on standard error. The\n"
     "image goes by its file name in lower case. --wait then waits for the device to\n"
     "come back (the same serial number; --timeout, default 60s, a bare number is\n"
     "seconds) and prints its firmware string before and after.\n",
     {"--wait"}, Flash, nullptr},
    {"rm", 1, 1, "PATH", "rm [-r] PATH",
     "delete a device file (-r: or a directory with its contents)",
     "Deletes a device file; with -r also a directory, with everything in it.\n",
     {"-r"}, Remove, nullptr},
    {"mkdir", 1, 1, "PATH", "mkdir [-p] PATH",
     "make a device directory (-p: and its parents)",
     "Makes a device directory. -p makes the missing folders above it too, and takes\n"
     "a directory that exists already as made.\n",
     {"-p"}, MakeDir, nullptr},
    {"rmdir", 1, 1, "PATH", "rmdir [-r] PATH",
     "remove an empty device directory (-r: with its contents)",
     "Removes an empty device directory. The device's remove takes a directory's\n"
     "contents with it, so one that holds anything (or lines the listing could not\n"
     "read) is refused unless -r is given.\n",
     {"-r"}, RemoveDir, nullptr},
    {"mv", 2, 2, "OLD NEW", "mv OLD NEW",
     "rename a device file or directory",
     "Renames a device file or directory.\n",
     {}, Move, nullptr},
    {"cmd", 1, kAny, "LINE...", "cmd LINE...",
     "run terminal commands and print their output",
     "Runs each LINE as a command on the device's terminal and prints its output up\n"
     "to the device's prompt. --timeout sets how long a silence ends an output (500ms,\n"
     "2s; a bare number is milliseconds; default 2s).\n",
     {}, Command, nullptr},
    {"term", 0, 0, "", "term",
     "an interactive session with the device's terminal",
     "An interactive session with the device's terminal: each line typed runs as a\n"
     "command and its output is shown. A line holding ESC (or \\e) sends an escape and\n"
     "tells whether the device asks for a password. End of input (Ctrl-D) leaves.\n",
     {}, Terminal, nullptr},
    {"trace", 1, 1, "FILE", "trace [--vid N] [--pid N] FILE",
     "print a capture of the unit's reports as text",
     "Prints a capture as text, one line for each report: the time in seconds since\n"
     "the capture began, the direction (> to the device, < from it), the channel, the\n"
     "data's length and the data: on channel 0 as terminal text (escape as {esc}, a\n"
     "prompt as {prompt:...}, control bytes as \\r, \\n, \\xNN; a transfer's file data as\n"
     "{data:...}), in hex on the others.\n"
     "The trace's events (device opened, closed, gone) have lines of their own (*),\n"
     "each step of the conversation too, as zqk -v tells them (\"step > NFDIR @/\",\n"
     "\"step < 7 lines, prompt\"), and a last line counts the reports each way. FILE is a trace of --trace or\n"
     "zqkDevSetTrace, or a USB capture of real hardware in pcap or pcapng: from usbmon\n"
     "(Linux) or USBPcap (Windows), of which the interrupt transfers of the device\n"
     "whose descriptor has the --vid and --pid IDs are taken; where the capture holds\n"
     "no descriptor, those whose reports parse as channel packets, as a line says.\n"
     "A file that is no such capture, or is cut short, exits with 5.\n",
     {}, nullptr, ReadTrace},
    {"mount", 1, 1, "[-b] DIR", "mount [-b] [-o nonempty] DIR",
     "the device's files as a folder at DIR (Linux, FUSE 3)",
     "Shows the device's file system as a folder at DIR for every program, until it\n"
     "is unmounted (fusermount3 -u DIR) or interrupted (Ctrl-C); -b goes to the\n"
     "background once mounted. DIR must be empty (-o nonempty: or not; its files are\n"
     "then hidden while the mount lasts) and not a mount point already. Linux, where\n"
     "the tool is built with FUSE 3.\n",
     {"-b", "-o"}, nullptr, Mount},
};

// "  get DEVICE-PATH... [LOCAL]  copy device files (-r: folders) to ..."
std::string ListLine(const Subcommand& Command)
{
    const std::string called = std::string(Command.name) + (*Command.arguments ? " " : "") + Command.arguments;
    char line[512];
    std::snprintf(line, sizeof line, "  %-26s  %s\n", called.c_str(), Command.summary);
    return line;
}

}  // namespace

const Subcommand* FindSubcommand(const std::string& Name)
{
    for (const Subcommand& command : kSubcommands)
        if (Name == command.name)
            return &command;
    return nullptr;
}

std::string CommandsTaking(const std::string& Option)
{
    std::string list;
    for (const Subcommand& command : kSubcommands)
        for (const char* option : command.options)
            if (Option == option)
                list += (list.empty() ? "" : ", ") + std::string(command.name);
    return list;
}

std::string UsageText()
{
    std::string text = std::string(kBeforeCommands) + "Commands:\n";
    for (const Subcommand& command : kSubcommands)
        text += ListLine(command);
    return text + kAfterCommands;
}

std::string UsageLineOf(const Subcommand& Command)
{
    return std::string("usage: zqk ") + Command.synopsis;
}

std::string HelpOf(const Subcommand& Command)
{
    return UsageLineOf(Command) + "\n\n" + Command.help;
}

}  // namespace zqktool
