#include "base/platform_text.h"

#include <climits>
#include <cstring>
#include <cwchar>

namespace zqk {

std::string AnsiFromUtf16(const std::u16string& Text)
{
    std::string out;
    std::mbstate_t state {};
    char bytes[MB_LEN_MAX];
    for (size_t i = 0; i < Text.size(); ++i) {
        char32_t c = Text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 && Text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (Text[i + 1] - 0xDC00);
            ++i;
        }
        const size_t n = std::wcrtomb(bytes, static_cast<wchar_t>(c), &state);
        if (n == static_cast<size_t>(-1)) {
            out += '?';
            state = std::mbstate_t {};
        } else {
            out.append(bytes, n);
        }
    }
    return out;
}

std::u16string Utf16FromAnsi(const std::string& Text)
{
    std::u16string out;
    std::mbstate_t state {};
    for (size_t i = 0; i < Text.size();) {
        wchar_t c = 0;
        const size_t n = std::mbrtowc(&c, Text.data() + i, Text.size() - i, &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            out += u'\uFFFD';
            state = std::mbstate_t {};
            ++i;
            continue;
        }
        const auto code = static_cast<char32_t>(c);
        if (code >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
        i += n == 0 ? 1 : n;  // 0: a zero byte
    }
    return out;
}

std::string PlatformErrorText(int32_t Code)
{
    char text[256] = {0};
    // The GNU strerror_r, which may return a static text instead of filling ours.
    return strerror_r(Code, text, sizeof text);
}

}  // namespace zqk
