// The HID transport's members that every platform has alike: finding by the
// match values through the platform's enumeration, and what it keeps of the
// device it opened.
#include "hid/raw_hid.h"

namespace zqk {

bool TRawHid::Open(int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage)
{
    std::vector<std::string> paths;
    if (EnumerateDevices(paths, VendorID, ProductID, UsagePage, Usage) == 0)
        return false;
    return OpenPath(paths.front());
}

bool TRawHid::Gone() const
{
    return state_.gone;
}

std::string TRawHid::DevicePath() const
{
    return state_.devicePath;
}

int32_t TRawHid::OpenError() const
{
    return state_.openError;
}

int32_t TRawHid::LastError() const
{
    return state_.lastError;
}

}  // namespace zqk
