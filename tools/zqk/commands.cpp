// The subcommands, each through the library's C functions.
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

namespace {

constexpr int32_t kCommandBufferSize = (16 << 20) + 1;  // the most output zqkCommand hands back

// Text from a function that follows the buffer-return convention and may be
// asked twice: the first answer tells the size needed.
std::string TextOf(const std::function<int32_t(char*, int32_t)>& get)
{
    char small[256];
    const int32_t n = get(small, sizeof small);
    if (n >= 0)
        return std::string(small, static_cast<size_t>(n));
    std::vector<char> buffer(static_cast<size_t>(-n));
    const int32_t m = get(buffer.data(), static_cast<int32_t>(buffer.size()));
    return m >= 0 ? std::string(buffer.data(), static_cast<size_t>(m)) : std::string();
}

std::string UsbString(int32_t type)
{
    return TextOf([type](char* b, int32_t s) { return zqkUsbDetail(type, b, s); });
}

std::string BaseName(const std::string& path)
{
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

void Need(const Options& opts, size_t least, size_t most, const char* usage)
{
    if (opts.args.size() < least || opts.args.size() > most)
        throw Failure(kUsage, std::string("usage: zqk ") + usage);
}

struct Entry {
    std::string name;
    int32_t size = 0, attributes = 0, time = 0;
    std::string attrText, date;
};

std::vector<Entry> Listing(const std::string& path)
{
    const int32_t count = zqkDir(path.c_str());
    if (count < 0)
        throw DeviceFailure("cannot list " + (path.empty() ? std::string("/") : path));
    std::vector<Entry> entries;
    for (int32_t i = 0; i < count; ++i) {
        Entry e;
        // With one byte of room, -1 means "not an entry" and never "too small".
        char probe[1];
        const int32_t n = zqkGetDirEntry(i, probe, sizeof probe, &e.size, &e.attributes, &e.time);
        if (n == -1)
            continue;  // a line the device printed that is not an entry
        if (n < 0)
            e.name = TextOf([&](char* b, int32_t s) { return zqkGetDirEntry(i, b, s, nullptr, nullptr, nullptr); });
        e.attrText = TextOf([&](char* b, int32_t s) { return zqkAttrToText(e.attributes, b, s); });
        e.date = TextOf([&](char* b, int32_t s) { return zqkDateToText(e.time, b, s); });
        entries.push_back(e);
    }
    return entries;
}

// Runs one command and returns its output; a closed device is a failure.
std::string RunCommand(const std::string& line, int32_t timeout)
{
    std::unique_ptr<char[]> buffer(new char[kCommandBufferSize]);
    const int32_t n = zqkCommand(line.c_str(), buffer.get(), kCommandBufferSize, timeout);
    if (n < 0)
        throw DeviceFailure("cannot run \"" + line + "\" (or its output passed 16 MiB)");
    if (!zqkIsOpen())
        throw Failure(kNoDevice, "cannot run \"" + line + "\": the device is no longer connected");
    return std::string(buffer.get(), static_cast<size_t>(n));
}

// How names go to the device, and, when the firmware's word on quotes (its
// string 204) could not be read, why.
std::string NamesText()
{
    const bool quoted = UsbString(204).find(".nfi.") != std::string::npos;
    if (quoted)
        return "in double quotes";
    if (zqkLastStatus() != ZQK_STATUS_ACCESS)
        return "with blanks as underscores";
    return "with blanks as underscores (" + StatusText() + ")";
}

int Change(int32_t result, const std::string& what)
{
    if (result != 0)
        throw DeviceFailure(what);
    return kOk;
}

}  // namespace

int Info(const Options& Opts)
{
    Need(Opts, 0, 0, "info");
    std::vector<std::string> modes;
    if (zqkIsRunningApp())
        modes.push_back("application");
    if (zqkIsRunningBootloader())
        modes.push_back("boot loader");
    if (zqkIsRunningATE())
        modes.push_back("ATE");
    std::string mode;
    for (const std::string& m : modes)
        mode += (mode.empty() ? "" : ", ") + m;
    const std::string path = OpenedPath();
    auto hex = [](int32_t v) {
        char t[16];
        std::snprintf(t, sizeof t, "0x%04X", static_cast<unsigned>(v));
        return v < 0 ? std::string("any") : std::string(t);
    };
    std::printf("path           %s\n", path.c_str());
    std::printf("manufacturer   %s\n", UsbString(1).c_str());
    std::printf("product        %s\n", UsbString(2).c_str());
    std::printf("serial number  %s\n", UsbString(0).c_str());
    std::printf("run mode       %s\n", mode.empty() ? "unknown" : mode.c_str());
    std::printf("names          %s\n", NamesText().c_str());
    std::printf("matching       vendor %s, product %s, usage page %s, usage %s\n", hex(zqkGetVidPid(0)).c_str(),
                hex(zqkGetVidPid(1)).c_str(), hex(zqkGetVidPid(2)).c_str(), hex(zqkGetVidPid(3)).c_str());
    for (int32_t index : {201, 202, 203, 204, 210, 211}) {
        const std::string text = UsbString(index);
        if (!text.empty())
            std::printf("string %d     %s\n", index, text.c_str());
    }
    return kOk;
}

int List(const Options& Opts)
{
    Need(Opts, 0, 1, "ls [PATH] [--long | --json]");
    const std::string path = Opts.args.empty() ? "/" : Opts.args[0];
    const std::vector<Entry> entries = Listing(path);
    if (Opts.json) {
        std::printf("[");
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            std::printf("%s\n  {\"name\": %s, \"size\": %d, \"attributes\": %d, \"attributeText\": %s, "
                        "\"directory\": %s, \"time\": %d, \"date\": %s}",
                        i ? "," : "", JsonString(e.name).c_str(), e.size, e.attributes, JsonString(e.attrText).c_str(),
                        (e.attributes & 0x10) ? "true" : "false", e.time, JsonString(e.date).c_str());
        }
        std::printf("%s]\n", entries.empty() ? "" : "\n");
        return kOk;
    }
    size_t width = 4;
    for (const Entry& e : entries)
        width = std::max(width, e.name.size());
    if (Opts.longForm) {
        std::printf("%-*s  %10s  %-5s  %4s  %-19s  %s\n", static_cast<int>(width), "NAME", "SIZE", "ATTR", "BITS",
                    "DATE", "UNIX TIME");
        for (const Entry& e : entries)
            std::printf("%-*s  %10d  %-5s  0x%02X  %-19s  %d\n", static_cast<int>(width), e.name.c_str(), e.size,
                        e.attrText.c_str(), e.attributes, e.date.c_str(), e.time);
    } else {
        std::printf("%-*s  %10s  %-5s  %s\n", static_cast<int>(width), "NAME", "SIZE", "ATTR", "DATE");
        for (const Entry& e : entries)
            std::printf("%-*s  %10s  %-5s  %s\n", static_cast<int>(width), e.name.c_str(),
                        (e.attributes & 0x10) ? "" : std::to_string(e.size).c_str(), e.attrText.c_str(),
                        e.date.c_str());
    }
    std::printf("%zu %s\n", entries.size(), entries.size() == 1 ? "entry" : "entries");
    return kOk;
}

