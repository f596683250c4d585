// The system's HID class and device-installation libraries. Kept apart from
// the binding so that a test build of the DLL can link other file names and
// show how the library behaves when they cannot be bound.
#include "hid/hid_binding_windows.h"

namespace zqk::hid {

const char* const kHidLibraryFile = "HID.dll";
const char* const kSetupLibraryFile = "SetupApi.dll";

}  // namespace zqk::hid
