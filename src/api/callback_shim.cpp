#include "api/callback_shim.h"

namespace zqk {

void TCallbackShim::SetCallback(zqkProgressCallback NewCallback, int32_t NewUserData)
{
    const std::lock_guard<std::mutex> guard(guard_);
    callback_ = NewCallback;
    userData_ = NewUserData;
}

void TCallbackShim::Progress(const void*, int32_t Position, int32_t Total) const
{
    zqkProgressCallback callback = nullptr;
    int32_t userData = 0;
    {
        // Not held during the call: the callback may set a new callback.
        const std::lock_guard<std::mutex> guard(guard_);
        callback = callback_;
        userData = userData_;
    }
    if (callback == nullptr)
        return;
    try {
        callback(userData, Position, Total);
    } catch (...) {
        // A failing callback must not end the transfer that reports progress.
    }
}

void TCallbackShim::Complete(const void* Sender) const
{
    Progress(Sender, -1, -1);
}

}  // namespace zqk
