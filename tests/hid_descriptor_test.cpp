// The report-descriptor walk, USB string descriptors and UTF-8 text. Built
// with the address and undefined-behaviour sanitizers: every input lives in a
// buffer of exactly its size, so a read past its end fails the test.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "hid/hid_descriptors.h"

namespace zqk::hid {
namespace {

using Bytes = std::vector<uint8_t>;

// The device's own: vendor page 0xFFB2, usage 1, 64-byte input and output.
const Bytes kDeviceDescriptor = {0x06, 0xB2, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,
                                 0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x09, 0x01, 0x95, 0x40, 0x91, 0x02, 0xC0};

// Parses a copy on the heap of exactly Size bytes.
ReportDescriptorSummary Parse(const Bytes& bytes, size_t size)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[size == 0 ? 1 : size]);
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size), exact.get());
    return ParseReportDescriptor(exact.get(), size);
}

ReportDescriptorSummary Parse(const Bytes& bytes)
{
    return Parse(bytes, bytes.size());
}

std::vector<CollectionUsage> TopLevel(const Bytes& bytes)
{
    return Parse(bytes).TopLevel;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// ---- well-formed descriptors ----

TEST(ReportDescriptor, NamesTheDevicesCollectionAndSeesNoReportNumbers)
{
    const auto summary = Parse(kDeviceDescriptor);
    EXPECT_EQ(summary.TopLevel, (std::vector<CollectionUsage> {{0xFFB2, 0x0001}}));
    EXPECT_FALSE(summary.NumberedReports);
}

TEST(ReportDescriptor, ListsEveryTopLevelCollectionInOrderButNoNestedOne)
{
    const Bytes keyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,         // desktop keyboard
                            0x05, 0x07, 0x09, 0x01, 0xA1, 0x00, 0xC0,   // nested physical, other page
                            0x09, 0x02, 0xA1, 0x02, 0xA1, 0x02, 0xC0, 0xC0,  // deeper still
                            0xC0};
    const Bytes vendor = {0x06, 0xB2, 0xFF, 0x09, 0x05, 0xA1, 0x01, 0xC0};
    const Bytes consumer = {0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0xC0};
    EXPECT_EQ(TopLevel(Join({keyboard, vendor, consumer})),
              (std::vector<CollectionUsage> {{0x0001, 0x0006}, {0xFFB2, 0x0005}, {0x000C, 0x0001}}));
}

TEST(ReportDescriptor, CollectionTakesItsFirstUsageAndThePageInForceAtIt)
{
    // Two usages before the collection: the second is an alias.
    EXPECT_EQ(TopLevel({0x05, 0x01, 0x09, 0x02, 0x09, 0x03, 0xA1, 0x01, 0xC0}),
              (std::vector<CollectionUsage> {{0x0001, 0x0002}}));
    // The usage page changes between usage and collection: the later page counts.
    EXPECT_EQ(TopLevel({0x09, 0x02, 0x06, 0xB2, 0xFF, 0xA1, 0x01, 0xC0}),
              (std::vector<CollectionUsage> {{0xFFB2, 0x0002}}));
    // A four-byte usage names its own page.
    EXPECT_EQ(TopLevel({0x05, 0x01, 0x0B, 0x07, 0x00, 0xB2, 0xFF, 0xA1, 0x01, 0xC0}),
              (std::vector<CollectionUsage> {{0xFFB2, 0x0007}}));
    // No usage at all: usage 0 on the current page.
    EXPECT_EQ(TopLevel({0x05, 0x0C, 0xA1, 0x01, 0xC0}), (std::vector<CollectionUsage> {{0x000C, 0x0000}}));
}

TEST(ReportDescriptor, UsagesDoNotOutliveTheMainItemTheyBelongTo)
{
    // The usage before the input item is used up by it; the collection has none.
    EXPECT_EQ(TopLevel({0x05, 0x01, 0x09, 0x30, 0x81, 0x02, 0xA1, 0x01, 0xC0}),
              (std::vector<CollectionUsage> {{0x0001, 0x0000}}));
}

TEST(ReportDescriptor, PushAndPopRestoreTheUsagePage)
{
    const Bytes bytes = {0x05, 0x01, 0xA4, 0x06, 0xB2, 0xFF, 0xB4, 0x09, 0x04, 0xA1, 0x01, 0xC0};
    EXPECT_EQ(TopLevel(bytes), (std::vector<CollectionUsage> {{0x0001, 0x0004}}));
}

TEST(ReportDescriptor, LongItemsAreSkippedWhole)
{
    // A long item whose data looks like a collection of another page.
    const Bytes bytes = {0xFE, 0x05, 0x10, 0x05, 0x01, 0xA1, 0x01, 0xC0, 0x06, 0xB2, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0xC0};
    EXPECT_EQ(TopLevel(bytes), (std::vector<CollectionUsage> {{0xFFB2, 0x0001}}));
}

TEST(ReportDescriptor, AReportIdMeansNumberedReports)
{
    EXPECT_TRUE(Parse(Join({{0x85, 0x01}, kDeviceDescriptor})).NumberedReports);
}

