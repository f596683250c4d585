#include "base/platform_text.h"

#include <windows.h>

namespace zqk {

std::string AnsiFromUtf16(const std::u16string& Text)
{
    if (Text.empty())
        return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(Text.data());
    const int wideLen = static_cast<int>(Text.size());
    const int n = WideCharToMultiByte(CP_THREAD_ACP, 0, wide, wideLen, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return {};
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, wide, wideLen, out.data(), n, nullptr, nullptr);
    return out;
}

std::u16string Utf16FromAnsi(const std::string& Text)
{
    if (Text.empty())
        return {};
    const int length = static_cast<int>(Text.size());
    const int n = MultiByteToWideChar(CP_THREAD_ACP, 0, Text.data(), length, nullptr, 0);
    if (n <= 0)
        return {};
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, Text.data(), length, reinterpret_cast<wchar_t*>(out.data()), n);
    return out;
}

std::string PlatformErrorText(int32_t Code)
{
    char text[512] = {0};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(Code), 0, text, sizeof text, nullptr);
    std::string words(text, n);
    while (!words.empty() && (words.back() == '\r' || words.back() == '\n' || words.back() == ' ' ||
                              words.back() == '.'))
        words.pop_back();
    return words.empty() ? "error " + std::to_string(Code) : words;
}

}  // namespace zqk
