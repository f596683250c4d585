#include "transport/opener.h"

#include "base/clock.h"
#include "base/failure_note.h"
#include "transport/hid_transport.h"

namespace zqk {

namespace {

// In the order they are asked; the HID transport, which takes every name,
// comes last.
const TransportBackend* const kBackends[] = {&kSimTransport, &kHidTransport};

}  // namespace

const TransportBackend& TransportFor(const std::string& Name)
{
    for (const TransportBackend* backend : kBackends) {
        if (backend->TakesName(Name))
            return *backend;
    }
    return kHidTransport;
}

std::unique_ptr<ReportDevice> OpenPath(const std::string& Path)
{
    if (Path.empty()) {
        NoteFailure(Failure::Argument, "no path given");
        return nullptr;
    }
    return TransportFor(Path).OpenPath(Path);
}

std::unique_ptr<ReportDevice> OpenNamed(const std::string& PathOrSerial, const MatchValues& Match)
{
    return TransportFor(PathOrSerial).OpenName(PathOrSerial, Match);
}

bool IsPresent(const std::string& PathOrSerial, const MatchValues& Match)
{
    return TransportFor(PathOrSerial).IsPresent(PathOrSerial, Match);
}

bool WaitForDevice(const std::string& PathOrSerial, const MatchValues& Match, int32_t Timeout)
{
    constexpr uint32_t kLookEveryMs = 100;
    const TransportBackend& backend = TransportFor(PathOrSerial);
    if (!backend.DevicesArrive)
        return backend.IsPresent(PathOrSerial, Match);  // there at once, or never
    Clock& clock = SystemClock::Instance();
    const uint64_t start = clock.NowMs();
    for (;;) {
        if (backend.IsPresent(PathOrSerial, Match)) {
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
