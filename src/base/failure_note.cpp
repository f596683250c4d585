#include "base/failure_note.h"


namespace zqk {

namespace {

thread_local StoredNote t_note;

bool IsWeak(Failure Kind)
{
    return Kind == Failure::None || Kind == Failure::Timeout || Kind == Failure::NotOpen;
}

}  // namespace

void StoredNote::Store(Failure Kind, const std::string& Text)
{
    kind_ = Kind;
    length_ = static_cast<uint32_t>(Text.copy(text_, kRoom));
}

FailureNote StoredNote::Load() const
{
    return {kind_, std::string(text_, kind_ == Failure::None ? 0 : length_)};
}

void NoteFailure(Failure Kind, std::string Text)
{
    const Failure now = t_note.Kind();
    if (Kind == Failure::None || !IsWeak(now) || (now != Failure::None && IsWeak(Kind)))
        return;
    t_note.Store(Kind, Text);
}

FailureNote CurrentFailure()
{
    return t_note.Load();
}

FailureNote TakeFailure()
{
    FailureNote note = t_note.Load();
    t_note.Store(Failure::None, std::string());
    return note;
}

void RestoreFailure(FailureNote Note)
{
    t_note.Store(Note.Kind, Note.Text);
}

}  // namespace zqk
