// Watching for devices that arrive and leave.
#include "api/export_guard.h"
#include "zqkAPI.h"

extern "C" {

ZQK_API int32_t ZQK_CALL zqkSetDeviceCallback(zqkDeviceCallback Callback, intptr_t UserData)
{
    return zqk::Guarded<int32_t>(-1, [=](zqk::Library&) {
        (void)UserData;
        if (Callback == nullptr)
            return 0;
        zqk::NoteFailure(zqk::Failure::NoDevice, "watching for devices is not available yet");
        return -1;
    });
}

}  // extern "C"
