// The device the tool talks to: the one attached, found by the matching
// values, or the simulated device kept in a folder of the host.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "api/library.h"
#include "link/device_lock.h"
#include "sim/sim_folder.h"
#include "sim/sim_keeper.h"
#include "sim/sim_report_device.h"
#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

namespace {

struct SimulatedDevice {
    std::unique_ptr<zqk::sim::SimKeeper> keeper;
    std::unique_ptr<zqk::sim::SimFolder> folder;
    bool saveFailed = false;
};

SimulatedDevice g_sim;
std::string g_lockName = zqk::kDeviceLockName;
std::string g_matching;

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

// Every process that simulates the device in the same folder shares one
// device lock, as processes that share one real device do. The name holds
// the folder's 32-bit FNV-1a hash, so that other programs can find it.
std::string SimLockName(const std::string& folder)
{
    uint32_t hash = 2166136261u;
    for (const char c : folder) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    char name[32];
    std::snprintf(name, sizeof name, "zqk-sim-%08x", hash);
    return name;
}

void StartSimulatedDevice(const Options& Opts)
{
    auto& clock = zqk::SystemClock::Instance();
    g_sim.keeper = std::make_unique<zqk::sim::SimKeeper>(clock);
    zqk::sim::SimKeeper& keeper = *g_sim.keeper;
    if (Opts.simMode == "bootloader")
        keeper.SetRunMode(zqk::sim::RunMode::BootLoader);
    else if (Opts.simMode == "ate")
        keeper.SetRunMode(zqk::sim::RunMode::ATE);
    else if (Opts.simMode != "app")
        throw Failure(kUsage, "--sim-mode must be app, bootloader or ate, not \"" + Opts.simMode + "\"");
    keeper.SetQuotedNames(!Opts.simUnquoted);

    const std::string folder = Opts.simDir.empty() ? DefaultSimFolder() : Opts.simDir;
    g_sim.folder = std::make_unique<zqk::sim::SimFolder>(folder);
    if (!g_sim.folder->Load(keeper.Files))
        throw Failure(kLocalFile, "cannot use " + folder + " for the simulated device's files");
    keeper.Files.OnChange = [] { g_sim.saveFailed |= !g_sim.folder->Save(g_sim.keeper->Files); };

    g_lockName = SimLockName(folder);
    zqk::LibraryOptions options;
    options.Device = std::make_unique<zqk::sim::SimReportDevice>(keeper.Device, clock);
    options.LockName = g_lockName;
    zqk::RestartLibrary(std::move(options));
}

std::string Hex(int32_t value)
{
    if (value < 0)
        return "any";
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

}  // namespace

void OpenDevice(const Options& Opts)
{
    if (Opts.sim)
        StartSimulatedDevice(Opts);
    else if (!zqk::StartLibrary())
        throw Failure(kNoDevice, "the platform's HID services are not available");
    zqkSetVidPid(0, Opts.vendorId);
    zqkSetVidPid(1, Opts.productId);
    zqkSetVidPid(2, Opts.usagePage);
    zqkSetVidPid(3, Opts.usage);
    g_matching = "vendor " + Hex(Opts.vendorId) + ", product " + Hex(Opts.productId) + ", usage page " +
                 Hex(Opts.usagePage) + ", usage " + Hex(Opts.usage);
    if (zqkOpen() != 1)
        throw Failure(kNoDevice, std::string("no device found (") + g_matching + ")" +
                                     (Opts.sim ? "" : "; --sim uses the simulated device"));
}

void FinishDevice()
{
    zqkClose();
    if (g_sim.saveFailed)
        throw Failure(kLocalFile, "the simulated device could not save its files");
}

Failure DeviceFailure(const std::string& What)
{
    zqk::DeviceLock probe(g_lockName);
    if (!probe.Lock(0))
        return Failure(kLockHeld, What + ": another program holds the device lock");
    probe.Unlock();
    if (!zqkIsOpen())
        return Failure(kNoDevice, What + ": the device is no longer connected");
    return Failure(kFailed, What + ": the device answered with an error");
}

}  // namespace zqktool
