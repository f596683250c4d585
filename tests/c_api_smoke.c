/* The library as a C program sees it, with no device attached: linked
 * against the shared library, nothing but the public header. */
#include <stdio.h>
#include <string.h>

#include "zqkAPI.h"

static int failures = 0;

#define CHECK_EQ(actual, expected)                                                         \
    do {                                                                                   \
        long a_ = (long)(actual), e_ = (long)(expected);                                   \
        if (a_ != e_) {                                                                    \
            printf("%s:%d: %s is %ld, expected %ld\n", __FILE__, __LINE__, #actual, a_, e_); \
            ++failures;                                                                    \
        }                                                                                  \
    } while (0)

int main(void)
{
    char buffer[16];

    CHECK_EQ(zqkIsOpen(), 0);
    CHECK_EQ(zqkDebug(), 0x8000);
    CHECK_EQ(zqkVersion(), (ZQK_VERSION_MAJOR << 16) | (ZQK_VERSION_MINOR << 8) | ZQK_VERSION_PATCH);
    CHECK_EQ(zqkGetVidPid(0), 0x16D0);
    CHECK_EQ(zqkGetVidPid(1), 0x064E);
    CHECK_EQ(zqkGetVidPid(2), 0xFFB2);
    CHECK_EQ(zqkGetVidPid(3), -1);

    CHECK_EQ(zqkOpen(), 0);
    CHECK_EQ(zqkIsOpen(), 0);
    CHECK_EQ(zqkUsbPath(buffer, sizeof buffer), -1);

    /* buffer-return of the empty text */
    memset(buffer, 'x', sizeof buffer);
    CHECK_EQ(zqkUsbDetail(2, buffer, 1), 0);
    CHECK_EQ(buffer[0], 0);
    CHECK_EQ(buffer[1], 'x');
    CHECK_EQ(zqkUsbDetail(2, buffer, 0), -1);
    CHECK_EQ(zqkUsbDetail(2, NULL, 100), -1);

    /* buffer-return of a three-byte text: attributes 0x23 are "ARH" */
    memset(buffer, 'x', sizeof buffer);
    CHECK_EQ(zqkAttrToText(0x23, buffer, 4), 3);
    CHECK_EQ(memcmp(buffer, "ARH\0x", 5), 0);
    memset(buffer, 'x', sizeof buffer);
    CHECK_EQ(zqkAttrToText(0x23, buffer, 3), -4);
    CHECK_EQ(buffer[0], 'x');
    CHECK_EQ(zqkAttrToText(0x23, NULL, 100), -4);
    CHECK_EQ(zqkDateToText(0, buffer, sizeof buffer), -20);
    {
        char date[32];
        CHECK_EQ(zqkDateToText(0, date, sizeof date), 19);
        CHECK_EQ(strcmp(date, "1970-01-01 00:00:00"), 0);
    }

    /* the locking exports with no device: the lock is had, the device is closed */
    CHECK_EQ(zqkCommand("ver", buffer, sizeof buffer, 100), 0);
    CHECK_EQ(zqkDir("/"), -1);
    CHECK_EQ(zqkDirMake("/x"), -1);
    CHECK_EQ(zqkGetDirEntry(0, buffer, sizeof buffer, NULL, NULL, NULL), -1);
    CHECK_EQ(zqkEscape(), 1);
    CHECK_EQ(zqkIsRunningApp(), 0);
    CHECK_EQ(zqkFileWrite("no such local file", "/x"), ZQK_LOCAL_FILE_UNREADABLE);
    CHECK_EQ(zqkFileRead("/x", "out.bin"), -2);

    CHECK_EQ(zqkTermTx("abc", 0, 10), 1);
    CHECK_EQ(zqkTermTx("abc", 3, 10), 0);
    CHECK_EQ(zqkTermTx(NULL, 3, 10), 0);
    CHECK_EQ(zqkTermRx(buffer, sizeof buffer, 10), 0);
    CHECK_EQ(zqkPoll(0), -1);
    CHECK_EQ(zqkSetCallback(NULL, 0), 0);
    CHECK_EQ(zqkClose(), 0);

    zqkSetVidPid(3, 1);
    CHECK_EQ(zqkGetVidPid(3), 1);

    if (failures == 0)
        printf("c_api_smoke: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
