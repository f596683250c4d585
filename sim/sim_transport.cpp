// The simulated devices as a transport backend: "sim:DIR?option=value&..."
// opens the device kept in that folder (see SimPathOptions).
#include "base/failure_note.h"
#include "sim/sim_path_device.h"
#include "transport/transport_backend.h"

namespace zqk {

namespace {

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

// A simulated device is not found by the match values: its path names it.
std::unique_ptr<ReportDevice> OpenSimName(const std::string& Path, const MatchValues&)
{
    return OpenSimPath(Path);
}

// A path that parses opens (or notes why its folder cannot be used).
bool SimPathPresent(const std::string& Path, const MatchValues&)
{
    sim::SimPathOptions options;
    return ParseSimPathNotingWhy(Path, options);
}

}  // namespace

const TransportBackend kSimTransport = {sim::IsSimPath, OpenSimName, OpenSimPath, SimPathPresent, false};

}  // namespace zqk
