/* The product DLL as a Windows program uses it: through the C API alone,
 * against the simulated zq.keeper served as a real HID device (zqk-sim-uhid
 * through /dev/uhid) inside the Wine virtual machine, where Wine's HID stack
 * carries every report. Built for 32 and 64 bits (tests/vm/run-winevm-tests).
 *
 *   windows_vm_test session TAG   open, path and identity, run modes, commands,
 *                                 a listing, a file each way with progress, a
 *                                 rename, a delete, a firmware load
 *   windows_vm_test unplug TAG    a file read during which the device is removed
 *   windows_vm_test several TAG   two devices (serial numbers WIN-A and WIN-B)
 *                                 found, each opened by its serial number
 *                                 through a handle, a file copied on each
 *   windows_vm_test hotplug TAG   a device callback set; prints "watching",
 *                                 then the unit WIN-H that the caller plugs
 *                                 in must arrive ("arrived" printed) and, once
 *                                 the caller unplugs it, leave, once each
 *
 * TAG keeps the names of one run apart from another's. Exit status 0 when
 * every check passed. */
#include <windows.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zqkAPI.h"

static int failures = 0;
static const char *tag = "t";

#define CHECK(condition)                                                     \
    do {                                                                     \
        if (!(condition)) {                                                  \
            printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #condition);      \
            ++failures;                                                      \
        }                                                                    \
    } while (0)

