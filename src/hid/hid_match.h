#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace zqk {

// How a HID interface is matched against the four values the link asks for.
// The two ID thresholds differ on purpose: an ID of 0 still asks the path to
// carry #vid_0000& (or &pid_0000), but only an ID of 1 or more is compared
// with the device's attributes; a negative ID switches off both tests. Usage
// page and usage are compared whenever they are 0 or more.

// "#vid_16d0&" for 0x16D0: at least four lower-case hex digits; empty for a
// negative VendorID (no pattern).
std::string VendorPathPattern(int32_t VendorID);
// "&pid_064e" for 0x064E, built the same way.
std::string ProductPathPattern(int32_t ProductID);

// The path test: the lower-cased path holds each pattern that applies.
bool PathMatches(const std::string& Path, int32_t VendorID, int32_t ProductID);

// The attribute test on the device's 16-bit vendor and product IDs.
bool AttributesMatch(uint16_t DeviceVendorID, uint16_t DeviceProductID, int32_t VendorID, int32_t ProductID);

// The capability test on the top-level collection.
bool CollectionMatches(uint16_t DeviceUsagePage, uint16_t DeviceUsage, int32_t UsagePage, int32_t Usage);

// Asks for an input queue of 1024 reports, halving the request while it is
// refused; gives up below 1. The accepted length, or 0 when none was.
int32_t EnlargeInputQueue(const std::function<bool(int32_t Reports)>& Accepts);

}  // namespace zqk
