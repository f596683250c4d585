#pragma once
#include <new>
#include <stdexcept>
#include <string>

#include "api/library.h"
#include "api/status.h"

namespace zqk {

// Runs an export's body on the process-wide objects, under the calling
// thread's status. No exception leaves an export: any failure inside, and a
// library that did not start, give the export's failure value.
template <typename Result, typename Body>
Result Guarded(Result Fallback, Body&& Run) noexcept
{
    StatusScope status;
    try {
        Library* library = TheLibrary();
        if (library)
            return Run(*library);
        NoteFailure(Failure::NoDevice, "the platform's HID services could not be loaded (Could not load HID)");
    } catch (const std::bad_alloc&) {
        NoteFailure(Failure::Argument, "not enough memory for this call");
    } catch (const std::length_error&) {
        NoteFailure(Failure::Argument, "not enough memory for this call");
    } catch (const std::exception& error) {
        NoteFailure(Failure::Argument, std::string("the call failed: ") + error.what());
    } catch (...) {
        NoteFailure(Failure::Argument, "the call failed");
    }
    return Fallback;
}

// An export of the classic functions' device.
template <typename Result, typename Body>
Result OnDefault(Result Fallback, Body&& Run) noexcept
{
    return Guarded<Result>(Fallback, [&](Library& Lib) { return Run(Lib.Default()); });
}

// An export of a handle's device; a handle that is not open fails as a
// closed device would, with the reason that it is no handle.
template <typename Result, typename Body>
Result OnHandle(int32_t Handle, Result Fallback, Body&& Run) noexcept
{
    return Guarded<Result>(Fallback, [&](Library& Lib) {
        const std::shared_ptr<TzqkDevice> device = Lib.Handles.Find(Handle);
        if (!device) {
            NoteFailure(Failure::Argument,
                        "no device is open with handle " + std::to_string(Handle) + " (closed, or never given)");
            return Fallback;
        }
        return Run(*device);
    });
}

}  // namespace zqk
