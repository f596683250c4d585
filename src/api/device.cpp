#include "api/device.h"

#include "base/failure_note.h"
#include "transport/hid_transport.h"

#include <utility>

namespace zqk {

namespace {

std::unique_ptr<ReportDevice> PlatformDeviceUnlessGiven(std::unique_ptr<ReportDevice> Device)
{
    return Device ? std::move(Device) : NewLinkPlatformDevice();
}

}  // namespace

std::vector<std::string> DirList::Lines() const
{
    const std::lock_guard<std::mutex> guard(guard_);
    return lines_;
}

void DirList::Replace(std::vector<std::string> NewLines)
{
    const std::lock_guard<std::mutex> guard(guard_);
    lines_.swap(NewLines);
}

std::optional<std::string> DirList::Line(int32_t Index) const
{
    const std::lock_guard<std::mutex> guard(guard_);
    if (Index < 0 || static_cast<size_t>(Index) >= lines_.size())
        return std::nullopt;
    return lines_[static_cast<size_t>(Index)];
}

void KeptRead::Keep(std::string Path, std::string Contents)
{
    const std::lock_guard<std::mutex> guard(guard_);
    path_ = std::move(Path);
    contents_ = std::move(Contents);
}

std::optional<std::string> KeptRead::Take(const std::string& Path)
{
    const std::lock_guard<std::mutex> guard(guard_);
    std::optional<std::string> kept = std::exchange(contents_, std::nullopt);
    if (path_ != Path)
        kept.reset();
    return kept;
}

TzqkDevice::TzqkDevice(DeviceOptions Options)
    : Comms(PlatformDeviceUnlessGiven(std::move(Options.Device)),
            Options.TimeSource ? *Options.TimeSource : SystemClock::Instance(), Options.LockName,
            Options.TakeClassicLock),
      Terminal(Comms),
      Files(Terminal)
{
    Terminal.SetPrompt(TzqTerminal::kDefaultPrompt);
    Files.OnProgress = [this](TzqkFiles& sender, int32_t position, int32_t total) {
        CallbackShim.Progress(&sender, position, total);
    };
    Files.OnComplete = [this](TzqkFiles& sender) { CallbackShim.Complete(&sender); };
    Terminal.OnCommand = [this](const std::string& line) {
        Comms.FlushTrace();  // a reader of the trace told of the command finds it there
        CommandLog.Tell(line);
    };
    if (Comms.IsOpen())
        LearnNameQuoting();
}

void TzqkDevice::UseOpened(std::unique_ptr<ReportDevice> Opened)
{
    Comms.Attach(std::move(Opened));
    LearnNameQuoting();
}

void TzqkDevice::LearnNameQuoting()
{
    // Firmware that understands quoted names says so in string 204.
    Files.QuoteNames = Comms.DeviceString204().find(".nfi.") != std::string::npos;
}

void FlushBeforeCommand(TzqTerminal& Terminal)
{
    constexpr int32_t kStaleOutputTimeout = 5;
    std::string stale;
    Terminal.FlushPrompt(kStaleOutputTimeout, stale);
}

void NoteSilenceOf(TzqkDevice& Dev, const std::string& TimeoutText)
{
    if (!Dev.Comms.IsOpen())
        NoteFailure(Failure::NotOpen, "the device is not open");
    else
        NoteFailure(Failure::Timeout, TimeoutText);
}

}  // namespace zqk
