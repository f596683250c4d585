#pragma once
#include <cstdint>
#include <string>

#include "transport/transport_backend.h"

namespace zqk {

// zqkFindDevices' list: the found devices of the calling thread's last
// call, read by FoundDeviceField: Type -1 the path, 0 serial number, 1
// manufacturer, 2 product.
int32_t FindDevicesForThisThread(const MatchValues& Match);
bool FoundDeviceField(int32_t Index, int32_t Type, std::string& Field);

}  // namespace zqk