#define CHECK_EQ(actual, expected)                                                              \
    do {                                                                                        \
        long a_ = (long)(actual), e_ = (long)(expected);                                        \
        if (a_ != e_) {                                                                         \
            printf("FAIL %s:%d: %s is %ld, expected %ld\n", __FILE__, __LINE__, #actual, a_, e_); \
            ++failures;                                                                         \
        }                                                                                       \
    } while (0)

/* ---- progress of the transfers ---- */

static struct {
    int32_t steps, lastPosition, lastTotal, ends, backwards, user;
} progress;

static void ZQK_CALL OnProgress(int32_t UserData, int32_t Position, int32_t Total)
{
    progress.user = UserData;
    if (Position == -1 && Total == -1) {
        ++progress.ends;
        return;
    }
    if (Position < progress.lastPosition)
        ++progress.backwards;
    ++progress.steps;
    progress.lastPosition = Position;
    progress.lastTotal = Total;
}

static void ResetProgress(void)
{
    memset(&progress, 0, sizeof progress);
}

static void ExpectCompleteProgress(int32_t Total)
{
    CHECK(progress.steps >= 1);
    CHECK_EQ(progress.lastPosition, Total);
    CHECK_EQ(progress.lastTotal, Total);
    CHECK_EQ(progress.backwards, 0);
    CHECK_EQ(progress.ends, 1);
    CHECK_EQ(progress.user, 4711);
}

/* ---- local files ---- */

static int WriteLocal(const char *Path, size_t Size, unsigned Seed)
{
    FILE *f = fopen(Path, "wb");
    size_t i;
    if (!f)
        return 0;
    for (i = 0; i < Size; ++i)
        fputc((int)((i * 31 + Seed + i / 251) & 0xFF), f);
    return fclose(f) == 0;
}

/* Size of the file, or -1 when it cannot be read; *Same tells whether its
 * bytes are those WriteLocal gave with Seed. */
static long ReadLocal(const char *Path, unsigned Seed, int *Same)
{
    FILE *f = fopen(Path, "rb");
    long size = 0;
    int c;
    *Same = 1;
    if (!f)
        return -1;
    while ((c = fgetc(f)) != EOF) {
        if (c != (int)(((size_t)size * 31 + Seed + (size_t)size / 251) & 0xFF))
            *Same = 0;
        ++size;
    }
    fclose(f);
    return size;
}

/* ---- the device ---- */

/* Wine's bus driver adds a HID device some time after the first Windows
 * program started: a real wait. */
static int WaitForDevice(int Seconds)
{
    DWORD start = GetTickCount();
    while (!zqkOpen()) {
        if (GetTickCount() - start > (DWORD)Seconds * 1000)
            return 0;
        Sleep(250);
    }
    printf("device open after %.1f s\n", (GetTickCount() - start) / 1000.0);
    return 1;
}

/* Under emulation the first reports after Wine opened the device take far
 * longer than later ones: a command with a long time-out carries them, before
 * operations whose waits are short (50 ms for a prompt, 100 ms for the one
 * that closes a file operation). */
static void WarmUp(void)
{
    char output[64];
    int32_t n = zqkCommand("echo ready", output, sizeof output, 10000);
    CHECK(n > 0 && strstr(output, "ready") != NULL);
}

static const char *Text(int32_t Length, const char *Buffer)
{
    return Length >= 0 ? Buffer : "(none)";
}

static void Identity(void)
{
    char text[1024];
    int32_t n;
    size_t i;

    CHECK_EQ(zqkIsOpen(), 1);
    CHECK_EQ(zqkDebug(), 0x8000);
    n = zqkUsbPath(text, sizeof text);
    CHECK(n > 0);
    printf("path: %s\n", Text(n, text));
    for (i = 0; n > 0 && text[i]; ++i)
        text[i] = (char)tolower((unsigned char)text[i]);
    CHECK(n > 0 && strstr(text, "vid_16d0&pid_064e") != NULL);
    CHECK_EQ(zqkIsOpen(), 1);

    n = zqkUsbDetail(2, text, sizeof text);
    printf("product: %s\n", Text(n, text));
    CHECK(n > 0 && strstr(text, "zq.keeper") != NULL);
    n = zqkUsbDetail(0, text, sizeof text);
    printf("serial number: %s\n", Text(n, text));
    CHECK(n >= 0);
    n = zqkUsbDetail(1, text, sizeof text);
    printf("manufacturer: %s\n", Text(n, text));
    CHECK(n >= 0);
    CHECK_EQ(zqkUsbDetail(199, text, sizeof text), 0);

    CHECK_EQ(zqkIsRunningApp(), 1);
    CHECK_EQ(zqkIsRunningBootloader(), 0);
    CHECK_EQ(zqkIsRunningATE(), 0);
}

static void Terminal(void)
{
    static char output[8192];
    char line[64];
    int32_t n;

    WarmUp();
    CHECK_EQ(zqkEscape(), 1);
    CHECK_EQ(zqkIsPrompt("zq.keeper"), 1);
    CHECK_EQ(zqkIsPrompt("BootLoader"), 0);

    n = zqkCommand("ver", output, sizeof output, 5000);
    printf("ver: %s", Text(n, output));
    CHECK(n > 0 && strstr(output, "zq.keeper firmware") != NULL);

    sprintf(line, "echo hello from %s", tag);
    n = zqkCommand(line, output, sizeof output, 5000);
    CHECK(n > 0 && strstr(output, line + 5) != NULL);

    /* an output of many reports, cut where the reports end */
    n = zqkCommand("text 3000", output, sizeof output, 5000);
    CHECK_EQ(n, 3000);
    CHECK_EQ(zqkCommand("text 3000", output, 100, 5000), -3001);  /* the buffer-return rule */
}

/* The index of Name in the last listing, printing every entry; -1 when it
 * is not there. */
static int32_t FindEntry(int32_t Count, const char *Name, int32_t *Attributes)
{
    char entry[256], attributes[16], date[32];
    int32_t i, found = -1, size = 0, bits = 0, time = 0;
    for (i = 0; i < Count; ++i) {
        if (zqkGetDirEntry(i, entry, sizeof entry, &size, &bits, &time) < 0)
            continue;
        zqkAttrToText(bits, attributes, sizeof attributes);
        zqkDateToText(time, date, sizeof date);
        printf("  %-16s %8ld %-6s %s\n", entry, (long)size, attributes, date);
        if (strcmp(entry, Name) == 0) {
            found = i;
            *Attributes = bits;
        }
    }
    return found;
}

static void Files(void)
{
    char dir[64], file[96], moved[96], up[64], down[64], firmware[64], name[256];
    const int32_t size = 20000, firmwareSize = 8000;
    int32_t entrySize = 0, attributes = 0, time = 0, n, before;
    int same = 0;

    sprintf(dir, "/%s", tag);
    sprintf(file, "/%s/data.bin", tag);
    sprintf(moved, "/%s/moved.bin", tag);
    sprintf(up, "zqk_vm_%s_up.bin", tag);
    sprintf(down, "zqk_vm_%s_down.bin", tag);
    sprintf(firmware, "ZQK_VM_%s_FW.BIN", tag);
    remove(down);
    CHECK(WriteLocal(up, (size_t)size, 7));
    CHECK(WriteLocal(firmware, (size_t)firmwareSize, 9));
    CHECK_EQ(zqkSetCallback(OnProgress, 4711), 0);

    before = zqkDir("/");
    CHECK(before >= 0);
    CHECK_EQ(zqkDirMake(dir), 0);
    n = zqkDir("/");
    CHECK_EQ(n, before + 1);
    CHECK(FindEntry(n, dir + 1, &attributes) >= 0);
    CHECK_EQ(attributes & 0x10, 0x10);  /* a directory */

    ResetProgress();
    CHECK_EQ(zqkFileWrite(up, file), size);
    ExpectCompleteProgress(size);

    CHECK_EQ(zqkDir(dir), 1);
    n = zqkGetDirEntry(0, name, sizeof name, &entrySize, &attributes, &time);
    CHECK_EQ(n, 8);
    CHECK(n == 8 && strcmp(name, "data.bin") == 0);
    CHECK_EQ(entrySize, size);
    CHECK_EQ(zqkGetDirEntry(1, name, sizeof name, NULL, NULL, NULL), -1);

    ResetProgress();
    CHECK_EQ(zqkFileRead(file, down), size);
    ExpectCompleteProgress(size);
    CHECK_EQ(ReadLocal(down, 7, &same), size);
    CHECK(same);

    CHECK_EQ(zqkRename(file, moved), 0);
    CHECK_EQ(zqkDir(dir), 1);
    n = zqkGetDirEntry(0, name, sizeof name, NULL, NULL, NULL);
    CHECK(n > 0 && strcmp(name, "moved.bin") == 0);
    CHECK_EQ(zqkFileDelete(moved), 0);
    CHECK_EQ(zqkFileDelete(moved), -1);
    CHECK_EQ(zqkDir(dir), 0);
    CHECK_EQ(zqkDirRemove(dir), 0);

    ResetProgress();
    CHECK_EQ(zqkFirmwareUpdate(firmware), firmwareSize);
    ExpectCompleteProgress(firmwareSize);
    n = zqkCommand("ver", name, sizeof name, 5000);  /* the terminal still answers */
    CHECK(n > 0);

    remove(up);
    remove(down);
    remove(firmware);
}

static int Session(void)
{
    if (!WaitForDevice(120)) {
        printf("FAIL: no device\n");
        return 1;
    }
    Identity();
    Terminal();
    Files();
    CHECK_EQ(zqkClose(), 0);
    CHECK_EQ(zqkIsOpen(), 0);
    CHECK_EQ(zqkDebug(), 0x8000);
    return failures;
}

/* The device program removes the device after a number of input reports,
 * which falls in the middle of reading the file back. */
static int Unplug(void)
{
    char up[64], down[64], file[64];
    const int32_t size = 60000;
    int same = 0, i;
    int32_t n, attributes = 0, stored = -1;
    DWORD start;

    sprintf(up, "zqk_vm_%s_big.bin", tag);
    sprintf(down, "zqk_vm_%s_back.bin", tag);
    sprintf(file, "/%s.bin", tag);
    remove(down);
    CHECK(WriteLocal(up, (size_t)size, 3));
    if (!WaitForDevice(120)) {
        printf("FAIL: no device\n");
        return 1;
    }
    WarmUp();
    CHECK_EQ(zqkSetCallback(OnProgress, 4711), 0);
    CHECK_EQ(zqkFileWrite(up, file), size);
    n = zqkDir("/");
    i = FindEntry(n, file + 1, &attributes);
    CHECK(i >= 0);
    if (i >= 0) {
        zqkGetDirEntry(i, NULL, 0, &stored, NULL, NULL);
        CHECK_EQ(stored, size);  /* the whole file reached the device */
    }

    ResetProgress();
    start = GetTickCount();
    n = zqkFileRead(file, down);
    printf("read while the device went away: %ld after %lu ms, %ld progress steps, last position %ld\n", (long)n,
           (unsigned long)(GetTickCount() - start), (long)progress.steps, (long)progress.lastPosition);
    CHECK_EQ(n, -2);
    CHECK(progress.steps >= 1);
    CHECK(progress.lastPosition < size);
    CHECK_EQ(ReadLocal(down, 3, &same), -1);  /* nothing half-written is left */

    /* the outstanding read ended with the device; at the latest the next
     * refused read closes it */
    for (i = 0; i < 3 && zqkIsOpen(); ++i)
        zqkPoll(100);
    CHECK_EQ(zqkIsOpen(), 0);
    CHECK(zqkLastError() != 0);
    CHECK_EQ(zqkOpen(), 0);
    CHECK_EQ(zqkTermTx("ver\r", 4, 200), 0);
    remove(up);
    return failures;
}

/* One device of several, through a handle: its identity, and a file to it
 * and back. */
static void CopyOnHandle(const char *Serial, unsigned Seed)
{
    char up[64], down[64], file[64], text[64];
    const int32_t size = 3000;
    int same = 0;
    int32_t n, handle = zqkDevOpen(Serial);
    CHECK(handle > 0);
    if (handle <= 0) {
        zqkStatusText(text, sizeof text);
        printf("cannot open %s: status %ld: %s\n", Serial, (long)zqkLastStatus(), text);
        return;
    }
    n = zqkDevUsbDetail(handle, 0, text, sizeof text);
    CHECK(n > 0 && strcmp(text, Serial) == 0);
    n = zqkDevCommand(handle, "echo ready", text, sizeof text, 10000); /* carries the first slow reports */
    CHECK(n > 0 && strstr(text, "ready") != NULL);
    sprintf(up, "zqk_vm_%s_%s_up.bin", tag, Serial);
    sprintf(down, "zqk_vm_%s_%s_down.bin", tag, Serial);
    sprintf(file, "/%s_%s.bin", tag, Serial);
    CHECK(WriteLocal(up, (size_t)size, Seed));
    CHECK_EQ(zqkDevFileWrite(handle, up, file), size);
    CHECK_EQ(zqkDevFileRead(handle, file, down), size);
    CHECK_EQ(ReadLocal(down, Seed, &same), size);
    CHECK(same);
    CHECK_EQ(zqkLastStatus(), ZQK_STATUS_OK);
    CHECK_EQ(zqkDevClose(handle), 0);
    CHECK_EQ(zqkDevIsOpen(handle), 0);
    CHECK_EQ(zqkLastStatus(), ZQK_STATUS_ARGUMENT);
    remove(up);
    remove(down);
}

static int Several(void)
{
    const char *serials[] = {"WIN-A", "WIN-B"};
    char text[64], path[1024];
    int found[2] = {0, 0}, i, k;
    int32_t count = 0, n;
    DWORD start = GetTickCount();
    CHECK_EQ(zqkVersion(), (ZQK_VERSION_MAJOR << 16) | (ZQK_VERSION_MINOR << 8) | ZQK_VERSION_PATCH);
    while ((count = zqkFindDevices()) < 2 && GetTickCount() - start < 120000)
        Sleep(250);
    printf("%ld devices found after %.1f s\n", (long)count, (GetTickCount() - start) / 1000.0);
    CHECK_EQ(count, 2);
    for (i = 0; i < count; ++i) {
        CHECK(zqkFoundDevice(i, 0, text, sizeof text) > 0);
        for (k = 0; k < 2; ++k)
            found[k] += strcmp(text, serials[k]) == 0;
        n = zqkFoundDevice(i, -1, path, sizeof path);
        CHECK(n > 0);
        for (k = 0; n > 0 && path[k]; ++k)
            path[k] = (char)tolower((unsigned char)path[k]);
        CHECK(n > 0 && strstr(path, "vid_16d0&pid_064e") != NULL);
    }
    CHECK_EQ(found[0], 1);
    CHECK_EQ(found[1], 1);
    CHECK_EQ(zqkFoundDevice(count, 0, text, sizeof text), -1);
    CHECK_EQ(zqkLastStatus(), ZQK_STATUS_ARGUMENT);
    for (k = 0; k < 2; ++k)
        CopyOnHandle(serials[k], 11u + (unsigned)k);
    CHECK_EQ(zqkDevOpen("NO-SUCH-UNIT"), 0);
    CHECK_EQ(zqkLastStatus(), ZQK_STATUS_NO_DEVICE);
    return failures;
}

/* ---- devices arriving and leaving ---- */

static volatile LONG arrivals = 0, removals = 0;

static void ZQK_CALL OnDevice(intptr_t UserData, int32_t Arrived, const char *Path, const char *Serial)
{
    (void)UserData;
    if (strcmp(Serial, "WIN-H") != 0)
        return;
    printf("%s %s\n", Arrived ? "arrived" : "left", Path);
    fflush(stdout);
    InterlockedIncrement(Arrived ? &arrivals : &removals);
}

static int WaitForCount(volatile LONG *Count, int Seconds)
{
    DWORD start = GetTickCount();
    while (*Count == 0) {
        if (GetTickCount() - start > (DWORD)Seconds * 1000)
            return 0;
        Sleep(100);
    }
    return 1;
}

static int Hotplug(void)
{
    CHECK_EQ(zqkSetDeviceCallback(OnDevice, 0), 0);
    printf("watching\n");
    fflush(stdout);
    CHECK(WaitForCount(&arrivals, 180));
    CHECK(WaitForCount(&removals, 180));
    Sleep(2000); /* time for a second report of either, which must not come */
    CHECK_EQ(arrivals, 1);
    CHECK_EQ(removals, 1);
    CHECK_EQ(zqkSetDeviceCallback(NULL, 0), 0);
    return failures;
}

int main(int argc, char **argv)
{
    int result;
    if (argc < 2) {
        printf("usage: windows_vm_test session|unplug|several|hotplug [TAG]\n");
        return 2;
    }
    if (argc > 2)
        tag = argv[2];
    printf("== windows_vm_test %s %s (%d-bit)\n", argv[1], tag, (int)(sizeof(void *) * 8));
    if (strcmp(argv[1], "session") == 0)
        result = Session();
    else if (strcmp(argv[1], "unplug") == 0)
        result = Unplug();
    else if (strcmp(argv[1], "several") == 0)
        result = Several();
    else if (strcmp(argv[1], "hotplug") == 0)
        result = Hotplug();
    else
        return 2;
    printf("== windows_vm_test %s %s: %s (%d failed checks)\n", argv[1], tag, result ? "FAILED" : "passed",
           failures);
    return result ? 1 : 0;
}
