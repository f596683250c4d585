#include "files/date_time.h"

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace zqk {

namespace {

constexpr double kUnixEpochDays = 25569.0;  // 1970-01-01 as an OLE date
constexpr int64_t kMsPerDay = 86400000;

// Days from 1970-01-01 to a civil date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int32_t& year, int32_t& month, int32_t& day)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int32_t>(yoe + era * 400 + (month <= 2));
}

bool IsLeapYear(int32_t y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int32_t DaysInMonth(int32_t y, int32_t m)
{
    static const int32_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : days[m - 1];
}

}  // namespace

std::string TimeSeparatorOfFormat(const std::string& Format)
{
    for (const char* hour : {"%H", "%I", "%k", "%l"}) {
        const size_t at = Format.find(hour);
        if (at == std::string::npos)
            continue;
        const size_t start = at + 2;
        const size_t end = Format.find('%', start);
        if (end != std::string::npos && end > start)
            return Format.substr(start, end - start);
    }
    return {};
}

bool ParseInt32(const std::string& Text, int32_t& Value)
{
    size_t i = Text.find_first_not_of(' ');
    if (i == std::string::npos)
        return false;
    bool negative = false;
    if (Text[i] == '+' || Text[i] == '-') {
        negative = Text[i] == '-';
        ++i;
    }
    if (i == Text.size())
        return false;
    int64_t magnitude = 0;
    for (; i < Text.size(); ++i) {
        if (Text[i] < '0' || Text[i] > '9')
            return false;
        magnitude = magnitude * 10 + (Text[i] - '0');
        if (magnitude > int64_t {std::numeric_limits<int32_t>::max()} + 1)
            return false;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max())
        return false;
    Value = static_cast<int32_t>(value);
    return true;
}

CivilDateTime SplitDateTime(double Value)
{
    double dayPart = std::trunc(Value);
    int64_t ms = std::llround(std::fabs(Value - dayPart) * kMsPerDay);
    if (ms >= kMsPerDay) {  // rounding reached the next day
        ms -= kMsPerDay;
        dayPart += Value < 0 ? -1 : 1;
    }
    CivilDateTime t {};
    CivilFromDays(static_cast<int64_t>(dayPart) - static_cast<int64_t>(kUnixEpochDays), t.Year, t.Month, t.Day);
    t.Hour = static_cast<int32_t>(ms / 3600000);
    t.Minute = static_cast<int32_t>(ms / 60000 % 60);
    t.Second = static_cast<int32_t>(ms / 1000 % 60);
    t.Millisecond = static_cast<int32_t>(ms % 1000);
    return t;
}

double EncodeDateTime(const CivilDateTime& Time)
{
    const double days = static_cast<double>(DaysFromCivil(Time.Year, Time.Month, Time.Day)) + kUnixEpochDays;
    const double fraction =
        ((Time.Hour * 3600.0 + Time.Minute * 60.0 + Time.Second) * 1000.0 + Time.Millisecond) / kMsPerDay;
    return days >= 0 ? days + fraction : days - fraction;
}

double PackedToDateTime(const std::string& Text)
{
    int32_t packed = 0;
    if (!ParseInt32(Text, packed) || packed <= 0)
        return 0.0;
    const auto bits = static_cast<uint32_t>(packed);
    CivilDateTime t {};
    t.Year = static_cast<int32_t>(bits >> 25) + 1980;
    t.Month = static_cast<int32_t>((bits >> 21) & 0x0F);
    t.Day = static_cast<int32_t>((bits >> 16) & 0x1F);
    t.Hour = static_cast<int32_t>((bits >> 11) & 0x1F);
    t.Minute = static_cast<int32_t>((bits >> 5) & 0x3F);
    t.Second = static_cast<int32_t>(bits & 0x1F) * 2;
    const bool dateExists = t.Month >= 1 && t.Month <= 12 && t.Day >= 1 && t.Day <= DaysInMonth(t.Year, t.Month);
    const bool timeExists = t.Hour <= 23 && t.Minute <= 59 && t.Second <= 58;
    if (!dateExists || !timeExists)
        return 0.0;
    return EncodeDateTime(t);
}

uint32_t DateTimeToPacked(double Value)
{
    const CivilDateTime t = SplitDateTime(Value);
    // Years outside 1980..2107 do not fit; the shifts wrap as unsigned 32-bit values.
    return (static_cast<uint32_t>(t.Year - 1980) << 25) + (static_cast<uint32_t>(t.Month) << 21) +
           (static_cast<uint32_t>(t.Day) << 16) + (static_cast<uint32_t>(t.Hour) << 11) +
           (static_cast<uint32_t>(t.Minute) << 5) + static_cast<uint32_t>(t.Second / 2);
}

int64_t DateTimeToUnix(double Value)
{
    const double seconds = (Value - kUnixEpochDays) * 86400.0;
    const int mode = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(seconds);
    std::fesetround(mode);
    return static_cast<int64_t>(rounded);
}

double UnixToDateTime(int64_t Seconds)
{
    return static_cast<double>(Seconds) / 86400.0 + kUnixEpochDays;
}

std::string FormatDateTime(double Value, const std::string& Separator)
{
    const CivilDateTime t = SplitDateTime(Value);
    char date[32];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d ", t.Year, t.Month, t.Day);
    char hh[4], nn[4], ss[4];
    std::snprintf(hh, sizeof hh, "%02d", t.Hour);
    std::snprintf(nn, sizeof nn, "%02d", t.Minute);
    std::snprintf(ss, sizeof ss, "%02d", t.Second);
    return date + std::string(hh) + Separator + nn + Separator + ss;
}

}  // namespace zqk
