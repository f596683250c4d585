#include "api/status.h"

#include <utility>

#include "api/buffer_return.h"

namespace zqk {

namespace {

// No destructor to run at the thread's exit (see StoredNote).
thread_local StoredNote t_status;

}  // namespace

CallStatus LastStatus()
{
    const FailureNote note = t_status.Load();
    return {static_cast<int32_t>(note.Kind), note.Text};
}

StatusScope::StatusScope() : outer_(TakeFailure()) {}

StatusScope::~StatusScope()
{
    const FailureNote note = TakeFailure();
    t_status.Store(note.Kind, note.Text);
    RestoreFailure(std::move(outer_));
}

int32_t ReturnText(const std::string& Text, char* Buffer, int32_t Size)
{
    const int32_t result = BufferReturn(Text, Buffer, Size);
    if (result < 0) {
        const std::string needed = std::to_string(-static_cast<int64_t>(result));
        NoteFailure(Failure::Buffer, Buffer == nullptr ? "no buffer given; the text needs " + needed + " bytes"
                                                       : "the buffer of " + std::to_string(Size) +
                                                             " bytes is too small: the text needs " + needed);
    }
    return result;
}

}  // namespace zqk
