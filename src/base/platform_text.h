#pragma once
#include <cstdint>
#include <string>

namespace zqk {

// Text as the platform gives it, for the layers that show it to the caller.
// One implementation file per platform.

// UTF-16 text from the device as 8-bit text: on Windows in the calling
// thread's ANSI code page, elsewhere in the current locale's encoding.
// Characters that cannot be represented become '?'.
std::string AnsiFromUtf16(const std::u16string& Text);
// The reverse: 8-bit text in that encoding as UTF-16. Bytes that are no
// character of it become U+FFFD.
std::u16string Utf16FromAnsi(const std::string& Text);

// The platform's own words for one of its error codes (errno on Linux,
// GetLastError on Windows), without a line end.
std::string PlatformErrorText(int32_t Code);

}  // namespace zqk
