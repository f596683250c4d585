// The subcommands, each through the library's C functions.
#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device_path.h"
#include "local_files.h"
#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

namespace {

// The library hands back at most 16 MiB of a command's output (more is -1),
// and the ending NUL.
constexpr int32_t kCommandBufferSize = (16 << 20) + 1;
constexpr int32_t kDefaultTimeoutMs = 2000;

std::string BaseName(const std::string& path)
{
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string AttrText(int32_t attributes)
{
    char text[16];
    const int32_t n = zqkAttrToText(attributes, text, sizeof text);
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}

std::string DateText(int64_t time)
{
    char text[64];
    const int32_t n = zqkDateToText(DeviceTimeArgument(time), text, sizeof text);
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}

std::string Printed(const char* format, ...)
{
    char small[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string text(static_cast<size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(&text[0], text.size(), format, args);
    va_end(args);
    text.resize(static_cast<size_t>(n));
    return text;
}

int32_t CommandTimeout(const Options& opts)
{
    return opts.timeoutMs < 0 ? kDefaultTimeoutMs : opts.timeoutMs;
}

// Runs one command and returns its output; a closed device is a failure.
std::string RunCommand(int32_t handle, const std::string& line, int32_t timeout)
{
    std::unique_ptr<char[]> buffer(new char[kCommandBufferSize]);
    const int32_t n = zqkDevCommand(handle, line.c_str(), buffer.get(), kCommandBufferSize, timeout);
    if (n < 0)
        throw DeviceFailure("cannot run", "\"" + Shown(line) + "\"");
    if (!zqkDevIsOpen(handle))
        throw Failure(kNoDevice, "cannot run \"" + Shown(line) + "\": the device is no longer connected");
    return std::string(buffer.get(), static_cast<size_t>(n));
}

int Change(int32_t result, const std::string& what, const std::string& path = std::string(),
           PathKind kind = PathKind::Entry)
{
    if (result != 0)
        throw DeviceFailure(what, path, kind);
    return kOk;
}

}  // namespace

// How names go to the device, and, when the firmware's word on quotes (its
// string 204) could not be read, why.
std::string NamesText(int32_t Handle)
{
    if (QuotesNames(Handle))
        return "in double quotes";
    if (zqkLastStatus() != ZQK_STATUS_ACCESS)
        return "with blanks as underscores";
    return "with blanks as underscores (" + StatusText() + ")";
}

namespace {

// The device's indexed USB strings that it has.
std::vector<std::pair<int32_t, std::string>> IndexedStrings(int32_t Handle)
{
    std::vector<std::pair<int32_t, std::string>> strings;
    for (int32_t index : {201, 202, 203, 204, 210, 211}) {
        const std::string text = UnitString(Handle, index);
        if (!text.empty())
            strings.emplace_back(index, text);
    }
    return strings;
}

std::string InfoJson(Unit& U, const std::vector<std::string>& Modes, const std::string& Names)
{
    std::string modes, strings;
    for (const std::string& m : Modes)
        modes += (modes.empty() ? "" : ", ") + JsonString(m);
    for (const auto& [index, text] : IndexedStrings(U.handle))
        strings += (strings.empty() ? "" : ", ") + JsonString(std::to_string(index)) + ": " + JsonString(text);
    return "{\n  \"path\": " + JsonString(UnitPath(U.handle)) + ",\n  \"manufacturer\": " +
           JsonString(UnitString(U.handle, 1)) + ",\n  \"product\": " + JsonString(UnitString(U.handle, 2)) +
           ",\n  \"serial\": " + JsonString(U.serial) + ",\n  \"runModes\": [" + modes + "],\n  \"names\": " +
           JsonString(Names) + ",\n  \"matching\": " + JsonString(MatchingText()) + ",\n  \"strings\": {" + strings +
           "}\n}";
}

}  // namespace

int Info(Unit& U, const Options& Opts)
{
    std::vector<std::string> modes;
    if (zqkDevIsRunningApp(U.handle))
        modes.push_back("application");
    if (zqkDevIsRunningBootloader(U.handle))
        modes.push_back("boot loader");
    if (zqkDevIsRunningATE(U.handle))
        modes.push_back("ATE");
    std::string mode;
    for (const std::string& m : modes)
        mode += (mode.empty() ? "" : ", ") + m;
    const std::string names = NamesText(U.handle);
    if (Opts.json) {
        U.console.Json(U.serial, InfoJson(U, modes, names));
        return kOk;
    }
    std::string out;
    out += "path           " + Shown(UnitPath(U.handle)) + "\n";
    out += "manufacturer   " + Shown(UnitString(U.handle, 1)) + "\n";
    out += "product        " + Shown(UnitString(U.handle, 2)) + "\n";
    out += "serial number  " + Shown(U.serial) + "\n";
    out += "run mode       " + (mode.empty() ? std::string("unknown") : mode) + "\n";
    out += "names          " + names + "\n";
    out += "matching       " + MatchingText() + "\n";
    for (const auto& [index, text] : IndexedStrings(U.handle))
        out += "string " + std::to_string(index) + "     " + Shown(text) + "\n";
    U.console.Out(out);
    return kOk;
}

// What `ls PATH` shows: the folder's entries, or, as ls does for a file, that
// one entry. The device lists folders only, so a path it refuses to list is
// looked for in its parent's listing; anything but a file there keeps the
// refusal.
std::vector<Entry> EntriesAt(int32_t Handle, const std::string& Path)
{
    try {
        return Listing(Handle, Path);
    } catch (const Failure& refusal) {
        const std::string leaf = DeviceLeaf(Path);
        if (refusal.status != ZQK_STATUS_REFUSED || leaf.empty())
            throw;
        const Failure original = refusal;
        std::vector<Entry> siblings;
        try {
            siblings = Listing(Handle, DeviceParent(Path));
        } catch (const Failure&) {
            throw original;
        }
        for (const Entry& e : siblings)
            if (!e.IsDir() && FoldedCase(e.name) == FoldedCase(leaf))
                return {e};
        throw original;
    }
}

int List(Unit& U, const Options& Opts)
{
    const std::string path = Opts.args.empty() ? "/" : Opts.args[0];
    const std::vector<Entry> entries = EntriesAt(U.handle, path);
    std::string out;
    if (Opts.json) {
        out += "[";
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            out += Printed("%s\n  {\"name\": %s, \"size\": %d, \"attributes\": %d, \"attributeText\": %s, "
                           "\"directory\": %s, \"time\": %lld, \"date\": %s}",
                           i ? "," : "", JsonString(e.name).c_str(), e.size, e.attributes,
                           JsonString(AttrText(e.attributes)).c_str(), e.IsDir() ? "true" : "false", static_cast<long long>(e.time),
                           JsonString(DateText(e.time)).c_str());
        }
        U.console.Json(U.serial, out + (entries.empty() ? "" : "\n") + "]");
        return kOk;
    }
    size_t width = 4;
    for (const Entry& e : entries)
        width = std::max(width, Shown(e.name).size());
    const int w = static_cast<int>(width);
    if (Opts.longForm) {
        out += Printed("%-*s  %10s  %-5s  %4s  %-19s  %s\n", w, "NAME", "SIZE", "ATTR", "BITS", "DATE", "UNIX TIME");
        for (const Entry& e : entries)
            out += Printed("%-*s  %10d  %-5s  0x%02X  %-19s  %lld\n", w, Shown(e.name).c_str(), e.size,
                           AttrText(e.attributes).c_str(), e.attributes, DateText(e.time).c_str(), static_cast<long long>(e.time));
    } else {
        out += Printed("%-*s  %10s  %-5s  %s\n", w, "NAME", "SIZE", "ATTR", "DATE");
        for (const Entry& e : entries)
            out += Printed("%-*s  %10s  %-5s  %s\n", w, Shown(e.name).c_str(),
                           e.IsDir() ? "" : std::to_string(e.size).c_str(), AttrText(e.attributes).c_str(),
                           DateText(e.time).c_str());
    }
    out += Printed("%zu %s\n", entries.size(), entries.size() == 1 ? "entry" : "entries");
    U.console.Out(out);
    return kOk;
}

bool ReadDeviceFile(int32_t Handle, const std::string& Path, int64_t SizeHint, std::string& Data)
{
    std::vector<char> buffer(static_cast<size_t>(std::clamp<int64_t>(SizeHint, 0, INT32_MAX - 1)) + 1);
    int32_t n = -1;
    for (int tries = 0; tries < 2; ++tries) {
        n = zqkDevFileReadBuffer(Handle, Path.c_str(), buffer.data(), static_cast<int32_t>(buffer.size()));
        if (n >= 0 || zqkLastStatus() != ZQK_STATUS_BUFFER || n > -2)
            break;
        buffer.resize(static_cast<size_t>(-static_cast<int64_t>(n)));
    }
    if (n < 0)
        return false;
    Data.assign(buffer.data(), static_cast<size_t>(n));
    return true;
}

// Each file's bytes to standard output, as cat prints them: no progress,
// and a file that cannot be read is said and the others still come.
int Cat(Unit& U, const Options& Opts)
{
    constexpr int64_t kFirstRoom = 64 << 10;  // a larger file comes with the second call, not a second transfer
    int worst = kOk;
    for (const std::string& given : Opts.args) {
        const std::string path = StoredName(given, QuotesNames(U.handle));
        std::string data, error;
        if (!ReadDeviceFile(U.handle, path, kFirstRoom, data)) {
            const Failure failure = DeviceFailure("cannot read", path);
            U.console.Failed(failure.what());
            worst = std::max<int>(worst, failure.code);
        } else if (!WriteStandardOutput(data, error)) {
            throw Failure(kLocalFile, Because("cannot write standard output", error));
        }
    }
    return worst;
}

namespace {

// The firmware's own words on its release (string 203), for a line.
std::string FirmwareText(int32_t Handle)
{
    const std::string text = UnitString(Handle, 203);
    return text.empty() ? std::string("(the device gives none)") : Shown(text);
}

// After a firmware load the device starts again and comes back as a new
// USB device, by its serial number (its path may change); a simulated one
// is found by its folder again.
void WaitForReturn(Unit& U, const std::string& Serial, const std::string& Path, const Options& Opts)
{
    constexpr int32_t kDefaultWaitMs = 60000;
    const std::string device = Path.rfind("sim:", 0) == 0 ? Path : Serial;
    const int32_t timeout = Opts.timeoutMs < 0 ? kDefaultWaitMs : Opts.timeoutMs;
    if (zqkWaitForDevice(device.c_str(), timeout) != 1)
        throw Failure(kNoDevice, "the device " + Shown(Serial) + " did not come back after the load: " + StatusText());
    const int32_t handle = zqkDevOpen(device.c_str());
    if (handle <= 0)
        throw DeviceFailure("the device " + Shown(Serial) + " came back after the load but cannot be opened");
    U.console.Out("firmware after:  " + FirmwareText(handle) + "\n");
    zqkDevClose(handle);
}

}  // namespace

int Flash(Unit& U, const Options& Opts)
{
    const std::string image = Opts.args[0];
    std::string serial, path;  // --wait: the device to wait for, as it is before the load
    if (Opts.waitAfter) {
        serial = UnitString(U.handle, 0), path = UnitPath(U.handle);
        U.console.Out("firmware before: " + FirmwareText(U.handle) + "\n");
    }
    int32_t n = 0;
    PlanProgress(1, StatLocal(image).size);
    {
        FileProgress progress(U, "flash " + BaseName(image), BaseName(image), Opts.quiet);
        n = zqkDevFirmwareUpdate(U.handle, image.c_str());
        progress.Done();
    }
    if (n == ZQK_LOCAL_FILE_UNREADABLE)
        throw Failure(kLocalFile, "cannot read " + image);
    if (n < 0)
        throw DeviceFailure("cannot load " + Shown(image) + " into the device");
    if (n == 0)
        U.console.Err("zqk: " + image + " is empty; nothing was sent\n");
    else
        U.console.Out(image + ": " + std::to_string(n) + " bytes sent\n");
    if (Opts.waitAfter)
        WaitForReturn(U, serial, path, Opts);
    return kOk;
}

namespace {

// The entry called Name in Folder's listing (without regard to case, as the
// device names), or nothing.
std::optional<Entry> EntryNamed(int32_t Handle, const std::string& Folder, const std::string& Name)
{
    for (const Entry& e : Listing(Handle, Folder))
        if (FoldedCase(e.name) == FoldedCase(Name))
            return e;
    return std::nullopt;
}

// mkdir -p: each missing folder from the top down; one that exists is taken,
// a file in the way is not.
void MakeWithParents(int32_t Handle, const std::string& Path)
{
    const std::string leaf = DeviceLeaf(Path);
    if (leaf.empty())
        return;  // the root
    const std::string parent = DeviceParent(Path);
    MakeWithParents(Handle, parent);
    const std::optional<Entry> there = EntryNamed(Handle, parent, leaf);
    if (there && there->IsDir())
        return;
    if (there)
        throw Failure(kFailed, "cannot make directory " + Shown(Path) + ": a file of that name is there");
    Change(zqkDevDirMake(Handle, Path.c_str()), "cannot make directory", Shown(Path));
}

}  // namespace

// rm -r takes a directory too, with everything in it.
int Remove(Unit& U, const Options& Opts)
{
    const std::string& path = Opts.args[0];
    if (Opts.recursive) {
        const std::string leaf = DeviceLeaf(path);
        const std::optional<Entry> there = leaf.empty() ? std::nullopt : EntryNamed(U.handle, DeviceParent(path), leaf);
        if (there && there->IsDir())
            return Change(zqkDevDirRemove(U.handle, path.c_str()), "cannot remove directory", Shown(path), PathKind::Folder);
    }
    return Change(zqkDevFileDelete(U.handle, path.c_str()), "cannot delete", Shown(path));
}

int MakeDir(Unit& U, const Options& Opts)
{
    if (Opts.parents) {
        MakeWithParents(U.handle, Opts.args[0]);
        return kOk;
    }
    return Change(zqkDevDirMake(U.handle, Opts.args[0].c_str()), "cannot make directory", Shown(Opts.args[0]));
}

// The device's remove takes a folder's contents with it, so without -r only a
// folder known to be empty goes: no entry, and no line the listing could not
// read (a folder not understood is not empty).
int RemoveDir(Unit& U, const Options& Opts)
{
    const std::string& path = Opts.args[0];
    if (!Opts.recursive) {
        int32_t unreadable = 0;
        if (!Listing(U.handle, path, &unreadable).empty() || unreadable > 0)
            throw Failure(kFailed, "cannot remove directory " + Shown(path) +
                                       ": it is not empty (-r removes it with everything in it)");
    }
    return Change(zqkDevDirRemove(U.handle, path.c_str()), "cannot remove directory", Shown(path), PathKind::Folder);
}

int Move(Unit& U, const Options& Opts)
{
    return Change(zqkDevRename(U.handle, Opts.args[0].c_str(), Opts.args[1].c_str()),
                  "cannot rename " + Shown(Opts.args[0]) + " to " + Shown(Opts.args[1]));
}

int Command(Unit& U, const Options& Opts)
{
    const int32_t timeout = CommandTimeout(Opts);
    for (const std::string& line : Opts.args)
        U.console.Out(RunCommand(U.handle, line, timeout));
    return kOk;
}

int Terminal(Unit& U, const Options& Opts)
{
    const int32_t timeout = CommandTimeout(Opts);
    const bool interactive = IsTerminal(stdin);
    if (interactive)
        std::fprintf(stderr, "Connected to %s. Type commands; a line with ESC (or \\e) sends an escape; "
                             "end of input (Ctrl-D) leaves.\n", Shown(UnitString(U.handle, 2)).c_str());
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
            const bool password = zqkDevEscape(U.handle) == 0;
            U.console.Out(password ? "(escape: the device asks for a password)\n" : "(escape)\n");
            continue;
        }
        U.console.Out(RunCommand(U.handle, line, timeout));
    }
    if (interactive)
        U.console.Out("\n");
    return kOk;
}

