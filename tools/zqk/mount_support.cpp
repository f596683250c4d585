// What the parts of zqk mount share: see mount_support.h.
#include "mount_support.h"

#include <syslog.h>

#include <algorithm>
#include <cctype>
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

uint64_t StatedFlashBytes(const std::string& Text)
{
    unsigned long long number = 0;
    char unit = 0;
    int read = 0;
    if (std::sscanf(Text.c_str(), "flash %llu%c%n", &number, &unit, &read) != 2 || read != static_cast<int>(Text.size()))
        return 0;
    const std::string units = "KMG";
    const size_t power = units.find(static_cast<char>(std::toupper(static_cast<unsigned char>(unit))));
    if (power == std::string::npos || number == 0 || number > (1ull << 20))
        return 0;
    return static_cast<uint64_t>(number) << (10 * (power + 1));
}

}  // namespace zqktool::mounting
