#include "api/callback_shim.h"

namespace zqk {

void TCallbackShim::SetCallback(zqkProgressCallback NewCallback, int32_t NewUserData)
{
    const std::lock_guard<std::mutex> guard(guard_);
    classic_ = NewCallback;
    handles_ = nullptr;
    userData_ = NewUserData;
}

void TCallbackShim::SetHandleCallback(zqkDevProgressCallback NewCallback, intptr_t NewUserData)
{
    const std::lock_guard<std::mutex> guard(guard_);
    classic_ = nullptr;
    handles_ = NewCallback;
    userData_ = NewUserData;
}

void TCallbackShim::Progress(const void*, int32_t Position, int32_t Total) const
{
    zqkProgressCallback classic = nullptr;
    zqkDevProgressCallback handles = nullptr;
    intptr_t userData = 0;
    {
        // Not held during the call: the callback may set a new callback.
        const std::lock_guard<std::mutex> guard(guard_);
        classic = classic_;
        handles = handles_;
        userData = userData_;
    }
    try {
        if (classic)
            classic(static_cast<int32_t>(userData), Position, Total);
        else if (handles)
            handles(userData, Position, Total);
    } catch (...) {
        // A failing callback must not end the transfer that reports progress.
    }
}

void TCallbackShim::Complete(const void* Sender) const
{
    Progress(Sender, -1, -1);
}

void TCommandLog::Set(zqkDevCommandLogCallback NewCallback, intptr_t NewUserData)
{
    const std::lock_guard<std::mutex> guard(guard_);
    callback_ = NewCallback;
    userData_ = NewUserData;
}

void TCommandLog::Tell(const std::string& Line) const
{
    zqkDevCommandLogCallback callback = nullptr;
    intptr_t userData = 0;
    {
        const std::lock_guard<std::mutex> guard(guard_);
        callback = callback_;
        userData = userData_;
    }
    try {
        if (callback)
            callback(userData, Line.c_str());
    } catch (...) {
        // A failing log must not end the conversation it logs.
    }
}

}  // namespace zqk
