// Linux HID transport. Placeholder until the hidraw transport is
// written: finds no device.
#include "hid/raw_hid.h"

#include <cerrno>
#include <climits>
#include <cwchar>

namespace zqk {

bool HidStartUp() { return true; }
void HidBindAgain() {}

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

struct TRawHid::Impl {
    std::string devicePath;
    int32_t lastError = 0;
};

TRawHid::TRawHid() : impl_(std::make_unique<Impl>()) {}
TRawHid::~TRawHid() { Close(); }

int32_t TRawHid::EnumerateDevices(std::vector<std::string>& List, int32_t, int32_t, int32_t, int32_t)
{
    List.clear();
    return 0;
}

bool TRawHid::Open(int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage)
{
    std::vector<std::string> paths;
    if (EnumerateDevices(paths, VendorID, ProductID, UsagePage, Usage) == 0)
        return false;
    return OpenPath(paths.front());
}

bool TRawHid::OpenPath(const std::string& Path)
{
    impl_->devicePath = Path;
    return false;
}

void TRawHid::Close() {}
bool TRawHid::IsOpen() const { return false; }

int32_t TRawHid::ReadReport(uint8_t*, int32_t, int32_t)
{
    impl_->lastError = EBADF;
    return -1;
}

int32_t TRawHid::WriteReport(const uint8_t*, int32_t, int32_t)
{
    impl_->lastError = EBADF;
    return -1;
}

std::u16string TRawHid::GetManufacturerString() { return {}; }
std::u16string TRawHid::GetProductString() { return {}; }
std::u16string TRawHid::GetSerialNumberString() { return {}; }
std::u16string TRawHid::GetIndexedString(int32_t) { return {}; }
std::string TRawHid::DevicePath() const { return impl_->devicePath; }
int32_t TRawHid::LastError() const { return impl_->lastError; }
bool TRawHid::ReadPending() const { return false; }

}  // namespace zqk
