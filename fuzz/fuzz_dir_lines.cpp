// Directory listing lines, their date fields and the text exports: the
// input is a listing (lines split at line feeds) and every field of it is
// also taken as a number, a packed date-time and a Unix time. Results are
// checked against the C library's own calendar (timegm, gmtime_r) and
// against buffers guarded on both sides.
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "api/library.h"
#include "files/date_time.h"
#include "files/dir_entry.h"
#include "fuzz/fuzz_support.h"
#include "zqkAPI.h"

namespace zqk::fuzz {
namespace {

constexpr size_t kGuard = 16;
constexpr char kGuardByte = 0x5A;

// The caller's buffer of Size bytes with guard bytes after it.
class GuardedBuffer {
public:
    explicit GuardedBuffer(int32_t Size) : size_(Size > 0 ? static_cast<size_t>(Size) : 0), bytes_(size_ + kGuard, kGuardByte) {}
    char* Data() { return size_ ? bytes_.data() : nullptr; }
    bool Untouched(size_t From = 0) const
    {
        for (size_t i = From; i < bytes_.size(); ++i)
            if (bytes_[i] != kGuardByte)
                return false;
        return true;
    }
    // A buffer-return result: the text and its zero byte, or nothing at all.
    void CheckResult(int32_t Result, const std::string& Expected) const
    {
        if (Result >= 0) {
            ZQK_FUZZ_CHECK(static_cast<size_t>(Result) == Expected.size() && Expected.size() < size_);
            ZQK_FUZZ_CHECK(std::memcmp(bytes_.data(), Expected.data(), Expected.size()) == 0);
            ZQK_FUZZ_CHECK(bytes_[Expected.size()] == '\0');
            ZQK_FUZZ_CHECK(Untouched(Expected.size() + 1));
        } else {
            ZQK_FUZZ_CHECK(Result == -static_cast<int32_t>(Expected.size() + 1));
            ZQK_FUZZ_CHECK(Untouched());
        }
    }

private:
    size_t size_;
    std::vector<char> bytes_;
};

// A signed 32-bit decimal integer, leading blanks allowed, told apart from
// the library's own parser.
bool ReferenceInt32(const std::string& Text, int64_t& Value)
{
    size_t i = 0;
    while (i < Text.size() && Text[i] == ' ')
        ++i;
    const bool negative = i < Text.size() && Text[i] == '-';
    if (i < Text.size() && (Text[i] == '-' || Text[i] == '+'))
        ++i;
    std::string digits = Text.substr(i);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    if (digits.size() > 10)
        return false;
    Value = std::stoll(digits) * (negative ? -1 : 1);
    return Value >= INT32_MIN && Value <= INT32_MAX;
}

std::string FormatTm(const std::tm& Time)
{
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", Time.tm_year + 1900, Time.tm_mon + 1,
                  Time.tm_mday, Time.tm_hour, Time.tm_min, Time.tm_sec);
    return text;
}

// The packed date-time's fields when they name a real moment.
bool PackedToTm(int32_t Packed, std::tm& Time)
{
    if (Packed <= 0)
        return false;
    const auto bits = static_cast<uint32_t>(Packed);
    Time = {};
    Time.tm_year = static_cast<int>(bits >> 25) + 80;
    Time.tm_mon = static_cast<int>((bits >> 21) & 0x0F) - 1;
    Time.tm_mday = static_cast<int>((bits >> 16) & 0x1F);
    Time.tm_hour = static_cast<int>((bits >> 11) & 0x1F);
    Time.tm_min = static_cast<int>((bits >> 5) & 0x3F);
    Time.tm_sec = static_cast<int>(bits & 0x1F) * 2;
    std::tm normalised = Time;
    timegm(&normalised);  // moves fields that overflow: a date that does not exist changes
    return Time.tm_mon >= 0 && Time.tm_hour <= 23 && Time.tm_min <= 59 && Time.tm_sec <= 58 &&
           normalised.tm_mday == Time.tm_mday && normalised.tm_mon == Time.tm_mon &&
           normalised.tm_year == Time.tm_year && normalised.tm_hour == Time.tm_hour;
}

void CheckNumberField(const std::string& Field)
{
    int64_t expected = 0;
    int32_t value = 12345;
    const bool parsed = ParseInt32(Field, value);
    ZQK_FUZZ_CHECK(parsed == ReferenceInt32(Field, expected));
    ZQK_FUZZ_CHECK(!parsed || value == expected);

    const double date = PackedToDateTime(Field);
    std::tm time {};
    const bool real = parsed && PackedToTm(value, time);
    ZQK_FUZZ_CHECK(real == (date != 0.0));
    if (!real)
        return;
    ZQK_FUZZ_CHECK(DateTimeToPacked(date) == static_cast<uint32_t>(value));
    ZQK_FUZZ_CHECK(FormatDateTime(date, ":") == FormatTm(time));
    ZQK_FUZZ_CHECK(DateTimeToUnix(date) == static_cast<int64_t>(timegm(&time)));
}

void CheckEntry(int32_t Index, const std::string& Line, int32_t NameSize)
{
    DirEntry entry;
    const bool parsed = ParseDirLine(Line, entry);
    GuardedBuffer name(NameSize);
    int32_t size = -7, attributes = -7, time = -7;
    const int32_t result = zqkGetDirEntry(Index, name.Data(), NameSize, &size, &attributes, &time);
    if (!parsed) {
        ZQK_FUZZ_CHECK(result == -1 && name.Untouched() && size == -7 && attributes == -7 && time == -7);
        return;
    }
    std::string expectedName = Line.substr(0, Line.find('\t'));
    ZQK_FUZZ_CHECK(entry.Name == expectedName);
    name.CheckResult(result, expectedName);
    ZQK_FUZZ_CHECK(size == entry.Size && attributes == entry.Attributes);
    std::string rest = Line, field;
    for (int i = 0; i < 4; ++i)
        NextField(rest, field);
    std::tm stamp {};
    int32_t packed = 0;
    const int64_t unix = ParseInt32(field, packed) && PackedToTm(packed, stamp) ? timegm(&stamp) : -2209161600LL;
    ZQK_FUZZ_CHECK(time == static_cast<int32_t>(static_cast<uint32_t>(unix)));
    ZQK_FUZZ_CHECK(zqkGetDirEntry(Index, nullptr, 0, nullptr, nullptr, nullptr) ==
                   -static_cast<int32_t>(expectedName.size() + 1));
}

void CheckAttributes(int32_t Attributes, int32_t Size)
{
    std::string expected;
    if (Attributes & 0x10) {
        expected = "<DIR>";
    } else {
        if (Attributes & 0x20)
            expected += 'A';
        if (Attributes & 0x01)
            expected += 'R';
        if (Attributes & 0x02)
            expected += 'H';
    }
    GuardedBuffer text(Size);
    text.CheckResult(zqkAttrToText(Attributes, text.Data(), Size), expected);
}

void CheckDateText(int32_t Time, int32_t Size)
{
    const std::time_t seconds = Time;
    std::tm utc {};
    gmtime_r(&seconds, &utc);
    GuardedBuffer text(Size);
    text.CheckResult(zqkDateToText(Time, text.Data(), Size), FormatTm(utc));
    ZQK_FUZZ_CHECK(DateTimeToUnix(UnixToDateTime(Time)) == Time);
}

int32_t Int32At(const std::string& Bytes, size_t At)
{
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<uint8_t>(At + i < Bytes.size() ? Bytes[At + i] : 0);
    return static_cast<int32_t>(value);
}

}  // namespace
}  // namespace zqk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    using namespace zqk::fuzz;
    static zqk::sim::ManualClock clock;
    static zqk::sim::SimDevice device(clock);
    static SimLibrary library(device, clock);
    const std::string input(reinterpret_cast<const char*>(Data), Size);

    std::vector<std::string> lines;
    for (size_t start = 0; start <= input.size();) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos)
            end = input.size();
        std::string line = input.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    zqk::TheLibrary()->Default().DirLines.Replace(lines);
    const int32_t nameSize = static_cast<int32_t>(Size % 64) - 2;
    for (size_t i = 0; i < lines.size() && i < 64; ++i) {
        CheckEntry(static_cast<int32_t>(i), lines[i], nameSize);
        std::string rest = lines[i], field;
        while (!rest.empty()) {
            zqk::NextField(rest, field);
            CheckNumberField(field);
        }
    }
    ZQK_FUZZ_CHECK(zqkGetDirEntry(static_cast<int32_t>(lines.size()), nullptr, 0, nullptr, nullptr, nullptr) == -1);
    ZQK_FUZZ_CHECK(zqkGetDirEntry(-1, nullptr, 0, nullptr, nullptr, nullptr) == -1);

    for (size_t at = 0; at < input.size() && at < 64; at += 4) {
        const int32_t value = Int32At(input, at);
        CheckAttributes(value, nameSize);
        CheckDateText(value, nameSize + 12);
    }
    return 0;
}