namespace {

// The length of the well-formed UTF-8 sequence at Text[At], 0 where none
// starts there. The byte after the lead has a narrower range where the lead
// alone would let in an overlong form, a surrogate or more than U+10FFFF, as
// Python's decoder has it, so that both tell the same bytes apart.
size_t Utf8SequenceAt(const std::string& Text, size_t At)
{
    const auto lead = static_cast<unsigned char>(Text[At]);
    if (lead < 0x80)
        return 1;
    const size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || At + length > Text.size())
        return 0;
    const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(Text[At + i]);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

}  // namespace

std::string JsonString(const std::string& Text)
{
    // Device names are bytes. UTF-8 stays as it is; a byte that is not part
    // of it is written as the lone surrogate \udcXX, which json.loads gives
    // and Python's "surrogateescape" (and the bindings) turn back into the
    // byte, so that every name read can be written back unchanged.
    std::string out = "\"";
    for (size_t i = 0; i < Text.size();) {
        const auto byte = static_cast<unsigned char>(Text[i]);
        const size_t length = Utf8SequenceAt(Text, i);
        char escaped[8];
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20 || byte == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else if (length == 0) {
            std::snprintf(escaped, sizeof escaped, "\\udc%02x", byte);
            out += escaped;
        } else {
            out.append(Text, i, length);
        }
        i += length == 0 ? 1 : length;
    }
    return out + "\"";
}

}  // namespace zqktool
