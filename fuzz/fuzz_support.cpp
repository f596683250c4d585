#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sys/mman.h>
#include <unistd.h>

#include "api/library.h"
#include "sim/sim_report_device.h"

namespace zqk::fuzz {

namespace {

std::set<std::string>& LockNames()
{
    static auto* names = new std::set<std::string>;  // still there for the exit handler
    return *names;
}

void RemoveLockNames()
{
    for (const std::string& name : LockNames())
        shm_unlink(("/" + name).c_str());
}

void RemoveScratchDir()
{
    const std::string& dir = ScratchDir();
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                unlink((dir + "/" + name).c_str());
        }
        closedir(d);
    }
    rmdir(dir.c_str());
}

}  // namespace

std::string FuzzLockName(const char* Purpose)
{
    std::string name = std::string("zqk_fuzz_") + Purpose + "_" + std::to_string(getpid());
    if (LockNames().empty())
        std::atexit(RemoveLockNames);
    LockNames().insert(name);
    return name;
}

SimLibrary::SimLibrary(sim::SimDevice& Device, sim::ManualClock& Clock)
{
    DeviceOptions options;
    options.Device = std::make_unique<sim::SimReportDevice>(Device, Clock);
    options.TimeSource = &Clock;
    options.LockName = FuzzLockName("library");
    ReplaceDefaultDevice(std::move(options));
}

SimLibrary::~SimLibrary()
{
    DeviceOptions options;
    options.LockName = FuzzLockName("library");
    ReplaceDefaultDevice(std::move(options));
}

const std::string& ScratchDir()
{
    // Never freed: the exit handler that removes the folder still needs it.
    static const std::string* dir = [] {
        // The process ID in the name lets scripts/fuzz remove what a crashed run left.
        auto* pattern = new std::string("/tmp/zqk_fuzz_" + std::to_string(getpid()) + "_XXXXXX");
        if (!mkdtemp(pattern->data()))
            std::abort();
        std::atexit(RemoveScratchDir);
        return pattern;
    }();
    return *dir;
}

std::string ScratchPath(const std::string& Name)
{
    return ScratchDir() + "/" + Name;
}

bool ReadWholeFile(const std::string& Path, std::string& Contents)
{
    std::ifstream in(Path, std::ios::binary);
    if (!in)
        return false;
    Contents.assign(std::istreambuf_iterator<char>(in), {});
    return true;
}

void WriteWholeFile(const std::string& Path, const std::string& Contents)
{
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << Contents;
}

size_t ScratchEntries()
{
    size_t count = 0;
    if (DIR* d = opendir(ScratchDir().c_str())) {
        while (const dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            count += name != "." && name != "..";
        }
        closedir(d);
    }
    return count;
}

bool ReportData(const std::string& Report, uint8_t& Channel, std::string& Data)
{
    if (Report.size() < static_cast<size_t>(kPacketSize))
        return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(Report.data());
    if (bytes[0] >= kChannelCount)
        return false;
    Channel = bytes[0];
    Data.assign(Report, kPacketHeaderSize, PacketDataLength(bytes));
    return true;
}

}  // namespace zqk::fuzz
