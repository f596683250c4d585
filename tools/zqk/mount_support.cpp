// What the parts of zqk mount share: see mount_support.h.
#include "mount_support.h"

#include <syslog.h>

#include <algorithm>
#include <cstdio>

namespace zqktool::mounting {

bool messagesToSyslog = false;

void Say(const std::string& Text)
{
    std::fprintf(stderr, "zqk mount: %s\n", Text.c_str());
    if (messagesToSyslog)
        syslog(LOG_WARNING, "%s", Text.c_str());
}

time_t HostTime(int64_t DeviceTime)
{
    return static_cast<time_t>(UnixTimeOf(DeviceTime));
}

int64_t DeviceTime(time_t HostTime)
{
    return std::clamp<int64_t>(DeviceTimeOf(HostTime), kFirstDeviceTime, UINT32_MAX);
}

// The device keeps times to two seconds.
time_t KeptTime(time_t Time)
{
    return HostTime(DeviceTime(Time) & ~int64_t {1});
}

bool IsLocalName(const std::string& Name)
{
    return Name.size() <= NAME_MAX && DeviceNameProblem(Name).empty();
}

bool TellsCaseApart(const std::string& Chosen)
{
    if (Chosen.rfind("sim:", 0) != 0)
        return false;
    bool apart = false;
    for (size_t at = Chosen.find('?'); at < Chosen.size();) {
        const size_t end = std::min(Chosen.find('&', at + 1), Chosen.size());
        const std::string option = Chosen.substr(at + 1, end - at - 1);
        if (option == "names=case" || option == "names=nocase")
            apart = option == "names=case";
        at = end;
    }
    return apart;
}

}  // namespace zqktool::mounting
