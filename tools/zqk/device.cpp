// The devices the tool talks to: the ones attached, found by the matching
// values, named by --device (a path, a serial number or "sim:DIR"), or the
// simulated device kept in a folder of the host (--sim). Each is opened as a
// handle of its own. Only the library's public functions are used.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "local_files.h"
#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

namespace {

std::string DefaultSimFolder()
{
#ifdef _WIN32
    if (const char* local = std::getenv("LOCALAPPDATA"))
        return std::string(local) + "\\zqk-sim";
    return "zqk-sim";
#else
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
        return std::string(data) + "/zqk-sim";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.local/share/zqk-sim";
    return ".zqk-sim";
#endif
}

std::string SimPath(const Options& Opts)
{
    if (Opts.simMode != "app" && Opts.simMode != "bootloader" && Opts.simMode != "ate")
        throw Failure(kUsage, "--sim-mode must be app, bootloader or ate, not \"" + Opts.simMode + "\"");
    std::string path = "sim:" + (Opts.simDir.empty() ? DefaultSimFolder() : Opts.simDir) + "?mode=" + Opts.simMode;
    if (Opts.simUnquoted)
        path += "&unquoted=1";
    return path;
}

// Text of a function that follows the buffer-return convention.
template <typename Get>
std::string BufferText(Get&& get)
{
    std::vector<char> text(256);
    int32_t n = get(text.data(), static_cast<int32_t>(text.size()));
    if (n < -1) {
        text.resize(static_cast<size_t>(-n));
        n = get(text.data(), static_cast<int32_t>(text.size()));
    }
    return n > 0 ? std::string(text.data(), static_cast<size_t>(n)) : std::string();
}

struct Found {
    std::string path, serial, product;
};

std::vector<Found> FindAttached()
{
    std::vector<Found> found;
    const int32_t count = zqkFindDevices();
    for (int32_t i = 0; i < count; ++i) {
        auto field = [i](int32_t type) {
            return BufferText([&](char* b, int32_t s) { return zqkFoundDevice(i, type, b, s); });
        };
        found.push_back({field(-1), field(0), field(2)});
    }
    return found;
}

std::string Hex(int32_t Value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(Value));
    return Value < 0 ? std::string("any") : std::string(text);
}

}  // namespace

std::string MatchingText()
{
    return "vendor " + Hex(zqkGetVidPid(0)) + ", product " + Hex(zqkGetVidPid(1)) + ", usage page " +
           Hex(zqkGetVidPid(2)) + ", usage " + Hex(zqkGetVidPid(3));
}

namespace {

std::string NoDeviceHint(const Options& Opts)
{
    return Opts.sim || !Opts.devices.empty() ? std::string() : "; --sim uses the simulated device";
}

}  // namespace

std::string StatusText()
{
    return BufferText([](char* b, int32_t s) { return zqkStatusText(b, s); });
}

ExitCode ExitCodeOf(int32_t Status)
{
    switch (Status) {
    case ZQK_STATUS_NO_DEVICE:
    case ZQK_STATUS_NOT_OPEN:
    case ZQK_STATUS_GONE:
    case ZQK_STATUS_ACCESS: return kNoDevice;
    case ZQK_STATUS_BUSY: return kLockHeld;
    case ZQK_STATUS_LOCAL_FILE: return kLocalFile;
    case ZQK_STATUS_ARGUMENT: return kUsage;
    default: return kFailed;
    }
}

Failure DeviceFailure(const std::string& What, const std::string& Path, PathKind Kind)
{
    const int32_t status = zqkLastStatus();
    return Failure(ExitCodeOf(status), FailureMessage(What, Path, status, StatusText(), Kind), status);
}

void SetMatching(const Options& Opts)
{
    zqkSetVidPid(0, Opts.vendorId);
    zqkSetVidPid(1, Opts.productId);
    zqkSetVidPid(2, Opts.usagePage);
    zqkSetVidPid(3, Opts.usage);
}

std::string ChosenDevice(const Options& Opts)
{
    if (Opts.devices.size() > 1)
        throw Failure(kUsage, "--device is given " + std::to_string(Opts.devices.size()) +
                                  " times; --all runs on each of them");
    if (!Opts.devices.empty())
        return Opts.devices.front();
    return Opts.sim ? SimPath(Opts) : std::string();
}

int32_t OpenChosenDevice(const Options& Opts)
{
    SetMatching(Opts);
    std::string chosen = ChosenDevice(Opts);
    if (chosen.empty()) {
        const std::vector<Found> found = FindAttached();
        if (found.size() > 1)
            std::fprintf(stderr, "zqk: %zu units are attached; using %s (%s); --device chooses another\n",
                         found.size(), Shown(found[0].serial).c_str(), Shown(found[0].path).c_str());
        if (!found.empty())
            chosen = found[0].path;
    }
    const int32_t handle = zqkDevOpen(chosen.c_str());
    if (handle <= 0)
        throw Failure(ExitCodeOf(zqkLastStatus()), StatusText() + NoDeviceHint(Opts));
    return handle;
}

std::vector<std::string> AllChosenDevices(const Options& Opts)
{
    std::vector<std::string> chosen;
    const std::vector<Found> found = FindAttached();
    for (const Found& f : found)
        chosen.push_back(f.path);
    std::vector<std::string> given = Opts.devices;
    if (Opts.sim)
        given.push_back(SimPath(Opts));
    for (const std::string& device : given) {
        bool attached = false;
        for (const Found& f : found)
            attached = attached || device == f.path || device == f.serial;
        if (!attached)
            chosen.push_back(device);
    }
    return chosen;
}