int Get(const Options& Opts)
{
    Need(Opts, 1, 2, "get DEVICE-PATH [LOCAL]");
    const std::string device = Opts.args[0];
    const std::string local = Opts.args.size() > 1 ? Opts.args[1] : BaseName(device);
    if (local.empty())
        throw Failure(kUsage, "get: give a local file name for " + device);
    StartProgress("get " + device);
    const int32_t n = zqkFileRead(device.c_str(), local.c_str());
    EndProgress();
    if (n == -1)
        throw Failure(kLocalFile, "cannot write " + local + "; it was left as it was");
    if (n < 0)
        throw DeviceFailure("cannot read " + device + " from the device");
    std::printf("%s -> %s: %d bytes\n", device.c_str(), local.c_str(), n);
    return kOk;
}

int Put(const Options& Opts)
{
    Need(Opts, 1, 2, "put LOCAL [DEVICE-PATH]");
    const std::string local = Opts.args[0];
    const std::string device = Opts.args.size() > 1 ? Opts.args[1] : "/" + BaseName(local);
    StartProgress("put " + device);
    const int32_t n = zqkFileWrite(local.c_str(), device.c_str());
    EndProgress();
    if (n == ZQK_LOCAL_FILE_UNREADABLE)
        throw Failure(kLocalFile, "cannot read " + local);
    if (n < 0)
        throw DeviceFailure("cannot write " + device + " on the device");
    if (n == 0)
        std::fprintf(stderr, "zqk: %s is empty; nothing was sent\n", local.c_str());
    else
        std::printf("%s -> %s: %d bytes\n", local.c_str(), device.c_str(), n);
    return kOk;
}

