/* A user's program, built against an installed zqkAPI (by run-install-tests
 * through the CMake package and through pkg-config, and against the Windows
 * zips' import libraries). It opens nothing: no device has the matching
 * values it sets. It prints the library's version beside the header's, the
 * default matching values, the result of the failed open and why it failed
 * (up to the number of HID interfaces looked at, which the machine decides),
 * and fails when
 * the library is not the header's release or the open succeeded. */
#include <stdio.h>
#include <string.h>

#include "zqkAPI.h"

int main(void)
{
    const int32_t version = zqkVersion();
    const int32_t header = (ZQK_VERSION_MAJOR << 16) | (ZQK_VERSION_MINOR << 8) | ZQK_VERSION_PATCH;
    int32_t opened;
    char why[512];
    char *among;

    printf("library %d.%d.%d, header %s\n", version >> 16, (version >> 8) & 0xFF, version & 0xFF, ZQK_VERSION_STR);
    printf("default matching %04x:%04x\n", zqkGetVidPid(0), zqkGetVidPid(1));
    zqkSetVidPid(0, 0x0001);
    zqkSetVidPid(1, 0x0001);
    opened = zqkOpen();
    printf("zqkOpen %d\n", opened);
    if (zqkStatusText(why, sizeof why) < 0)
        why[0] = '\0';
    among = strstr(why, " among ");
    if (among)
        *among = '\0';
    printf("status %d: %s\n", zqkLastStatus(), why);
    return version == header && opened == 0 ? 0 : 1;
}
