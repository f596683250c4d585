#include "api/device_opener.h"

#include <algorithm>
#include <cstdio>

#include "hid/raw_hid.h"
#include "base/clock.h"
#include "base/failure_note.h"
#include "base/platform_text.h"
#include "sim/sim_path_device.h"

namespace zqk {

namespace {

std::string Hex(const char* What, int32_t Value)
{
    if (Value < 0)
        return std::string("any ") + What;
    char text[48];
    std::snprintf(text, sizeof text, "%s 0x%04X", What, static_cast<unsigned>(Value));
    return text;
}

// The matching devices and the number of HID interfaces looked at.
int32_t FindInterfaces(const MatchValues& Match, std::vector<FoundInterface>& Found, int32_t& Seen)
{
    Seen = 0;
    const int32_t count = TRawHid::FindInterfaces(Found, Match[0], Match[1], Match[2], Match[3], Seen);
    if (count < 0)
        NoteFailure(Failure::NoDevice, "the system's HID interfaces could not be enumerated");
    return count;
}

void NoteNothingMatches(const MatchValues& Match, int32_t Seen, const std::string& Extra = {})
{
    NoteFailure(Failure::NoDevice, "no device found" + Extra + " (looked for " + DescribeMatching(Match) +
                                       " among " + std::to_string(Seen) + " HID interface" + (Seen == 1 ? "" : "s") +
                                       ")");
}

void NoteOpenRefused(const std::string& Path, int32_t Error)
{
    const Failure kind = TRawHid::IsAccessError(Error) ? Failure::Access : Failure::NoDevice;
    std::string text = "cannot open " + Path + ": " + PlatformErrorText(Error);
    if (kind == Failure::Access)
        text += " (" + TRawHid::AccessAdvice() + ")";
    NoteFailure(kind, text);
}

std::unique_ptr<ReportDevice> OpenPlatformPath(const std::string& Path)
{
    if (!TRawHid::IsHidInterface(Path)) {
        NoteFailure(Failure::NoDevice, Path + " is no HID interface of this system");
        return nullptr;
    }
    auto device = std::make_unique<TRawHid>();
    if (device->OpenPath(Path))
        return device;
    NoteOpenRefused(Path, device->OpenError());
    return nullptr;
}

// What a "sim:" path asks for; false, with the reason noted, when it does
// not parse.
bool ParseSimPathNotingWhy(const std::string& Path, sim::SimPathOptions& Options)
{
    std::string problem;
    if (sim::ParseSimPath(Path, Options, problem))
        return true;
    NoteFailure(Failure::Argument, problem);
    return false;
}

bool ParsesAsSimPath(const std::string& Path)
{
    sim::SimPathOptions options;
    return ParseSimPathNotingWhy(Path, options);
}

std::unique_ptr<ReportDevice> OpenSimPath(const std::string& Path)
{
    sim::SimPathOptions options;
    if (!ParseSimPathNotingWhy(Path, options))
        return nullptr;
    std::string problem;
    std::unique_ptr<ReportDevice> device = sim::SimPathDevice::Open(options, problem);
    if (!device)
        NoteFailure(Failure::Access, problem);
    return device;
}

// The first of these that opens; the reason of the first refusal otherwise.
template <typename Wanted>
std::unique_ptr<ReportDevice> OpenFirstOf(const std::vector<FoundInterface>& Found, Wanted&& IsWanted)
{
    auto device = std::make_unique<TRawHid>();
    std::string refusedPath;
    int32_t refusal = 0;
    for (const FoundInterface& found : Found) {
        if (!IsWanted(found))
            continue;
        if (device->OpenPath(found.Path))
            return device;
        if (refusedPath.empty()) {
            refusedPath = found.Path;
            refusal = device->OpenError();
        }
    }
    if (!refusedPath.empty())
        NoteOpenRefused(refusedPath, refusal);
    return nullptr;
}

// Whether a found interface has that serial number.
auto HasSerial(const std::string& Serial)
{
    return [Serial](const FoundInterface& Found) { return AnsiFromUtf16(Found.SerialNumber) == Serial; };
}

// Made at a thread's first zqkFindDevices and left at its end: a thread's
// objects with destructors hung a Windows process whose threads ended
// together (see StoredNote). What is left is the list of one thread.
thread_local std::vector<FoundDevice>* t_found = nullptr;

std::vector<FoundDevice>& FoundForThisThread()
{
    if (!t_found)
        t_found = new std::vector<FoundDevice>;
    return *t_found;
}

}  // namespace

bool StartPlatformDevices()
{
    return HidStartUp();
}

std::unique_ptr<ReportDevice> NewPlatformDevice()
{
    return std::make_unique<TRawHid>();
}

std::unique_ptr<ReportDevice> NewLinkPlatformDevice()
{
    HidBindAgain();  // the results were had at start-up already
    return NewPlatformDevice();
}

std::string DescribeMatching(const MatchValues& Match)
{
    return Hex("vendor", Match[0]) + ", " + Hex("product", Match[1]) + ", " + Hex("usage page", Match[2]) + ", " +
           Hex("usage", Match[3]);
}

int32_t FindDevices(const MatchValues& Match, std::vector<FoundDevice>& Found)
{
    Found.clear();
    std::vector<FoundInterface> interfaces;
    int32_t seen = 0;
    const int32_t count = FindInterfaces(Match, interfaces, seen);
    for (const FoundInterface& found : interfaces) {
        Found.push_back({found.Path, AnsiFromUtf16(found.SerialNumber), AnsiFromUtf16(found.Manufacturer),
                         AnsiFromUtf16(found.Product)});
    }
    return count;
}

NameKind KindOfName(const std::string& PathOrSerial)
{
    if (PathOrSerial.empty())
        return NameKind::FirstMatching;
    if (sim::IsSimPath(PathOrSerial))
        return NameKind::Simulated;
    if (PathOrSerial.find_first_of("/\\") != std::string::npos)
        return NameKind::PlatformPath;
    return NameKind::SerialNumber;
}

std::unique_ptr<ReportDevice> OpenFirstMatching(const MatchValues& Match)
{
    std::vector<FoundInterface> found;
    int32_t seen = 0;
    if (FindInterfaces(Match, found, seen) < 0)
        return nullptr;
    if (found.empty()) {
        NoteNothingMatches(Match, seen);
        return nullptr;
    }
    return OpenFirstOf(found, [](const FoundInterface&) { return true; });
}


std::unique_ptr<ReportDevice> OpenPath(const std::string& Path)
{
    if (Path.empty()) {
        NoteFailure(Failure::Argument, "no path given");
        return nullptr;
    }
    return sim::IsSimPath(Path) ? OpenSimPath(Path) : OpenPlatformPath(Path);
}

std::unique_ptr<ReportDevice> OpenSerial(const std::string& Serial, const MatchValues& Match)
{
    if (Serial.empty()) {
        NoteFailure(Failure::Argument, "no serial number given");
        return nullptr;
    }
    std::vector<FoundInterface> found;
    int32_t seen = 0;
    if (FindInterfaces(Match, found, seen) < 0)
        return nullptr;
    const auto hasSerial = HasSerial(Serial);
    if (std::none_of(found.begin(), found.end(), hasSerial)) {
        NoteNothingMatches(Match, seen, " with serial number \"" + Serial + "\"");
        return nullptr;
    }
    return OpenFirstOf(found, hasSerial);
}

std::unique_ptr<ReportDevice> OpenNamed(const std::string& PathOrSerial, const MatchValues& Match)
{
    switch (KindOfName(PathOrSerial)) {
    case NameKind::FirstMatching: return OpenFirstMatching(Match);
    case NameKind::Simulated: return OpenSimPath(PathOrSerial);
    case NameKind::PlatformPath: return OpenPlatformPath(PathOrSerial);
    case NameKind::SerialNumber: break;
    }
    return OpenSerial(PathOrSerial, Match);
}

// Present is what OpenNamed would open now. Only a serial number needs the
// devices' strings; everything else is looked for without asking a device.
bool IsPresent(const std::string& PathOrSerial, const MatchValues& Match)
{
    switch (KindOfName(PathOrSerial)) {
    case NameKind::FirstMatching: {
        std::vector<std::string> paths;
        return TRawHid::EnumerateDevices(paths, Match[0], Match[1], Match[2], Match[3]) > 0;
    }
    case NameKind::Simulated: return ParsesAsSimPath(PathOrSerial);
    case NameKind::PlatformPath: return TRawHid::IsHidInterface(PathOrSerial);
    case NameKind::SerialNumber: break;
    }
    std::vector<FoundInterface> found;
    int32_t seen = 0;
    if (FindInterfaces(Match, found, seen) <= 0)
        return false;
    return std::any_of(found.begin(), found.end(), HasSerial(PathOrSerial));
}

}  // namespace zqk

