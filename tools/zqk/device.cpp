// The device the tool talks to: the one attached, found by the matching
// values, or the simulated device kept in a folder of the host, opened by its
// "sim:" path. Only the library's public functions are used.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

namespace {

std::string g_openedPath;

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

}  // namespace

std::string StatusText()
{
    std::vector<char> text(1024);
    int32_t n = zqkStatusText(text.data(), static_cast<int32_t>(text.size()));
    if (n < 0) {
        text.resize(static_cast<size_t>(-n));
        n = zqkStatusText(text.data(), static_cast<int32_t>(text.size()));
    }
    return n > 0 ? std::string(text.data(), static_cast<size_t>(n)) : std::string();
}

namespace {

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

}  // namespace

void OpenDevice(const Options& Opts)
{
    zqkSetVidPid(0, Opts.vendorId);
    zqkSetVidPid(1, Opts.productId);
    zqkSetVidPid(2, Opts.usagePage);
    zqkSetVidPid(3, Opts.usage);
    const int32_t opened = Opts.sim ? zqkOpenPath(SimPath(Opts).c_str()) : zqkOpen();
    if (opened != 1)
        throw Failure(ExitCodeOf(zqkLastStatus()), StatusText() + (Opts.sim ? "" : "; --sim uses the simulated device"));
    if (Opts.sim) {
        g_openedPath = "sim:" + (Opts.simDir.empty() ? DefaultSimFolder() : Opts.simDir);
        return;
    }
    std::vector<char> path(4096);
    const int32_t n = zqkUsbPath(path.data(), static_cast<int32_t>(path.size()));
    g_openedPath = n > 0 ? std::string(path.data(), static_cast<size_t>(n)) : std::string();
}

std::string OpenedPath()
{
    return g_openedPath;
}

void FinishDevice()
{
    zqkClose();
}

Failure DeviceFailure(const std::string& What)
{
    const int32_t status = zqkLastStatus();
    const std::string why = StatusText();
    return Failure(ExitCodeOf(status), What + (why.empty() ? std::string() : ": " + why));
}

}  // namespace zqktool