void TraceUnit(int32_t Handle, const std::string& Path)
{
    if (!Path.empty() && zqkDevSetTrace(Handle, Path.c_str()) != 0)
        throw Failure(ExitCodeOf(zqkLastStatus()), StatusText());
}

std::string UnitPath(int32_t Handle)
{
    return BufferText([&](char* b, int32_t s) { return zqkDevUsbPath(Handle, b, s); });
}

std::string UnitString(int32_t Handle, int32_t Type)
{
    return BufferText([&](char* b, int32_t s) { return zqkDevUsbDetail(Handle, Type, b, s); });
}

bool QuotesNames(int32_t Handle)
{
    return UnitString(Handle, 204).find(".nfi.") != std::string::npos;
}

std::string StoredName(const std::string& Name, bool Quoted)
{
    std::string stored = Name;
    if (!Quoted)
        std::replace(stored.begin(), stored.end(), ' ', '_');
    return stored;
}

std::vector<Entry> Listing(int32_t Handle, const std::string& Path, int32_t* Unreadable)
{
    if (Unreadable)
        *Unreadable = 0;
    const int32_t count = zqkDevDir(Handle, Path.c_str());
    if (count < 0)
        throw DeviceFailure("cannot list", Shown(Path.empty() ? std::string("/") : Path), PathKind::Folder);
    std::vector<Entry> entries;
    for (int32_t i = 0; i < count; ++i) {
        Entry e;
        int32_t time = 0;
        // One call for the name and the fields; again only for a name that
        // did not fit (-(room it needs)), -1 being a line that is no entry.
        std::vector<char> name(256);
        int32_t n = zqkDevGetDirEntry(Handle, i, name.data(), static_cast<int32_t>(name.size()), &e.size,
                                      &e.attributes, &time);
        if (n < -1) {
            name.resize(static_cast<size_t>(-n));
            n = zqkDevGetDirEntry(Handle, i, name.data(), static_cast<int32_t>(name.size()), nullptr, nullptr,
                                  nullptr);
        }
        if (n < 0) {
            if (Unreadable)
                ++*Unreadable;  // a line the device printed that is not an entry
            continue;
        }
        e.name.assign(name.data(), static_cast<size_t>(n));
        e.time = DeviceSeconds(time);
        entries.push_back(e);
    }
    return entries;
}

namespace {

// "2026-12-09 16:52:07.481", local time.
std::string EventTime()
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    const std::tm t = LocalTimeOf(ms / 1000);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

// One line for each unit that arrives or leaves, on the library's thread;
// Json is the user data.
void ZQK_CALL ShowDeviceChange(intptr_t Json, int32_t Arrived, const char* Path, const char* Serial)
{
    const std::string time = EventTime();
    if (Json)
        std::printf("{\"time\": %s, \"arrived\": %s, \"path\": %s, \"serial\": %s}\n", JsonString(time).c_str(),
                    Arrived ? "true" : "false", JsonString(Path).c_str(), JsonString(Serial).c_str());
    else
        std::printf("%s %c %s %s\n", time.c_str(), Arrived ? '+' : '-', Shown(Path).c_str(), Shown(Serial).c_str());
    std::fflush(stdout);
}

int WatchDevices(const Options& Opts)
{
    HoldInterrupts();
    if (zqkSetDeviceCallback(ShowDeviceChange, Opts.json ? 1 : 0) != 0)
        throw Failure(kNoDevice, StatusText());
    WaitForInterrupt(Opts.timeoutMs);
    zqkSetDeviceCallback(nullptr, 0);
    return kOk;
}

}  // namespace

int Devices(const Options& Opts)
{
    SetMatching(Opts);
    if (Opts.watch)
        return WatchDevices(Opts);
    const std::vector<Found> found = FindAttached();
    if (Opts.json) {
        std::printf("[");
        for (size_t i = 0; i < found.size(); ++i)
            std::printf("%s\n  {\"path\": %s, \"serial\": %s, \"product\": %s}", i ? "," : "",
                        JsonString(found[i].path).c_str(), JsonString(found[i].serial).c_str(),
                        JsonString(found[i].product).c_str());
        std::printf("%s]\n", found.empty() ? "" : "\n");
    } else if (!found.empty()) {
        size_t width = 4;
        for (const Found& f : found)
            width = std::max(width, f.path.size());
        std::printf("%-*s  %-16s  %s\n", static_cast<int>(width), "PATH", "SERIAL", "PRODUCT");
        for (const Found& f : found)
            std::printf("%-*s  %-16s  %s\n", static_cast<int>(width), Shown(f.path).c_str(), Shown(f.serial).c_str(),
                        Shown(f.product).c_str());
    }
    std::fflush(stdout);
    if (found.empty())
        throw Failure(kNoDevice, "no device attached (looked for " + MatchingText() + ")");
    return kOk;
}

int Wait(const Options& Opts)
{
    SetMatching(Opts);
    const std::string chosen = ChosenDevice(Opts);
    if (zqkWaitForDevice(chosen.c_str(), Opts.timeoutMs) != 1)
        throw Failure(kNoDevice, StatusText());
    return kOk;
}

}  // namespace zqktool
