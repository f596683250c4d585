// Time stamps, listing lines and attribute texts.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "api/time_separator.h"
#include "files/date_time.h"
#include "files/dir_entry.h"
#include "files/files.h"
#include "sim/sim_file_system.h"

namespace zqk {
namespace {

using sim::SimFileSystem;

double Date(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    return EncodeDateTime({y, mo, d, h, mi, s, 0});
}

std::string Packed(int y, int mo, int d, int h, int mi, int s)
{
    return std::to_string(SimFileSystem::PackTime(y, mo, d, h, mi, s));
}

TEST(DateTimeTest, PackedTimesReadBackExactly)
{
    const double t = PackedToDateTime(Packed(2024, 3, 15, 10, 20, 30));
    EXPECT_DOUBLE_EQ(t, Date(2024, 3, 15, 10, 20, 30));
    EXPECT_EQ(DateTimeToUnix(t), 1710498030);
    EXPECT_EQ(FormatDateTime(t, ":"), "2024-03-15 10:20:30");
    EXPECT_DOUBLE_EQ(PackedToDateTime(Packed(1980, 1, 1, 0, 0, 0)), Date(1980, 1, 1));
    EXPECT_DOUBLE_EQ(PackedToDateTime(Packed(2043, 12, 31, 23, 59, 58)), Date(2043, 12, 31, 23, 59, 58));
    EXPECT_DOUBLE_EQ(PackedToDateTime(Packed(2024, 2, 29, 12, 0, 0)), Date(2024, 2, 29, 12));
}

TEST(DateTimeTest, ImpossibleOrMissingDatesReadAsNoDate)
{
    const std::string cases[] = {
        "", "0", "1", "abc", "12x", "-5", "2147483648", "4294967295",
        Packed(2024, 0, 1, 0, 0, 0), Packed(2024, 13, 1, 0, 0, 0), Packed(2024, 1, 0, 0, 0, 0),
        Packed(2023, 2, 29, 0, 0, 0), Packed(2024, 4, 31, 0, 0, 0), Packed(2024, 1, 1, 24, 0, 0),
        Packed(2024, 1, 1, 0, 60, 0),
        std::to_string(SimFileSystem::PackTime(2024, 1, 1, 0, 0, 0) | 30),  // 60 seconds
    };
    for (const std::string& text : cases)
        EXPECT_EQ(PackedToDateTime(text), 0.0) << text;
}

TEST(DateTimeTest, NoDateIsShownAs2036WhenCutTo32Bits)
{
    const int64_t unix = DateTimeToUnix(0.0);
    EXPECT_EQ(unix, -2209161600LL);
    const auto low = static_cast<int32_t>(static_cast<uint32_t>(unix));
    EXPECT_EQ(low, 2085805696);
    EXPECT_EQ(FormatDateTime(UnixToDateTime(low), ":"), "2036-02-05 06:28:16");
}

TEST(DateTimeTest, UnixTimesOfTheWholeSignedRange)
{
    EXPECT_EQ(FormatDateTime(UnixToDateTime(0), ":"), "1970-01-01 00:00:00");
    EXPECT_EQ(FormatDateTime(UnixToDateTime(-1), ":"), "1969-12-31 23:59:59");
    EXPECT_EQ(FormatDateTime(UnixToDateTime(INT32_MIN), ":"), "1901-12-13 20:45:52");
    EXPECT_EQ(FormatDateTime(UnixToDateTime(INT32_MAX), "."), "2038-01-19 03.14.07");
    for (int64_t t : {int64_t {0}, int64_t {1710498030}, int64_t {-86401}, int64_t {INT32_MAX}})
        EXPECT_EQ(DateTimeToUnix(UnixToDateTime(t)), t);
}

TEST(DateTimeTest, UnixSecondsRoundToTheNearest)
{
    EXPECT_EQ(DateTimeToUnix(25569.0 + 1.4 / 86400.0), 1);
    EXPECT_EQ(DateTimeToUnix(25569.0 + 1.6 / 86400.0), 2);
    EXPECT_EQ(DateTimeToUnix(25569.0 - 0.6 / 86400.0), -1);
    EXPECT_EQ(DateTimeToUnix(Date(2024, 3, 15, 10, 20, 30) + 0.499 / 86400.0), 1710498030);
}

TEST(DateTimeTest, DateTimeToPackedDropsOddSecondsAndMilliseconds)
{
    EXPECT_EQ(DateTimeToPacked(Date(2024, 3, 15, 10, 20, 31)), SimFileSystem::PackTime(2024, 3, 15, 10, 20, 30));
    EXPECT_EQ(DateTimeToPacked(EncodeDateTime({1999, 12, 31, 23, 59, 59, 999})),
              SimFileSystem::PackTime(1999, 12, 31, 23, 59, 58));
    EXPECT_EQ(PackedToDateTime(std::to_string(DateTimeToPacked(Date(2010, 6, 7, 8, 9, 10)))),
              Date(2010, 6, 7, 8, 9, 10));
}

TEST(DateTimeTest, DatesBefore1900CountDaysBackwards)
{
    const CivilDateTime t = SplitDateTime(-1.25);
    EXPECT_EQ(t.Year, 1899);
    EXPECT_EQ(t.Month, 12);
    EXPECT_EQ(t.Day, 29);
    EXPECT_EQ(t.Hour, 6);
    EXPECT_DOUBLE_EQ(Date(1899, 12, 29, 6), -1.25);
}

TEST(DateTimeTest, TimeSeparatorComesFromTheLocalesTimeFormat)
{
    EXPECT_EQ(TimeSeparatorOfFormat("%H:%M:%S"), ":");
    EXPECT_EQ(TimeSeparatorOfFormat("%I.%M.%S %p"), ".");
    EXPECT_EQ(TimeSeparatorOfFormat("%Hh%M"), "h");
    EXPECT_EQ(TimeSeparatorOfFormat("%T"), "");
    EXPECT_FALSE(UserTimeSeparator().empty());
}

TEST(DateTimeTest, Int32Parsing)
{
    int32_t v = 0;
    EXPECT_TRUE(ParseInt32("123", v));
    EXPECT_EQ(v, 123);
    EXPECT_TRUE(ParseInt32("  -42", v));
    EXPECT_EQ(v, -42);
    EXPECT_TRUE(ParseInt32("+7", v));
    EXPECT_TRUE(ParseInt32("-2147483648", v));
    EXPECT_EQ(v, INT32_MIN);
    EXPECT_TRUE(ParseInt32("2147483647", v));
    for (const char* bad : {"", " ", "-", "2147483648", "-2147483649", "12 ", "1x", "0x10", "99999999999999999999"})
        EXPECT_FALSE(ParseInt32(bad, v)) << bad;
}

// ---- listing lines ----

TEST(DirEntryTest, NextFieldTakesTabSeparatedFields)
{
    std::string line = "a\tb\t\tc", field;
    NextField(line, field);
    EXPECT_EQ(field, "a");
    NextField(line, field);
    EXPECT_EQ(field, "b");
    NextField(line, field);
    EXPECT_EQ(field, "");
    NextField(line, field);
    EXPECT_EQ(field, "c");
    EXPECT_EQ(line, "");
    NextField(line, field);
    EXPECT_EQ(field, "");
}

TEST(DirEntryTest, ParsesAWholeLine)
{
    DirEntry entry;
    const std::string t = Packed(2024, 3, 15, 10, 20, 30);
    ASSERT_TRUE(ParseDirLine("a b.txt\t123\t32\t" + t + "\t0\t" + t + "\tignored\tmore", entry));
    EXPECT_EQ(entry.Name, "a b.txt");
    EXPECT_EQ(entry.Size, 123);
    EXPECT_EQ(entry.Attributes, 32);
    EXPECT_DOUBLE_EQ(entry.Time1, Date(2024, 3, 15, 10, 20, 30));
    EXPECT_EQ(entry.Time2, 0.0);
    EXPECT_DOUBLE_EQ(entry.Time3, entry.Time1);
}

TEST(DirEntryTest, LinesWithoutNumbersDoNotParse)
{
    DirEntry entry;
    entry.Name = "kept";
    for (const char* bad : {"x", "x\t12", "x\t\t32", "x\t12\t", "x\tabc\t0", "x\t2147483648\t0"})
        EXPECT_FALSE(ParseDirLine(bad, entry)) << bad;
    EXPECT_EQ(entry.Name, "kept");
    ASSERT_TRUE(ParseDirLine("x\t-5\t288", entry));
    EXPECT_EQ(entry.Size, -5);
    EXPECT_EQ(entry.Attributes, 32) << "only the low 8 bits";
    EXPECT_EQ(entry.Time1, 0.0);
}

TEST(DirEntryTest, AttributeTexts)
{
    const struct {
        uint8_t attr;
        const char* text;
    } cases[] = {{0x00, ""}, {0x01, "R"}, {0x02, "H"}, {0x20, "A"}, {0x21, "AR"}, {0x23, "ARH"},
                 {0x10, "<DIR>"}, {0x13, "<DIR>"}, {0x30, "<DIR>"}, {0xC0, ""}};
    std::string text;
    for (const auto& c : cases) {
        AttrToText(c.attr, text);
        EXPECT_EQ(text, c.text) << int(c.attr);
    }
}

TEST(DirEntryTest, FirmwareNameIsTheLastPartOfThePathInLowerCase)
{
    EXPECT_EQ(FirmwareImageName("C:\\FW\\Main.BIN"), "main.bin");
    EXPECT_EQ(FirmwareImageName("/home/me/images/Main Image.BIN"), "main image.bin");
    EXPECT_EQ(FirmwareImageName("C:Image.bin"), "image.bin");
    EXPECT_EQ(FirmwareImageName("ÄBC.BIN"), "Äbc.bin") << "only ASCII letters change";
    EXPECT_EQ(FirmwareImageName("dir/"), "");
}

}  // namespace
}  // namespace zqk
