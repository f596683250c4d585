#include "transport/hid_transport.h"

#include <algorithm>
#include <cstdio>

#include "base/failure_note.h"
#include "base/platform_text.h"
#include "hid/raw_hid.h"

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

// The one rule by which a name for the HID transport picks its device:
// empty, the first matching device; a name with a slash or backslash, that
// platform path (a matching device's, or any other HID interface, a udev
// link to a node for instance); any other name, the first matching device
// with that serial number.
enum class NameKind { FirstMatching, PlatformPath, SerialNumber };

NameKind KindOfName(const std::string& PathOrSerial)
{
    if (PathOrSerial.empty())
        return NameKind::FirstMatching;
    if (PathOrSerial.find_first_of("/\\") != std::string::npos)
        return NameKind::PlatformPath;
    return NameKind::SerialNumber;
}

// Every name the other backends leave is the HID transport's.
bool TakesAnyName(const std::string&)
{
    return true;
}

std::unique_ptr<ReportDevice> OpenHidName(const std::string& PathOrSerial, const MatchValues& Match)
{
    switch (KindOfName(PathOrSerial)) {
    case NameKind::FirstMatching: return OpenFirstMatching(Match);
    case NameKind::PlatformPath: return OpenPlatformPath(PathOrSerial);
    case NameKind::SerialNumber: break;
    }
    return OpenSerial(PathOrSerial, Match);
}

// Present is what OpenHidName would open now. Only a serial number needs the
// devices' strings; everything else is looked for without asking a device.
bool HidNamePresent(const std::string& PathOrSerial, const MatchValues& Match)
{
    switch (KindOfName(PathOrSerial)) {
    case NameKind::FirstMatching: {
        std::vector<std::string> paths;
        return TRawHid::EnumerateDevices(paths, Match[0], Match[1], Match[2], Match[3]) > 0;
    }
    case NameKind::PlatformPath: return TRawHid::IsHidInterface(PathOrSerial);
    case NameKind::SerialNumber: break;
    }
    std::vector<FoundInterface> found;
    int32_t seen = 0;
    if (FindInterfaces(Match, found, seen) <= 0)
        return false;
    return std::any_of(found.begin(), found.end(), HasSerial(PathOrSerial));
}

}  // namespace

const TransportBackend kHidTransport = {TakesAnyName, OpenHidName, OpenPlatformPath, HidNamePresent, true};

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

}  // namespace zqk
