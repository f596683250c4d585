// zqk mount in a build without FUSE 3 (the Windows builds, or Linux without
// libfuse3): the command is known, and says why it cannot run.
#include "tool.h"

namespace zqktool {

int Mount(const Options&)
{
    throw Failure(kUsage, "mount is not available in this build (it needs FUSE 3, libfuse3 on Linux)");
}

}  // namespace zqktool
