#pragma once
#include <cstdint>
#include <string>

namespace zqk {

// One entry of a device directory listing.
struct DirEntry {
    std::string Name;
    int32_t Size = 0;
    uint8_t Attributes = 0;  // DOS bits: 0x01 read-only, 0x02 hidden, 0x10 directory, 0x20 archive
    double Time1 = 0.0, Time2 = 0.0, Time3 = 0.0;
};

// Takes the text before the first tab of Line as Field and leaves the text
// after it in Line; without a tab, Field is the whole line and Line empty.
void NextField(std::string& Line, std::string& Field);

// A listing line: name, size, attribute byte and three packed date-times,
// separated by tabs. False when the size or attribute field is not a 32-bit
// decimal integer.
bool ParseDirLine(const std::string& Line, DirEntry& Entry);

// "<DIR>" for a directory, else the letters of A (archive), R (read-only),
// H (hidden) that are set, in that order.
void AttrToText(uint8_t Attr, std::string& Text);

}  // namespace zqk