int Flash(const Options& Opts)
{
    Need(Opts, 1, 1, "flash IMAGE");
    const std::string image = Opts.args[0];
    StartProgress("flash " + BaseName(image));
    const int32_t n = zqkFirmwareUpdate(image.c_str());
    EndProgress();
    if (n == ZQK_LOCAL_FILE_UNREADABLE)
        throw Failure(kLocalFile, "cannot read " + image);
    if (n < 0)
        throw DeviceFailure("cannot load " + image + " into the device");
    if (n == 0)
        std::fprintf(stderr, "zqk: %s is empty; nothing was sent\n", image.c_str());
    else
        std::printf("%s: %d bytes sent\n", image.c_str(), n);
    return kOk;
}

int Remove(const Options& Opts)
{
    Need(Opts, 1, 1, "rm PATH");
    return Change(zqkFileDelete(Opts.args[0].c_str()), "cannot delete " + Opts.args[0]);
}

int MakeDir(const Options& Opts)
{
    Need(Opts, 1, 1, "mkdir PATH");
    return Change(zqkDirMake(Opts.args[0].c_str()), "cannot make directory " + Opts.args[0]);
}

int RemoveDir(const Options& Opts)
{
    Need(Opts, 1, 1, "rmdir PATH");
    return Change(zqkDirRemove(Opts.args[0].c_str()), "cannot remove directory " + Opts.args[0]);
}

int Move(const Options& Opts)
{
    Need(Opts, 2, 2, "mv OLD NEW");
    return Change(zqkRename(Opts.args[0].c_str(), Opts.args[1].c_str()),
                  "cannot rename " + Opts.args[0] + " to " + Opts.args[1]);
}

int Command(const Options& Opts)
{
    Need(Opts, 1, SIZE_MAX, "cmd LINE...");
    for (const std::string& line : Opts.args) {
        const std::string output = RunCommand(line, Opts.timeout);
        std::fwrite(output.data(), 1, output.size(), stdout);
    }
    std::fflush(stdout);
    return kOk;
}

int Terminal(const Options& Opts)
{
    Need(Opts, 0, 0, "term");
    const bool interactive = IsTerminal(stdin);
    if (interactive)
        std::fprintf(stderr, "Connected to %s. Type commands; a line with ESC (or \\e) sends an escape; "
                             "end of input (Ctrl-D) leaves.\n", UsbString(2).c_str());
    std::string line;
    for (;;) {
        if (interactive) {
            std::printf("zq.keeper> ");
            std::fflush(stdout);
        }
        if (!std::getline(std::cin, line))
            break;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find('\x1B') != std::string::npos || line == "\\e") {
            const bool password = zqkEscape() == 0;
            std::printf(password ? "(escape: the device asks for a password)\n" : "(escape)\n");
            continue;
        }
        const std::string output = RunCommand(line, Opts.timeout);
        std::fwrite(output.data(), 1, output.size(), stdout);
        std::fflush(stdout);
    }
    if (interactive)
        std::printf("\n");
    return kOk;
}

std::string JsonString(const std::string& Text)
{
    std::string out = "\"";
    for (const char c : Text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            // Device text is 8-bit; each byte stands for the code point of the same value.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace zqktool