namespace zqk {

int32_t FindDevicesForThisThread(const MatchValues& Match)
{
    return FindDevices(Match, FoundForThisThread());
}

bool FoundDeviceField(int32_t Index, int32_t Type, std::string& Field)
{
    const std::vector<FoundDevice>& list = FoundForThisThread();
    if (Index < 0 || static_cast<size_t>(Index) >= list.size()) {
        NoteFailure(Failure::Argument, "no found device has index " + std::to_string(Index) + " (zqkFindDevices found " +
                                           std::to_string(list.size()) + ")");
        return false;
    }
    const FoundDevice& found = list[static_cast<size_t>(Index)];
    switch (Type) {
    case -1: Field = found.Path; return true;
    case 0: Field = found.SerialNumber; return true;
    case 1: Field = found.Manufacturer; return true;
    case 2: Field = found.Product; return true;
    default: break;
    }
    NoteFailure(Failure::Argument, "a found device has no field of type " + std::to_string(Type) + " (-1 to 2)");
    return false;
}

bool WaitForDevice(const std::string& PathOrSerial, const MatchValues& Match, int32_t Timeout)
{
    constexpr uint32_t kLookEveryMs = 100;
    if (KindOfName(PathOrSerial) == NameKind::Simulated)
        return IsPresent(PathOrSerial, Match);  // there at once, or never
    Clock& clock = SystemClock::Instance();
    const uint64_t start = clock.NowMs();
    for (;;) {
        if (IsPresent(PathOrSerial, Match)) {
            TakeFailure();  // what the looks before found missing no longer matters
            return true;
        }
        const uint64_t waited = clock.NowMs() - start;
        if (Timeout >= 0 && waited >= static_cast<uint64_t>(Timeout))
            break;
        const uint64_t left = Timeout < 0 ? kLookEveryMs : static_cast<uint64_t>(Timeout) - waited;
        clock.SleepMs(static_cast<uint32_t>(left < kLookEveryMs ? left : kLookEveryMs));
    }
    TakeFailure();
    NoteFailure(Failure::NoDevice, (PathOrSerial.empty() ? std::string("no device matching ") + DescribeMatching(Match)
                                                         : "no device \"" + PathOrSerial + "\"") +
                                       " appeared within " + std::to_string(Timeout) + " ms");
    return false;
}

}  // namespace zqk
