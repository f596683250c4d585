#pragma once
#include <cstdint>
#include <string>

#include "zqkAPI.h"

namespace zqk {

// Why the calling thread's current operation failed, noted where the failure
// is decided (a write that failed, a lock not had, an answer that refused)
// and read by the exports, which turn it into the caller's status. The
// values are the public status codes, taken from the header that defines
// them.
enum class Failure : int32_t {
    None = ZQK_STATUS_OK,
    // The device: not there, not to be had, or not answering as it should.
    NoDevice = ZQK_STATUS_NO_DEVICE, NotOpen = ZQK_STATUS_NOT_OPEN, Access = ZQK_STATUS_ACCESS,
    Busy = ZQK_STATUS_BUSY, Timeout = ZQK_STATUS_TIMEOUT, Gone = ZQK_STATUS_GONE,
    Refused = ZQK_STATUS_REFUSED,
    // The caller's side: its files, its arguments, its own transfer.
    LocalFile = ZQK_STATUS_LOCAL_FILE, Argument = ZQK_STATUS_ARGUMENT,
    InTransfer = ZQK_STATUS_IN_TRANSFER, Buffer = ZQK_STATUS_BUFFER,
};

struct FailureNote {
    Failure Kind = Failure::None;
    std::string Text;
};

// A failure's kind and text in storage that needs no destructor, for what a
// thread keeps of its own: the C++ runtime runs a thread's destructors at
// its exit, which in a Windows DLL hung a process whose threads ended
// together (seen under Wine). Texts longer than the room are cut.
class StoredNote {
public:
    static constexpr size_t kRoom = 2048;
    void Store(Failure Kind, const std::string& Text);
    FailureNote Load() const;
    Failure Kind() const { return kind_; }

private:
    Failure kind_;
    uint32_t length_;
    char text_[kRoom];
};

// Keeps the first decisive failure of an operation: a later note replaces an
// earlier one only when that one was a weak guess (silence, or a device found
// closed) and the later one says more, such as the device having gone away.
void NoteFailure(Failure Kind, std::string Text);
FailureNote CurrentFailure();
// Takes the note out, leaving none, so that a nested call starts afresh and
// the outer one can be given back its note afterwards.
FailureNote TakeFailure();
void RestoreFailure(FailureNote Note);

}  // namespace zqk
