#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zqk::hid {

// The usage page and usage that name one top-level collection.
struct CollectionUsage {
    uint16_t UsagePage = 0;
    uint16_t Usage = 0;
    bool operator==(const CollectionUsage& Other) const
    {
        return UsagePage == Other.UsagePage && Usage == Other.Usage;
    }
};

// What the transport needs to know from a HID report descriptor.
struct ReportDescriptorSummary {
    // The outermost collections, in the order the descriptor declares them.
    std::vector<CollectionUsage> TopLevel;
    // A Report ID item appears: every report then starts with its number.
    bool NumberedReports = false;
};

// Walks the items of a report descriptor. Bytes that do not form a whole item
// end the walk; what was read up to there stands. Never reads outside
// Data[0, Size).
ReportDescriptorSummary ParseReportDescriptor(const uint8_t* Data, size_t Size);

// The text of a USB string descriptor (length byte, type 3, UTF-16LE code
// units), up to its first zero unit. Empty when the bytes are not one.
std::u16string TextOfStringDescriptor(const uint8_t* Data, size_t Size);

// UTF-8 as UTF-16; a byte that does not start a valid sequence becomes U+FFFD.
std::u16string Utf16FromUtf8(std::string_view Text);

}  // namespace zqk::hid
