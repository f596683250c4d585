#include "hid/hid_descriptors.h"

#include <algorithm>

namespace zqk::hid {

namespace {

// Item prefixes with the size bits masked off: tag and type.
constexpr uint8_t kInput = 0x80;
constexpr uint8_t kOutput = 0x90;
constexpr uint8_t kFeature = 0xB0;
constexpr uint8_t kCollection = 0xA0;
constexpr uint8_t kEndCollection = 0xC0;
constexpr uint8_t kUsagePage = 0x04;
constexpr uint8_t kReportId = 0x84;
constexpr uint8_t kPush = 0xA4;
constexpr uint8_t kPop = 0xB4;
constexpr uint8_t kUsage = 0x08;
constexpr uint8_t kLongItem = 0xFE;

// Real devices push a level or two; the cap only bounds what a hostile
// descriptor can make us keep.
constexpr size_t kMaxPushDepth = 32;

struct Item {
    uint8_t Tag;     // prefix without the size bits
    uint8_t Size;    // data bytes: 0, 1, 2 or 4
    uint32_t Value;  // data, little-endian, unsigned
};

// The item at Data[Offset], or false when the bytes left do not hold one.
// Long items carry nothing we use; they come back with tag kLongItem.
bool NextItem(const uint8_t* Data, size_t Size, size_t& Offset, Item& Out)
{
    const size_t left = Size - Offset;
    const uint8_t prefix = Data[Offset];
    if (prefix == kLongItem) {
        if (left < 3 || left - 3 < Data[Offset + 1])
            return false;
        Out = {kLongItem, 0, 0};
        Offset += 3 + Data[Offset + 1];
        return true;
    }
    const uint8_t size = (prefix & 0x03) == 3 ? 4 : (prefix & 0x03);
    if (left - 1 < size)
        return false;
    uint32_t value = 0;
    for (uint8_t i = 0; i < size; ++i)
        value |= static_cast<uint32_t>(Data[Offset + 1 + i]) << (8 * i);
    Out = {static_cast<uint8_t>(prefix & 0xFC), size, value};
    Offset += 1 + size;
    return true;
}

// State of the walk that matters for naming collections.
class DescriptorWalk {
public:
    void Apply(const Item& item, ReportDescriptorSummary& Summary)
    {
        switch (item.Tag) {
        case kUsagePage: usagePage_ = static_cast<uint16_t>(item.Value); break;
        case kReportId: Summary.NumberedReports = true; break;
        case kPush:
            if (pushed_.size() < kMaxPushDepth)
                pushed_.push_back(usagePage_);
            break;
        case kPop:
            if (!pushed_.empty()) {
                usagePage_ = pushed_.back();
                pushed_.pop_back();
            }
            break;
        case kUsage:
            // A collection is named by its first usage; later ones are aliases.
            if (!haveUsage_) {
                haveUsage_ = true;
                usage_ = item;
            }
            break;
        case kCollection:
            if (depth_ == 0)
                Summary.TopLevel.push_back(CollectionName());
            ++depth_;
            haveUsage_ = false;
            break;
        case kEndCollection:
            if (depth_ > 0)
                --depth_;
            haveUsage_ = false;
            break;
        case kInput:
        case kOutput:
        case kFeature: haveUsage_ = false; break;
        default: break;
        }
    }

private:
    // A four-byte usage carries its own page in the upper half; a shorter one
    // belongs to the usage page in force at the main item.
    CollectionUsage CollectionName() const
    {
        if (!haveUsage_)
            return {usagePage_, 0};
        if (usage_.Size == 4)
            return {static_cast<uint16_t>(usage_.Value >> 16), static_cast<uint16_t>(usage_.Value)};
        return {usagePage_, static_cast<uint16_t>(usage_.Value)};
    }

    uint16_t usagePage_ = 0;
    std::vector<uint16_t> pushed_;
    bool haveUsage_ = false;
    Item usage_ {};
    size_t depth_ = 0;
};

constexpr char16_t kReplacement = 0xFFFD;

// Length of the UTF-8 sequence led by Lead and the bits it contributes;
// 0 for a byte that cannot lead one.
int SequenceLength(uint8_t Lead, char32_t& Bits)
{
    if (Lead < 0x80) {
        Bits = Lead;
        return 1;
    }
    if (Lead >= 0xC2 && Lead < 0xE0) {
        Bits = Lead & 0x1F;
        return 2;
    }
    if (Lead >= 0xE0 && Lead < 0xF0) {
        Bits = Lead & 0x0F;
        return 3;
    }
    if (Lead >= 0xF0 && Lead < 0xF5) {
        Bits = Lead & 0x07;
        return 4;
    }
    return 0;
}

bool Acceptable(char32_t CodePoint, int Length)
{
    static const char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    return CodePoint >= kSmallest[Length] && CodePoint <= 0x10FFFF && (CodePoint < 0xD800 || CodePoint > 0xDFFF);
}

void AppendUtf16(char32_t CodePoint, std::u16string& Out)
{
    if (CodePoint < 0x10000) {
        Out += static_cast<char16_t>(CodePoint);
        return;
    }
    CodePoint -= 0x10000;
    Out += static_cast<char16_t>(0xD800 + (CodePoint >> 10));
    Out += static_cast<char16_t>(0xDC00 + (CodePoint & 0x3FF));
}

}  // namespace

ReportDescriptorSummary ParseReportDescriptor(const uint8_t* Data, size_t Size)
{
    ReportDescriptorSummary summary;
    if (Data == nullptr)
        return summary;
    DescriptorWalk walk;
    Item item {};
    for (size_t offset = 0; offset < Size && NextItem(Data, Size, offset, item);)
        walk.Apply(item, summary);
    return summary;
}

std::u16string TextOfStringDescriptor(const uint8_t* Data, size_t Size)
{
    constexpr uint8_t kStringDescriptorType = 3;
    std::u16string text;
    if (Data == nullptr || Size < 2 || Data[1] != kStringDescriptorType)
        return text;
    // The length byte counts itself and the type byte; a device may claim
    // more than it sent.
    const size_t length = std::min<size_t>(Data[0], Size);
    for (size_t i = 2; i + 1 < length; i += 2) {
        const char16_t unit = static_cast<char16_t>(Data[i] | (Data[i + 1] << 8));
        if (unit == 0)
            break;
        text += unit;
    }
    return text;
}

std::u16string Utf16FromUtf8(std::string_view Text)
{
    std::u16string out;
    out.reserve(Text.size());
    for (size_t i = 0; i < Text.size();) {
        char32_t codePoint = 0;
        const int length = SequenceLength(static_cast<uint8_t>(Text[i]), codePoint);
        bool valid = length > 0 && Text.size() - i >= static_cast<size_t>(length);
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<uint8_t>(Text[i + k]);
            valid = (next & 0xC0) == 0x80;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (valid && Acceptable(codePoint, length)) {
            AppendUtf16(codePoint, out);
            i += static_cast<size_t>(length);
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

}  // namespace zqk::hid