// ---- malformed descriptors ----

TEST(ReportDescriptor, EveryTruncationKeepsWhatCameBeforeIt)
{
    const Bytes full = Join({kDeviceDescriptor, {0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0xC0}});
    for (size_t size = 0; size <= full.size(); ++size) {
        const auto summary = Parse(full, size);
        // The first collection is declared at byte 5 and takes two bytes.
        EXPECT_EQ(summary.TopLevel.size(), size < 7 ? 0u : size < kDeviceDescriptor.size() + 6 ? 1u : 2u)
            << "size " << size;
    }
}

TEST(ReportDescriptor, ItemsThatClaimMoreBytesThanLeftEndTheWalk)
{
    EXPECT_TRUE(TopLevel({0x06, 0xB2}).empty());                                  // two-byte page, one byte
    EXPECT_TRUE(TopLevel({0x0B, 0x01, 0x00, 0xB2}).empty());                      // four-byte usage, three bytes
    EXPECT_TRUE(TopLevel({0xFE}).empty());                                        // long item, no header
    EXPECT_TRUE(TopLevel({0xFE, 0xFF, 0x00, 0xA1, 0x01}).empty());                // long item longer than all
    EXPECT_EQ(TopLevel({0xA1, 0x01, 0xFE, 0x02, 0x00, 0x01}).size(), 1u);         // one byte short
    EXPECT_TRUE(ParseReportDescriptor(nullptr, 100).TopLevel.empty());
}

TEST(ReportDescriptor, UnbalancedItemsDoNotConfuseIt)
{
    // End collections and pops with nothing open, then a real collection.
    EXPECT_EQ(TopLevel({0xC0, 0xC0, 0xB4, 0xB4, 0x06, 0xB2, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0xC0}),
              (std::vector<CollectionUsage> {{0xFFB2, 0x0001}}));
    // Far more pushes than kept, and a collection that is never closed.
    Bytes deep(1000, 0xA4);
    deep.insert(deep.end(), {0x05, 0x01, 0xA1, 0x01, 0xA1, 0x01});
    EXPECT_EQ(TopLevel(deep).size(), 1u);
}

TEST(ReportDescriptor, RandomBytesNeverReadOutOfBounds)
{
    std::mt19937 random(12345);
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes(random() % 64);
        for (uint8_t& byte : bytes)
            byte = static_cast<uint8_t>(random());
        const auto summary = Parse(bytes);
        // Each collection item takes at least one byte.
        EXPECT_LE(summary.TopLevel.size(), bytes.size());
    }
}

// ---- USB string descriptors ----

std::u16string Text(const Bytes& bytes)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    return TextOfStringDescriptor(exact.get(), bytes.size());
}

TEST(StringDescriptor, DecodesUtf16UpToItsLengthOrAZeroUnit)
{
    EXPECT_EQ(Text({0x08, 0x03, 'z', 0, 'q', 0, 0xAC, 0x20}), u"zq\u20AC");
    EXPECT_EQ(Text({0x08, 0x03, 'a', 0, 0, 0, 'b', 0}), u"a");
    EXPECT_EQ(Text({0x04, 0x03, 'a', 0, 'b', 0}), u"a");  // the length byte says where it ends
    EXPECT_EQ(Text({0x02, 0x03}), u"");
}

TEST(StringDescriptor, MalformedOnesGiveAsMuchAsIsThereOrNothing)
{
    EXPECT_EQ(Text({0xFF, 0x03, 'a', 0, 'b'}), u"a");   // claims more than sent, odd tail
    EXPECT_EQ(Text({0x05, 0x03, 'a', 0, 'b'}), u"a");   // odd length
    EXPECT_EQ(Text({0x06, 0x02, 'a', 0, 'b', 0}), u""); // not a string descriptor
    EXPECT_EQ(Text({0x01, 0x03}), u"");
    EXPECT_EQ(Text({0x06}), u"");
    EXPECT_EQ(Text({}), u"");
    EXPECT_EQ(TextOfStringDescriptor(nullptr, 10), u"");
}

// ---- UTF-8 ----

TEST(Utf8, DecodesEverySequenceLength)
{
    EXPECT_EQ(Utf16FromUtf8("zq.keeper"), u"zq.keeper");
    EXPECT_EQ(Utf16FromUtf8("\xC3\xA9\xE2\x82\xAC"), u"\u00E9\u20AC");
    EXPECT_EQ(Utf16FromUtf8("\xF0\x9F\x98\x80"), u"\U0001F600");
}

TEST(Utf8, InvalidBytesBecomeReplacementCharacters)
{
    EXPECT_EQ(Utf16FromUtf8("a\xFF" "b"), u"a\uFFFDb");
    EXPECT_EQ(Utf16FromUtf8("\xC3"), u"\uFFFD");               // cut short
    EXPECT_EQ(Utf16FromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");     // overlong
    EXPECT_EQ(Utf16FromUtf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // a surrogate
    EXPECT_EQ(Utf16FromUtf8("\xE2\x82" "x"), u"\uFFFD\uFFFDx");   // interrupted
}

}  // namespace
}  // namespace zqk::hid
