#pragma once
#include "api/library.h"

namespace zqk {

// Runs an export's body on the process-wide objects. No exception leaves an
// export: any failure inside, and a library that did not start, give the
// export's failure value.
template <typename Result, typename Body>
Result Guarded(Result Failure, Body&& Run) noexcept
{
    try {
        Library* library = TheLibrary();
        return library ? Run(*library) : Failure;
    } catch (...) {
        return Failure;
    }
}

template <typename Body>
void GuardedVoid(Body&& Run) noexcept
{
    try {
        if (Library* library = TheLibrary())
            Run(*library);
    } catch (...) {
    }
}

}  // namespace zqk
