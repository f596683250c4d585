#pragma once
#include <cstdint>
#include <string>

namespace zqk {

// Why the calling thread's current operation failed, noted where the failure
// is decided (a write that failed, a lock not had, an answer that refused)
// and read by the exports, which turn it into the caller's status. The
// values are the public status codes.
enum class Failure : int32_t {
    None = 0,
    NoDevice = 1,
    NotOpen = 2,
    Access = 3,
    Busy = 4,
    Timeout = 5,
    Gone = 6,
    Refused = 7,
    LocalFile = 8,
    Argument = 9,
    InTransfer = 10,
    Buffer = 11,
};

struct FailureNote {
    Failure Kind = Failure::None;
    std::string Text;
};

// Keeps the first decisive failure of an operation: a later note replaces an
// earlier one only when that one was a weak guess (silence, or a device found
// closed) and the later one says more, such as the device having gone away.
void NoteFailure(Failure Kind, std::string Text);
const FailureNote& CurrentFailure();
// Takes the note out, leaving none, so that a nested call starts afresh and
// the outer one can be given back its note afterwards.
FailureNote TakeFailure();
void RestoreFailure(FailureNote Note);

}  // namespace zqk
