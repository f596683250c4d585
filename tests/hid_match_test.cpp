// How HID interfaces are matched against the link's four values.
#include <gtest/gtest.h>

#include <vector>

#include "hid/hid_match.h"

namespace zqk {
namespace {

const char* const kKeeperPath =
    R"(\\?\hid#vid_16d0&pid_064e&mi_00#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})";

TEST(PathPatterns, CarryAtLeastFourLowerCaseHexDigits)
{
    EXPECT_EQ(VendorPathPattern(0x16D0), "#vid_16d0&");
    EXPECT_EQ(ProductPathPattern(0x064E), "&pid_064e");
    EXPECT_EQ(VendorPathPattern(0), "#vid_0000&");
    EXPECT_EQ(ProductPathPattern(0xF), "&pid_000f");
    EXPECT_EQ(VendorPathPattern(0x12345), "#vid_12345&");
}

TEST(PathPatterns, NegativeIdGivesNoPattern)
{
    EXPECT_EQ(VendorPathPattern(-1), "");
    EXPECT_EQ(ProductPathPattern(-2), "");
}

TEST(PathTest, MatchesWhateverCaseThePathIsIn)
{
    EXPECT_TRUE(PathMatches(kKeeperPath, 0x16D0, 0x064E));
    EXPECT_TRUE(PathMatches(R"(\\?\HID#VID_16D0&PID_064E#7&0&0000#{x})", 0x16D0, 0x064E));
}

TEST(PathTest, EachPatternThatAppliesMustBePresent)
{
    EXPECT_FALSE(PathMatches(kKeeperPath, 0x16D1, 0x064E));
    EXPECT_FALSE(PathMatches(kKeeperPath, 0x16D0, 0x064F));
    EXPECT_TRUE(PathMatches(kKeeperPath, -1, 0x064E));
    EXPECT_TRUE(PathMatches(kKeeperPath, 0x16D0, -1));
    EXPECT_TRUE(PathMatches(kKeeperPath, -1, -1));
    EXPECT_TRUE(PathMatches("no pattern at all", -1, -1));
}

TEST(PathTest, ZeroIdStillAsksForZeroDigits)
{
    EXPECT_FALSE(PathMatches(kKeeperPath, 0, -1));
    EXPECT_TRUE(PathMatches(R"(\\?\hid#vid_0000&pid_0000#0&0000&0&0#{x})", 0, 0));
}

TEST(PathTest, VendorPatternNeedsItsDelimiters)
{
    // "vid_16d0" inside another field, without the leading '#', is not the vendor field.
    EXPECT_FALSE(PathMatches(R"(\\?\hid#xvid_16d0&pid_064e)", 0x16D0, -1));
    EXPECT_FALSE(PathMatches(R"(\\?\hid#vid_16d00&pid_064e)", 0x16D0, -1));
}

TEST(AttributeTest, OnlyIdsOfOneOrMoreAreCompared)
{
    EXPECT_TRUE(AttributesMatch(0x16D0, 0x064E, 0x16D0, 0x064E));
    EXPECT_FALSE(AttributesMatch(0x16D0, 0x064E, 0x16D1, 0x064E));
    EXPECT_FALSE(AttributesMatch(0x16D0, 0x064E, 0x16D0, 0x0001));
    EXPECT_TRUE(AttributesMatch(0x16D0, 0x064E, 0, 0));
    EXPECT_TRUE(AttributesMatch(0x16D0, 0x064E, -1, -1));
    EXPECT_FALSE(AttributesMatch(0x0002, 0x064E, 1, -1));
    EXPECT_TRUE(AttributesMatch(0x0001, 0x064E, 1, -1));
}

TEST(AttributeTest, ValuesBeyondSixteenBitsNeverMatch)
{
    EXPECT_FALSE(AttributesMatch(0x16D0, 0x064E, 0x116D0, -1));
}

TEST(CollectionTest, UsagePageAndUsageAreComparedFromZeroOn)
{
    EXPECT_TRUE(CollectionMatches(0xFFB2, 0x0001, 0xFFB2, -1));
    EXPECT_TRUE(CollectionMatches(0xFFB2, 0x0001, 0xFFB2, 1));
    EXPECT_FALSE(CollectionMatches(0xFFB2, 0x0001, 0xFFB2, 2));
    EXPECT_FALSE(CollectionMatches(0x0001, 0x0002, 0xFFB2, -1));
    EXPECT_FALSE(CollectionMatches(0x0001, 0x0002, 0, -1));
    EXPECT_TRUE(CollectionMatches(0x0000, 0x0000, 0, 0));
    EXPECT_TRUE(CollectionMatches(0x0001, 0x0002, -1, -1));
}

TEST(InputQueue, HalvesTheRequestWhileRefused)
{
    std::vector<int32_t> asked;
    const int32_t accepted = EnlargeInputQueue([&](int32_t Reports) {
        asked.push_back(Reports);
        return Reports <= 200;
    });
    EXPECT_EQ(accepted, 128);
    EXPECT_EQ(asked, (std::vector<int32_t> {1024, 512, 256, 128}));
}

TEST(InputQueue, FirstRequestAcceptedStays)
{
    int calls = 0;
    EXPECT_EQ(EnlargeInputQueue([&](int32_t) { return ++calls > 0; }), 1024);
    EXPECT_EQ(calls, 1);
}

TEST(InputQueue, EndsBelowOneWhenEverythingIsRefused)
{
    std::vector<int32_t> asked;
    EXPECT_EQ(EnlargeInputQueue([&](int32_t Reports) {
                  asked.push_back(Reports);
                  return false;
              }),
              0);
    EXPECT_EQ(asked, (std::vector<int32_t> {1024, 512, 256, 128, 64, 32, 16, 8, 4, 2, 1}));
}

}  // namespace
}  // namespace zqk
