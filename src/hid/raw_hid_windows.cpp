// Windows HID transport. Placeholder until the SetupDi/HID.dll transport is
// written: finds no device.
#include "hid/raw_hid.h"

#include <windows.h>

namespace zqk {

bool HidStartUp() { return true; }
void HidBindAgain() {}

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
    impl_->lastError = ERROR_INVALID_HANDLE;
    return -1;
}

int32_t TRawHid::WriteReport(const uint8_t*, int32_t, int32_t)
{
    impl_->lastError = static_cast<int32_t>(GetLastError());
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
