// Library file names for a test build of the DLL whose start-up must fail:
// its HID class library lacks a name.
#include "hid/hid_binding_windows.h"

namespace zqk::hid {

const char* const kHidLibraryFile = "zqk_stand_in_hid.dll";
const char* const kSetupLibraryFile = "SetupApi.dll";

}  // namespace zqk::hid
