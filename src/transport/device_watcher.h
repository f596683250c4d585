#pragma once
#include <cstdint>

#include "transport/transport_backend.h"
#include "zqkAPI.h"

namespace zqk {

// The process's one watch for matching devices that arrive and leave
// (zqkSetDeviceCallback): starts it, replaces it, or stops it for a null
// Callback. False with the reason noted when it could not be started, or
// when a callback of a watch that was stopped meanwhile asks for a new one.
bool SetDeviceWatch(zqkDeviceCallback Callback, intptr_t UserData, const MatchValues& Match);

}  // namespace zqk
