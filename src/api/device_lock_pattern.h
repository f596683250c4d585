#pragma once
#include <cstdint>

#include "api/device.h"
#include "link/failure_note.h"

namespace zqk {

// How the exports that hold a conversation with the device take the device
// lock: at most 1000 ms (else their failure value at once, nothing sent),
// then stale terminal output is thrown away before the operation runs, and
// the lock is given back on every way out.
// Called from a progress callback, the lock is had at once (it is this
// thread's), but the transfer in progress owns the terminal: flushing or
// sending now would eat its data or inject text into it, so such a call fails
// before touching the device.
template <typename Result, typename Operation>
Result WithDeviceLock(TzqkDevice& Dev, Result Fallback, Operation&& Run)
{
    constexpr int32_t kExportLockTimeout = 1000;
    if (!Dev.Comms.Lock(kExportLockTimeout))
        return Fallback;
    struct Release {
        TzqComms& comms;
        ~Release() { comms.Unlock(); }
    } release {Dev.Comms};
    if (Dev.Files.Busy()) {
        NoteFailure(Failure::InTransfer, "called from a progress callback while a transfer holds the device");
        return Fallback;
    }
    FlushBeforeCommand(Dev.Terminal);
    return Run();
}

}  // namespace zqk
