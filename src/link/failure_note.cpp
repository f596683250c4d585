#include "link/failure_note.h"

#include <utility>

namespace zqk {

namespace {

thread_local FailureNote t_note;

bool IsWeak(Failure Kind)
{
    return Kind == Failure::None || Kind == Failure::Timeout || Kind == Failure::NotOpen;
}

}  // namespace

void NoteFailure(Failure Kind, std::string Text)
{
    if (Kind == Failure::None || !IsWeak(t_note.Kind) || (t_note.Kind != Failure::None && IsWeak(Kind)))
        return;
    t_note.Kind = Kind;
    t_note.Text = std::move(Text);
}

const FailureNote& CurrentFailure()
{
    return t_note;
}

FailureNote TakeFailure()
{
    return std::exchange(t_note, FailureNote {});
}

void RestoreFailure(FailureNote Note)
{
    t_note = std::move(Note);
}

}  // namespace zqk
