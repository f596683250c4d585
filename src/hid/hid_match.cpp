#include "hid/hid_match.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace zqk {

namespace {

constexpr int32_t kInputQueueRequest = 1024;

std::string IdPattern(const char* Format, int32_t Id)
{
    if (Id < 0)
        return {};
    char text[32];
    std::snprintf(text, sizeof text, Format, static_cast<unsigned>(Id));
    return text;  // %x already writes lower-case digits
}

std::string LowerCase(std::string Text)
{
    std::transform(Text.begin(), Text.end(), Text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return Text;
}

bool IdMatches(int32_t Wanted, uint16_t Actual)
{
    return Wanted < 1 || Wanted == Actual;
}

bool UsageMatches(int32_t Wanted, uint16_t Actual)
{
    return Wanted < 0 || Wanted == Actual;
}

}  // namespace

std::string VendorPathPattern(int32_t VendorID)
{
    return IdPattern("#vid_%.04x&", VendorID);
}

std::string ProductPathPattern(int32_t ProductID)
{
    return IdPattern("&pid_%.04x", ProductID);
}

bool PathMatches(const std::string& Path, int32_t VendorID, int32_t ProductID)
{
    const std::string path = LowerCase(Path);
    for (const std::string& pattern : {VendorPathPattern(VendorID), ProductPathPattern(ProductID)}) {
        if (!pattern.empty() && path.find(pattern) == std::string::npos)
            return false;
    }
    return true;
}

bool AttributesMatch(uint16_t DeviceVendorID, uint16_t DeviceProductID, int32_t VendorID, int32_t ProductID)
{
    return IdMatches(VendorID, DeviceVendorID) && IdMatches(ProductID, DeviceProductID);
}

bool CollectionMatches(uint16_t DeviceUsagePage, uint16_t DeviceUsage, int32_t UsagePage, int32_t Usage)
{
    return UsageMatches(UsagePage, DeviceUsagePage) && UsageMatches(Usage, DeviceUsage);
}

int32_t EnlargeInputQueue(const std::function<bool(int32_t Reports)>& Accepts)
{
    for (int32_t reports = kInputQueueRequest; reports >= 1; reports /= 2) {
        if (Accepts(reports))
            return reports;
    }
    return 0;
}

}  // namespace zqk
