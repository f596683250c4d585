#pragma once
#include <cstdint>

#include "zqkAPI.h"

namespace zqk {

// Forwards the file services' progress and completion events to the
// caller's callback.
class TCallbackShim {
public:
    int32_t UserData = 0;
    zqkProgressCallback Callback = nullptr;

    void SetCallback(zqkProgressCallback NewCallback) { Callback = NewCallback; }
    // (UserData, Position, Total) after each block of a transfer.
    void Progress(const void* Sender, int32_t Position, int32_t Total) const;
    // (UserData, -1, -1) when a transfer ends.
    void Complete(const void* Sender) const;
};

}  // namespace zqk
