// Times between the device and this host. The device counts seconds of its
// local time as if they were UTC, in steps of two seconds; the library gives
// and takes them as 32 bits read as unsigned, so that dates after 2038 fit.
#include <algorithm>
#include <cstdint>
#include <ctime>

#include "local_files.h"
#include "tool.h"

namespace zqktool {

namespace {

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

std::tm CivilFromSeconds(int64_t seconds)
{
    const int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const int64_t rest = seconds - days * 86400;
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    std::tm t {};
    t.tm_year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2)) - 1900;
    t.tm_mon = static_cast<int>(m) - 1;
    t.tm_mday = static_cast<int>(d);
    t.tm_hour = static_cast<int>(rest / 3600);
    t.tm_min = static_cast<int>(rest / 60 % 60);
    t.tm_sec = static_cast<int>(rest % 60);
    return t;
}

}  // namespace

int64_t DeviceSeconds(int32_t Raw)
{
    return static_cast<uint32_t>(Raw);
}

int32_t DeviceTimeArgument(int64_t DeviceTime)
{
    return static_cast<int32_t>(static_cast<uint32_t>(std::clamp<int64_t>(DeviceTime, 0, UINT32_MAX)));
}

int64_t DeviceTimeOf(int64_t UnixSeconds)
{
    const std::tm t = LocalTimeOf(UnixSeconds);
    return DaysFromCivil(t.tm_year + 1900, static_cast<unsigned>(t.tm_mon + 1), static_cast<unsigned>(t.tm_mday)) *
               86400 +
           t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
}

int64_t UnixTimeOf(int64_t DeviceTime)
{
    std::tm t = CivilFromSeconds(DeviceTime);
    t.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&t));
}

bool SameDeviceTime(int64_t A, int64_t B)
{
    return A - B > -2 && A - B < 2;
}

}  // namespace zqktool
