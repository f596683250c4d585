#include "api/status.h"

#include <utility>

#include "api/buffer_return.h"

namespace zqk {

namespace {

thread_local CallStatus t_status;

}  // namespace

const CallStatus& LastStatus()
{
    return t_status;
}

StatusScope::StatusScope() : outer_(TakeFailure()) {}

StatusScope::~StatusScope()
{
    FailureNote note = TakeFailure();
    t_status.Code = static_cast<int32_t>(note.Kind);
    t_status.Text = note.Kind == Failure::None ? std::string() : std::move(note.Text);
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
