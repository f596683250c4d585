#pragma once
#include <cstdint>
#include <string>

namespace zqk {

// Times inside the library are OLE dates: days since 1899-12-30 00:00 with
// the time of day as fraction; 0.0 stands for no date. The device writes DOS
// packed date-times (year-1980:7 month:4 day:5 hour:5 minute:6 second/2:5)
// in decimal text. No time-zone conversion happens anywhere.

// Decimal text of a packed date-time; 0.0 for "0", text that is not a 32-bit
// decimal integer, and dates or times that do not exist.
double PackedToDateTime(const std::string& Text);
uint32_t DateTimeToPacked(double Value);
// Rounded to the nearest second, halves to even.
int64_t DateTimeToUnix(double Value);
double UnixToDateTime(int64_t Seconds);
// "yyyy-mm-dd hh:nn:ss" with Separator between hours, minutes and seconds.
std::string FormatDateTime(double Value, const std::string& Separator);

// The separator between hours and minutes of a strftime time format such as
// "%H:%M:%S" or "%I.%M.%S %p"; empty when the format has none.
std::string TimeSeparatorOfFormat(const std::string& Format);

// A signed 32-bit decimal integer: leading blanks and a sign allowed,
// nothing after the digits.
bool ParseInt32(const std::string& Text, int32_t& Value);

struct CivilDateTime {
    int32_t Year, Month, Day, Hour, Minute, Second, Millisecond;
};
// Negative values count days before 1899-12-30, with the time of day taken
// from the fraction's magnitude, as OLE dates do.
CivilDateTime SplitDateTime(double Value);
double EncodeDateTime(const CivilDateTime& Time);

}  // namespace zqk
