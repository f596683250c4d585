#include "api/callback_shim.h"

namespace zqk {

void TCallbackShim::Progress(const void*, int32_t Position, int32_t Total) const
{
    if (Callback == nullptr)
        return;
    try {
        Callback(UserData, Position, Total);
    } catch (...) {
        // A failing callback must not end the transfer that reports progress.
    }
}

void TCallbackShim::Complete(const void* Sender) const
{
    Progress(Sender, -1, -1);
}

}  // namespace zqk
