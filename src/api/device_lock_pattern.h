#pragma once
#include <cstdint>

#include "api/device.h"
#include "base/failure_note.h"

namespace zqk {

// How long an export waits for the device lock before it gives up.
constexpr int32_t kExportLockTimeout = 1000;

// One of the link's locks for one scope: taken with at most Timeout ms (when
// not, the link has noted why) and given back when the scope ends.
template <bool (TzqComms::*Take)(int32_t), void (TzqComms::*Give)()>
class LinkHold {
public:
    LinkHold(TzqComms& Comms, int32_t Timeout) : comms_(Comms), held_((Comms.*Take)(Timeout)) {}
    ~LinkHold()
    {
        if (held_)
            (comms_.*Give)();
    }
    LinkHold(const LinkHold&) = delete;
    LinkHold& operator=(const LinkHold&) = delete;
    explicit operator bool() const { return held_; }

private:
    TzqComms& comms_;
    const bool held_;
};

// The device lock: a whole conversation, against every program.
using DeviceLockHold = LinkHold<&TzqComms::Lock, &TzqComms::Unlock>;
// The link's own turn: what a change of its transport waits for.
using LinkTurnHold = LinkHold<&TzqComms::LockLink, &TzqComms::UnlockLink>;

// A transfer of this thread's holds the device: the call is from its
// progress callback (noted as such).
inline bool InTransfer(TzqkDevice& Dev)
{
    if (!Dev.Files.Busy())
        return false;
    NoteFailure(Failure::InTransfer, "called from a progress callback while a transfer holds the device");
    return true;
}

// A change of the device's transport (open, close, another path): it waits
// for this program's conversations on the device's link, and not for other
// programs', whose conversations go on whatever this link holds. From a
// progress callback it is refused as ExportTurn is, for the rest of the
// transfer must not go to another device.
class TransportTurn {
public:
    explicit TransportTurn(TzqkDevice& Dev, int32_t Timeout = kExportLockTimeout)
        : turn_(Dev.Comms, Timeout), granted_(turn_ && !InTransfer(Dev))
    {
    }
    explicit operator bool() const { return granted_; }

private:
    LinkTurnHold turn_;
    const bool granted_;
};

// An export's turn with the device: the device lock, and the device not in
// the middle of a transfer of this thread's.
// Called from a progress callback, the lock is had at once (it is this
// thread's), but the transfer in progress owns the terminal and the
// transport: flushing or sending now would eat its data or inject text into
// it, and another transport would carry the rest of it to another device. So
// such a turn is refused before it touches the device.
class ExportTurn {
public:
    explicit ExportTurn(TzqkDevice& Dev, int32_t Timeout = kExportLockTimeout)
        : lock_(Dev.Comms, Timeout), granted_(lock_ && !InTransfer(Dev))
    {
    }
    explicit operator bool() const { return granted_; }

private:
    DeviceLockHold lock_;
    const bool granted_;
};

// How the exports that hold a conversation with the device take the device
// lock: at most 1000 ms (else their failure value at once, nothing sent),
// then stale terminal output is thrown away before the operation runs, and
// the lock is given back on every way out.
template <typename Result, typename Operation>
Result WithDeviceLock(TzqkDevice& Dev, Result Fallback, Operation&& Run)
{
    const ExportTurn turn(Dev);
    if (!turn)
        return Fallback;
    FlushBeforeCommand(Dev.Terminal);
    return Run();
}

}  // namespace zqk
