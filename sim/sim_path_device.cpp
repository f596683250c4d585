#include "sim/sim_path_device.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "base/platform_text.h"

namespace zqk::sim {

namespace {

namespace fs = std::filesystem;

constexpr const char* kPrefix = "sim:";
// Error codes as the platform transports give them.
constexpr int32_t kErrorNotOpen = EBADF;
constexpr int32_t kErrorGone = ENODEV;

bool ParseNumber(const std::string& Text, uint64_t Max, uint64_t& Value)
{
    if (Text.empty() || Text.find_first_not_of("0123456789") != std::string::npos || Text.size() > 12)
        return false;
    Value = std::strtoull(Text.c_str(), nullptr, 10);
    return Value <= Max;
}

// A password is typed as one line at the terminal: no control byte (escape
// and carriage return would cut it) and none of the prompt's framing bytes.
bool IsTypablePassword(const std::string& Text)
{
    return !Text.empty() && Text.size() <= 64 &&
           std::all_of(Text.begin(), Text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

bool ApplyOption(const std::string& Name, const std::string& Value, SimPathOptions& Options)
{
    uint64_t number = 0;
    if (Name == "mode") {
        if (Value == "app")
            Options.Mode = RunMode::App;
        else if (Value == "bootloader")
            Options.Mode = RunMode::BootLoader;
        else if (Value == "ate")
            Options.Mode = RunMode::ATE;
        else
            return false;
        return true;
    }
    if (Name == "unquoted" && (Value == "0" || Value == "1")) {
        Options.QuotedNames = Value == "0";
        return true;
    }
    if (Name == "pace" && Value == "host") {
        Options.PaceUs = 0;
        return true;
    }
    if (Name == "pace" && ParseNumber(Value, 1000000, number)) {
        Options.PaceUs = static_cast<uint32_t>(number);
        return true;
    }
    if (Name == "serial" && !Value.empty() && Value.size() <= 126) {
        Options.SerialNumber = Value;
        return true;
    }
    if (Name == "names" && (Value == "case" || Value == "nocase")) {
        Options.CaseSensitiveNames = Value == "case";
        return true;
    }
    if (Name == "garble" && (Value == "0" || Value == "1")) {
        Options.GarbledWrites = Value == "1";
        return true;
    }
    if (Name == "password" && IsTypablePassword(Value)) {
        Options.Password = Value;
        return true;
    }
    if (Name == "unplug" && ParseNumber(Value, UINT64_MAX / 2, number)) {
        Options.UnplugAfterReports = number;
        return true;
    }
    return false;
}

}  // namespace

bool IsSimPath(const std::string& Path)
{
    return Path.rfind(kPrefix, 0) == 0;
}

bool ParseSimPath(const std::string& Path, SimPathOptions& Options, std::string& Problem)
{
    Options = SimPathOptions {};
    if (!IsSimPath(Path)) {
        Problem = "a simulated device's path starts with \"sim:\"";
        return false;
    }
    const std::string rest = Path.substr(4);
    const size_t query = rest.find('?');
    const std::string folder = rest.substr(0, query);
    if (folder.empty()) {
        Problem = "\"sim:\" wants a folder for the simulated device's files (sim:DIR)";
        return false;
    }
    std::error_code ec;
    Options.Folder = fs::absolute(fs::path(folder), ec).lexically_normal().string();
    if (ec) {
        Problem = "cannot make an absolute path of " + folder + ": " + ec.message();
        return false;
    }
    while (Options.Folder.size() > 1 && (Options.Folder.back() == '/' || Options.Folder.back() == '\\'))
        Options.Folder.pop_back();
    if (query == std::string::npos)
        return true;
    size_t at = query + 1;
    while (at <= rest.size()) {
        const size_t end = std::min(rest.find('&', at), rest.size());
        const std::string pair = rest.substr(at, end - at);
        const size_t equals = pair.find('=');
        const std::string name = pair.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : pair.substr(equals + 1);
        if (!ApplyOption(name, value, Options)) {
            Problem = "unknown option \"" + pair +
                      "\" for a simulated device (mode=app|bootloader|ate, unquoted=0|1, pace=MICROSECONDS|host, "
                      "serial=TEXT, password=TEXT, unplug=REPORTS, names=case|nocase, garble=0|1)";
            return false;
        }
        at = end + 1;
    }
    return true;
}

std::string SimDevicePath(const SimPathOptions& Options)
{
    return kPrefix + Options.Folder;
}

void ApplySimPathOptions(const SimPathOptions& Options, SimKeeper& Keeper)
{
    Keeper.SetRunMode(Options.Mode);
    Keeper.SetQuotedNames(Options.QuotedNames);
    Keeper.Device.Identity.Path = SimDevicePath(Options);
    // In the encoding the library hands it back in, so that it comes back as given.
    Keeper.Device.Identity.SerialNumber = Utf16FromAnsi(Options.SerialNumber);
    Keeper.Device.SetPacingUs(Options.PaceUs);
    Keeper.Device.SetWriteDurationUs(Options.PaceUs);
    Keeper.Device.KeepHostPackets(false);
    if (Options.UnplugAfterReports > 0)
        Keeper.Device.UnplugAfterReports(Options.UnplugAfterReports);
    Keeper.Files.SetGarbledWrites(Options.GarbledWrites);
    Keeper.Terminal.RequirePassword(Options.Password);
}

SimPathDevice::SimPathDevice(const SimPathOptions& Options)
    : path_(SimDevicePath(Options)),
      folderPath_(Options.Folder),
      writeFrameUs_(Options.PaceUs),
      pacedByHost_(Options.PaceUs == 0),
      keeper_(SystemClock::Instance()),
      folder_(fs::path(Options.Folder), NameLess {Options.CaseSensitiveNames})
{
    ApplySimPathOptions(Options, keeper_);
    keeper_.Files.UseStore(folder_);
}

std::unique_ptr<SimPathDevice> SimPathDevice::Open(const SimPathOptions& Options, std::string& Problem)
{
    std::unique_ptr<SimPathDevice> device(new SimPathDevice(Options));
    std::string why;
    if (!device->folder_.Prepare(why)) {
        Problem = "cannot keep the simulated device's files in " + Options.Folder + ": " + why;
        return nullptr;
    }
    return device;
}

template <typename Body>
auto SimPathDevice::Locked(Body&& Run) const
{
    const std::lock_guard<std::mutex> guard(model_);
    return Run();
}

bool SimPathDevice::Open(int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage)
{
    return Locked([&] {
        if (keeper_.Device.Unplugged() || !keeper_.Device.Matches(VendorID, ProductID, UsagePage, Usage))
            return false;
        open_ = true;
        return true;
    });
}

void SimPathDevice::Close()
{
    {
        const std::lock_guard<std::mutex> guard(model_);
        open_ = false;
        readPending_ = false;
    }
    inputQueued_.notify_all();
}

bool SimPathDevice::IsOpen() const
{
    return Locked([&] { return Readable(); });
}

// Unplugged (or no longer able to keep its files): the link closes it.
bool SimPathDevice::Gone() const
{
    return Locked([&] { return open_ && keeper_.Device.Unplugged(); });
}

// Input becomes readable at its due time; new input is queued only by the
// host's writes, which wake a reader that has nothing queued to wait for.
// Unpaced, the host paces it: a read that does not wait finds nothing right after one
// that took a report: the link drains what is waiting into channel buffers
// that drop what does not fit, so a device that has everything due at once
// loses all but the first 2048 packets of a long output, and one paced in real
// time loses data whenever the host falls behind. This way the link takes one
// report per look at the input, never more than it passes on.
int32_t SimPathDevice::ReadReport(uint8_t* Buffer, int32_t Count, int32_t TimeoutMs)
{
    Clock& clock = SystemClock::Instance();
    const uint64_t deadline = clock.NowUs() + uint64_t {static_cast<uint32_t>(std::max(TimeoutMs, 0))} * 1000;
    const size_t count = static_cast<size_t>(std::clamp(Buffer ? Count : 0, 0, kMaxReportReadCount));
    std::unique_lock<std::mutex> lock(model_);
    for (;;) {
        if (!open_) {
            lastError_ = kErrorNotOpen;
            return -1;
        }
        if (keeper_.Device.Unplugged()) {
            lastError_ = kErrorGone;
            return -1;
        }
        const uint64_t now = clock.NowUs();
        uint64_t due = 0;
        const bool queued = keeper_.Device.NextInputDueUs(due);
        if (queued && due <= now && !(pacedByHost_ && tookReport_ && TimeoutMs <= 0)) {
            readPending_ = false;
            lastError_ = 0;
            tookReport_ = true;
            const size_t size = keeper_.Device.TakeInput(Buffer, count);
            return static_cast<int32_t>(std::min(count, size));
        }
        tookReport_ = false;
        if (now >= deadline) {
            readPending_ = true;
            return -1;
        }
        if (queued) {
            lock.unlock();
            clock.SleepUs(std::min(due, deadline) - now);
            lock.lock();
        } else {
            inputQueued_.wait_for(lock, std::chrono::microseconds(deadline - now));
        }
    }
}

// An output report goes out in the endpoint's next frame, as on a paced
// device in the same process.
int32_t SimPathDevice::WriteReport(const uint8_t* Buffer, int32_t Count, int32_t)
{
    if (writeFrameUs_ > 0) {
        Clock& clock = SystemClock::Instance();
        const uint64_t now = clock.NowUs();
        clock.SleepUs((now / writeFrameUs_ + 1) * writeFrameUs_ - now);
    }
    {
        const std::lock_guard<std::mutex> guard(model_);
        if (Count < 0 || Count > kMaxReportWriteCount || (Buffer == nullptr && Count > 0) || !open_) {
            lastError_ = kErrorNotOpen;
            return -1;
        }
        if (keeper_.Device.Unplugged()) {
            lastError_ = kErrorGone;
            return -1;
        }
        keeper_.Device.HostWrite(Buffer, static_cast<size_t>(Count));
        lastError_ = 0;
    }
    inputQueued_.notify_all();
    return Count;
}

std::optional<UsbIdentity> SimPathDevice::ReadableIdentity() const
{
    return Locked([&] { return Readable() ? std::optional<UsbIdentity>(keeper_.Device.Identity) : std::nullopt; });
}

int32_t SimPathDevice::LastError() const
{
    return Locked([&] { return lastError_; });
}

std::string SimPathDevice::ErrorText(int32_t Code) const
{
    return std::generic_category().message(Code);
}

bool SimPathDevice::ReadPending() const
{
    return Locked([&] { return readPending_; });
}

}  // namespace zqk::sim
