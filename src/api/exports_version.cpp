// The version export. The numbers come from the build (the CMake project
// version), which also checks that the public header names the same release.
#include "api/export_guard.h"
#include "zqkAPI.h"

namespace {

constexpr int32_t kLibraryVersion =
    (ZQK_PROJECT_VERSION_MAJOR << 16) | (ZQK_PROJECT_VERSION_MINOR << 8) | ZQK_PROJECT_VERSION_PATCH;

}  // namespace

extern "C" ZQK_API int32_t ZQK_CALL zqkVersion(void)
{
    // A constant of the build: a library that did not start is that version too.
    return zqk::Guarded<int32_t>(kLibraryVersion, [](zqk::Library&) { return kLibraryVersion; });
}
