/*
 * zqkAPI: host library for zq.keeper USB data-buffer devices.
 *
 * The device is reached through its HID interface (64-byte reports), which
 * carries 32 logical byte channels; channel 0 is the device's text terminal.
 *
 * Conventions of every function below:
 *  - 32-bit Windows: stdcall (the callee removes the arguments); elsewhere
 *    the platform's C calling convention.
 *  - Integers are signed 32-bit. Booleans are 1 (true) and 0 (false).
 *  - Text arguments are zero-terminated 8-bit strings; NULL counts as "".
 *  - Text results use the buffer-return convention: the text and one zero
 *    byte are copied to Buffer and the text's length is returned; when
 *    Buffer is NULL or Size is smaller than length + 1, nothing is written
 *    and -(length + 1) is returned. Text may contain zero bytes: take its
 *    length from the result.
 *  - Failures are return values; no function raises an error.
 */
#ifndef ZQKAPI_H
#define ZQKAPI_H

#include <stdint.h>

/* The version of this header, the same as the library's it came with
 * (zqkVersion tells the version of the library that is loaded). */
#define ZQK_VERSION_MAJOR 1
#define ZQK_VERSION_MINOR 1
#define ZQK_VERSION_PATCH 0
#define ZQK_VERSION_STR "1.1.0"

#if defined(_WIN32)
#define ZQK_CALL __stdcall
#else
#define ZQK_CALL
#endif

#if defined(ZQK_BUILDING_LIBRARY) && !defined(_WIN32)
#define ZQK_API __attribute__((visibility("default")))
#else
#define ZQK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Progress of a file transfer: (UserData, position, total) after each block,
 * (UserData, -1, -1) when the transfer ends. */
typedef void(ZQK_CALL *zqkProgressCallback)(int32_t UserData, int32_t Position, int32_t Total);

/* ---- Connection, raw link and identity -------------------------------- */

/* Finds and opens the first matching device (see zqkSetVidPid).
 * 1 when the device is open afterwards, 0 otherwise.
 * Opening, closing and zqkUsbPath (and zqkOpenPath, zqkOpenSerial) change the
 * device between this program's conversations: a conversation of another
 * thread (a transfer, a command) is waited for, at most 1000 ms, and is never
 * carried on to another device. Other programs' conversations are not waited
 * for: they go on, whatever device this program holds. When the other
 * thread does not finish in time, nothing changes and the status is
 * ZQK_STATUS_BUSY; called from a progress callback, they change nothing under
 * the caller's own transfer (ZQK_STATUS_IN_TRANSFER), except zqkClose, which
 * ends that transfer. On an open device zqkOpen waits for nothing: it
 * returns 1. */
ZQK_API int32_t ZQK_CALL zqkOpen(void);
/* Closes the device. Always 0: when another thread's conversation does not
 * end within 1000 ms the device stays open, with ZQK_STATUS_BUSY (see
 * zqkOpen). */
ZQK_API int32_t ZQK_CALL zqkClose(void);
/* 1 when the device is open, else 0. */
ZQK_API int32_t ZQK_CALL zqkIsOpen(void);
/* Reads waiting reports into the channel buffers, waiting up to Timeout ms
 * for the first. 0 when at least one packet arrived, -1 when none did. */
ZQK_API int32_t ZQK_CALL zqkPoll(int32_t Timeout);
/* Sends Count raw bytes on the terminal channel, each report written with
 * Timeout ms. 1 when all were written (also for Count <= 0), 0 on failure
 * (a failed write closes the device). NULL Data with Count > 0 sends
 * nothing and returns 0. */
ZQK_API int32_t ZQK_CALL zqkTermTx(const char *Data, int32_t Count, int32_t Timeout);
/* Buffer-return of the data of one packet received on the terminal channel
 * (0 to 61 bytes), waiting up to Timeout ms. Data that does not fit is lost. */
ZQK_API int32_t ZQK_CALL zqkTermRx(char *Buffer, int32_t Size, int32_t Timeout);
/* Opens the first matching device (again) and returns its path through the
 * buffer-return convention, or -1 when no device could be opened or the
 * device lock was not had (see zqkOpen). */
ZQK_API int32_t ZQK_CALL zqkUsbPath(char *Buffer, int32_t Size);
/* Buffer-return of a USB string: Type 0 serial number, 1 manufacturer,
 * 2 product, 200 to 255 the string with that index; empty otherwise. */
ZQK_API int32_t ZQK_CALL zqkUsbDetail(int32_t Type, char *Buffer, int32_t Size);
/* Matching values: Index 0 vendor ID (default 0x16D0), 1 product ID
 * (0x064E), 2 usage page (0xFFB2), 3 usage (-1). A negative value matches
 * anything. Used by the next open; other indexes are ignored. */
ZQK_API void ZQK_CALL zqkSetVidPid(int32_t Index, int32_t Value);
/* The matching value at Index 0 to 3; 0 for any other index. */
ZQK_API int32_t ZQK_CALL zqkGetVidPid(int32_t Index);
/* Sets the progress callback (NULL silences progress). Always 0. */
ZQK_API int32_t ZQK_CALL zqkSetCallback(zqkProgressCallback Callback, int32_t UserData);

/* ---- Terminal ---------------------------------------------------------- */

/* Runs one command line on the device terminal: discards stale output, sends
 * Command and a carriage return, and returns the output up to the device's
 * next prompt (without it) through the buffer-return convention. Timeout
 * bounds each silence of the device, not the whole command. -1 when the
 * device lock is held elsewhere for 1000 ms, and when the output passes
 * 16 MiB before the prompt (then nothing is handed back and the lock is given
 * back at once; what the device still sends goes with the next flush). */
ZQK_API int32_t ZQK_CALL zqkCommand(const char *Command, char *Buffer, int32_t Size, int32_t Timeout);
/* Sends an escape: 0 when the prompt that answers it asks for a password
 * (contains "PASSWORD"), 1 otherwise (also when nothing answers). */
ZQK_API int32_t ZQK_CALL zqkEscape(void);
/* Buffer-return of the terminal output up to the next prompt-closing byte
 * 0xBB (consumed, not returned), or of what came before Timeout ms of
 * silence. */
ZQK_API int32_t ZQK_CALL zqkFlushPrompt(char *Buffer, int32_t Size, int32_t Timeout);
/* Sends an escape; 1 when the prompt shown contains Pattern (the closing
 * 0xBB is not part of the text tested), else 0. */
ZQK_API int32_t ZQK_CALL zqkIsPrompt(const char *Pattern);
/* Run mode from the USB product string: 1 when it contains "BootLoader",
 * "zq.keeper" or "ATE" respectively, else 0. */
ZQK_API int32_t ZQK_CALL zqkIsRunningBootloader(void);
ZQK_API int32_t ZQK_CALL zqkIsRunningApp(void);
ZQK_API int32_t ZQK_CALL zqkIsRunningATE(void);
/* Sets the prompt that ends a command's output (default: the 12 bytes
 * 0xAB "zq.keeper>" 0xBB). An empty prompt makes output end only by
 * silence. */
ZQK_API void ZQK_CALL zqkSetPrompt(const char *Prompt);

/* ---- Device file system ---------------------------------------------- */

/* Device paths are refused, with the function's failure result and nothing
 * sent, when they hold a control byte (below 0x20, or 0x7F) or, where the
 * device takes names in double quotes, a double quote: the device would read
 * them as the end of the command line or of the name. The same goes for the
 * name of a firmware image, control bytes only. */

/* Result of zqkFileWrite and zqkFirmwareUpdate when the local file cannot be
 * opened or read (or is 2 GiB or larger). */
#define ZQK_LOCAL_FILE_UNREADABLE (-3)

/* Lists a device directory. The number of entries (0 for an empty
 * directory), or -1 on failure; the entries are read with zqkGetDirEntry.
 * A failure before anything is sent (device closed, device lock held
 * elsewhere, a refused path) keeps the previous listing; once the command
 * has gone out, -1 leaves no listing. A listing counts only when it ended as
 * the device ends one, with an empty line and its prompt: when the device
 * falls silent or goes away before that, the entries that came are not the
 * folder's, and the result is -1 (status TIMEOUT or GONE). A listing of more
 * than 100,000 lines or 16 MiB, or with more than 1000 lines before its
 * header, is -1. */
ZQK_API int32_t ZQK_CALL zqkDir(const char *Path);
/* Entry Index (0 to count - 1) of the last listing: its name through the
 * buffer-return convention, and, where the pointers are not NULL, its size,
 * attribute byte and first time stamp (Unix seconds of the device's local
 * time; a missing date reads as 2085805696). -1 when Index is out of range or
 * the line cannot be read; nothing is written then. The size, attributes and
 * time are stored even when the name does not fit. */
ZQK_API int32_t ZQK_CALL zqkGetDirEntry(int32_t Index, char *Name, int32_t Size, int32_t *SizeOut,
                                        int32_t *AttributesOut, int32_t *TimeOut);
/* Buffer-return of the attribute byte as text: "<DIR>" for a directory,
 * else the letters A (archive), R (read-only), H (hidden) that apply. */
ZQK_API int32_t ZQK_CALL zqkAttrToText(int32_t Attributes, char *Buffer, int32_t Size);
/* Buffer-return of a Unix time as "yyyy-mm-dd hh:nn:ss", with the user's
 * time separator in place of ":". */
ZQK_API int32_t ZQK_CALL zqkDateToText(int32_t Time, char *Buffer, int32_t Size);
/* Delete a file, remove a directory (with its contents), make a directory,
 * rename. 0 when the device answered "0:No error", -1 otherwise. */
ZQK_API int32_t ZQK_CALL zqkFileDelete(const char *Path);
ZQK_API int32_t ZQK_CALL zqkDirRemove(const char *Path);
ZQK_API int32_t ZQK_CALL zqkDirMake(const char *Path);
ZQK_API int32_t ZQK_CALL zqkRename(const char *OldName, const char *NewName);
/* Copies a local file to the device: the number of bytes written, 0 for an
 * empty local file (nothing is sent), -2 when the transfer failed,
 * ZQK_LOCAL_FILE_UNREADABLE when the local file cannot be read. Progress
 * goes to the callback of zqkSetCallback. */
ZQK_API int32_t ZQK_CALL zqkFileWrite(const char *LocalPath, const char *DevicePath);
/* Copies a device file to a local file: the number of bytes stored, -2 when
 * the transfer failed (the local file is untouched), -1 when the local file
 * cannot be written (an existing file keeps its old contents; no partial
 * file is left behind). */
ZQK_API int32_t ZQK_CALL zqkFileRead(const char *DevicePath, const char *LocalPath);
/* Sends a firmware image, named after the last part of LocalPath in lower
 * case: the number of bytes sent, 0 for an empty file, -2 when the transfer
 * failed, ZQK_LOCAL_FILE_UNREADABLE when the file cannot be read. */
ZQK_API int32_t ZQK_CALL zqkFirmwareUpdate(const char *LocalPath);

/* ---- Diagnostics ------------------------------------------------------- */

/* The platform error code captured at the last report read or write. */
ZQK_API int32_t ZQK_CALL zqkLastError(void);
/* Status word: 0x8000, plus 1 while a report read is outstanding. */
ZQK_API int32_t ZQK_CALL zqkDebug(void);
/* The version of the library: (major << 16) | (minor << 8) | patch, so 1.1.0
 * is 0x010100. A program can compare it with the ZQK_VERSION_ macros of the
 * header it was compiled with; a library of another major version is not
 * compatible with it. */
ZQK_API int32_t ZQK_CALL zqkVersion(void);

/* ==== Beyond the classic functions ======================================
 * Everything below was added after the 32 functions above, which keep their
 * behaviour exactly. */

/* ---- The reason for a failure ----------------------------------------- */

/* Every zqk function sets the calling thread's status, also on success: */
#define ZQK_STATUS_OK 0          /* done */
#define ZQK_STATUS_NO_DEVICE 1   /* nothing matches, or the path or serial number is not present */
#define ZQK_STATUS_NOT_OPEN 2    /* the device is not open */
#define ZQK_STATUS_ACCESS 3      /* the platform refused to open the device's node */
#define ZQK_STATUS_BUSY 4        /* the device lock was not had in time: another program or
                                    thread holds the device */
#define ZQK_STATUS_TIMEOUT 5     /* the device stayed silent */
#define ZQK_STATUS_GONE 6        /* the device went away, or a write to it failed */
#define ZQK_STATUS_REFUSED 7     /* the device answered with an error, or with more than the
                                    library takes */
#define ZQK_STATUS_LOCAL_FILE 8  /* a local file could not be read or written */
#define ZQK_STATUS_ARGUMENT 9    /* a null or out-of-range argument, a refused device name, or
                                    a handle that is closed or was never given */
#define ZQK_STATUS_IN_TRANSFER 10 /* called from a progress callback while a transfer holds the
                                     device */
#define ZQK_STATUS_BUFFER 11     /* the caller's buffer was too small (or NULL) for the text */

/* Which failure sets which status. Any function whose text did not fit the
 * buffer (or was given none) sets ZQK_STATUS_BUFFER, and any function of a
 * handle that is not open sets ZQK_STATUS_ARGUMENT. Besides those:
 *  - zqkOpen, zqkUsbPath, zqkOpenPath, zqkOpenSerial, zqkDevOpen: NO_DEVICE
 *    (nothing matches; no such path, serial number or HID interface), ACCESS
 *    (the platform refused to open the node; a sim: folder that cannot be
 *    used), ARGUMENT (a malformed sim: path, no path or serial given);
 *    zqkOpen, zqkUsbPath, zqkOpenPath, zqkOpenSerial, zqkClose: BUSY (another
 *    thread's conversation did not end in 1000 ms), IN_TRANSFER (called from a progress
 *    callback). zqkWaitForDevice: NO_DEVICE when the time is up, ARGUMENT (a
 *    malformed sim: path, at once); zqkFindDevices: NO_DEVICE when
 *    enumeration failed.
 *  - zqkPoll, zqkTermRx: TIMEOUT (nothing came), NOT_OPEN; zqkTermTx: GONE
 *    (a write failed; the device is closed then), NOT_OPEN, ARGUMENT (NULL
 *    Data). zqkUsbDetail: NOT_OPEN (the strings are empty), ARGUMENT (no
 *    such type). zqkSetVidPid, zqkGetVidPid: ARGUMENT (no such index).
 *  - zqkCommand, zqkEscape, zqkFlushPrompt, zqkIsPrompt: BUSY (the device
 *    lock was not had in 1000 ms, zqkFlushPrompt's in its Timeout),
 *    IN_TRANSFER (from a progress callback: nothing is sent or read),
 *    TIMEOUT (the device did not answer), NOT_OPEN, GONE;
 *    zqkCommand also REFUSED (its output passed 16 MiB without the prompt).
 *    zqkIsRunning...: NOT_OPEN.
 *  - zqkDir, zqkFileDelete, zqkDirRemove, zqkDirMake, zqkRename, and the
 *    transfers: REFUSED (the device answered with an error, whose text is
 *    in zqkStatusText), TIMEOUT, GONE, NOT_OPEN, BUSY, IN_TRANSFER, ARGUMENT
 *    (a refused device name); the transfers also LOCAL_FILE.
 *    zqkGetDirEntry: ARGUMENT (no such entry), REFUSED (a line that is no
 *    entry). zqkFoundDevice: ARGUMENT (no such entry or type). */

/* The status of the calling thread's last call of any other zqk function. */
ZQK_API int32_t ZQK_CALL zqkLastStatus(void);
/* Buffer-return of one line that says what failed in that call and why, in
 * words a user can act on, e.g.
 *   "cannot open /dev/hidraw3: Permission denied (install the udev rule
 *    70-zqkapi.rules, or run as root)"
 *   "the device refused NFTYPE for /logs/x.log: 2:File not found"
 * Empty after success. Neither function changes the status. */
ZQK_API int32_t ZQK_CALL zqkStatusText(char *Buffer, int32_t Size);

/* ---- Several devices ----------------------------------------------------
 *
 * Finding: zqkFindDevices lists the present devices that match the matching
 * values (zqkSetVidPid), without opening them; zqkFoundDevice reads the list.
 *
 * Devices are named by a path from zqkFoundDevice (or any other path of a
 * HID interface, a udev link to the node for instance: a name that holds a
 * "/" or a "\" is a path), a serial number, or "sim:DIR": the simulated
 * device, with its file system kept in folder DIR (created and seeded with a
 * small demo tree when missing). Options may
 * follow the folder: "sim:DIR?mode=bootloader&unquoted=1&pace=1000&serial=X"
 * (mode: app, bootloader or ate; unquoted=1: firmware without quoted names;
 * pace: one input report per that many microseconds each way, in real time;
 * 0, the default, or host: as fast as the library takes the reports, so that
 * no output is lost however long; serial: its serial number, default
 * "ZQK-0001"; password=TEXT: its terminal asks for that password, with a
 * prompt that contains "PASSWORD", until it is typed as a command line (up to
 * 64 printable ASCII characters); unplug=N: the device goes away once N
 * reports have crossed the bus; names=case: names that differ only in case
 * are different entries, where by default they name one entry, as on FAT). Names the host folder
 * cannot hold as they are ("/", "\", control bytes, characters Windows
 * refuses, a trailing dot or blank, a leading ".zqk-", which marks the
 * simulator's own files there) are kept there with those bytes, and "%", as
 * %XX. Programs that open one folder at once see each other's changes, as
 * with one real device.
 * A simulated device is never found by zqkFindDevices nor opened by zqkOpen.
 *
 * The classic functions above drive the process's default device. A handle
 * (zqkDevOpen) is a device of its own: its link, terminal, listing, prompt
 * and callback, exactly as the default device has them. Handles are never
 * reused in a process. A handle may be used from any thread; calls on one
 * handle are serialised as the default device's are, calls on different
 * handles run in parallel.
 *
 * Device locks. Each device has a lock of its own, shared by every program
 * and thread: conversations with one device never interleave, whoever runs
 * them, and conversations with different devices never wait for each other.
 * A thread that holds a device's lock is refused (ZQK_STATUS_BUSY) when it
 * calls into the same device through another handle, from a progress
 * callback say. On Linux the lock is one on the device's node, which only a
 * user who may read and write the node can take, and for a "sim:DIR" device
 * one on the file DIR/.zqk-lock; no user who may not use the device can
 * stop, slow or steer a program through it. On Windows it is a named mutex,
 * named after the classic device lock and the device's serial number (its
 * path where it has none), and the classic functions also take the classic
 * system-wide lock, outermost, so that programs built on the classic
 * library are still kept apart from them; what that lock does not exclude:
 * a program that knows only the system-wide lock does not wait for
 * conversations through handles (zqkDev...), which take only the device's
 * own lock; drive a device that such a program also uses through the
 * classic functions. No program of the classic library runs on Linux, and
 * there the system-wide lock is not taken. */

/* Progress of a transfer on a handle: (UserData, position, total) after each
 * block, (UserData, -1, -1) when the transfer ends. */
typedef void(ZQK_CALL *zqkDevProgressCallback)(intptr_t UserData, int32_t Position, int32_t Total);

/* Enumerates the present HID interfaces that match the matching values and
 * keeps the list for the calling thread: how many there are, 0 when none,
 * -1 when enumeration failed. */
ZQK_API int32_t ZQK_CALL zqkFindDevices(void);
/* Buffer-return of a field of entry Index of the calling thread's list:
 * Type -1 its path, 0 serial number, 1 manufacturer, 2 product. -1 when
 * Index is out of range or Type is none of these. */
ZQK_API int32_t ZQK_CALL zqkFoundDevice(int32_t Index, int32_t Type, char *Buffer, int32_t Size);
/* Open the default device on that path (or "sim:DIR"), or the first matching
 * device with that serial number, as zqkOpen does (the device opened before
 * is closed first): 1 when it is open afterwards, else 0. */
ZQK_API int32_t ZQK_CALL zqkOpenPath(const char *Path);
ZQK_API int32_t ZQK_CALL zqkOpenSerial(const char *Serial);
/* 1 as soon as the device that zqkDevOpen would open with that name (any
 * matching one for NULL or "") is present, 0 after Timeout ms (negative: no
 * limit). A "sim:" path is there at once when it is well-formed, and never
 * when it is not (0 at once). */
ZQK_API int32_t ZQK_CALL zqkWaitForDevice(const char *PathOrSerial, int32_t Timeout);

/* Opens a device of its own for the caller: a path, a serial number,
 * "sim:DIR", or NULL or "" for the first matching device. A handle above 0,
 * or 0 with the status saying why. */
ZQK_API int32_t ZQK_CALL zqkDevOpen(const char *PathOrSerial);
/* Closes the device and ends the handle: later calls with it fail with
 * ZQK_STATUS_ARGUMENT. 0, or -1 for a handle that is not open. */
ZQK_API int32_t ZQK_CALL zqkDevClose(int32_t Device);
/* The twins of the classic functions, on a handle: the same arguments
 * after it and the same results. A handle that is closed or was never given
 * gives the function's failure result (as for a closed device) with
 * ZQK_STATUS_ARGUMENT. zqkDevUsbPath returns the handle's path only (it
 * opens nothing). */
ZQK_API int32_t ZQK_CALL zqkDevIsOpen(int32_t Device);
ZQK_API int32_t ZQK_CALL zqkDevPoll(int32_t Device, int32_t Timeout);
ZQK_API int32_t ZQK_CALL zqkDevTermTx(int32_t Device, const char *Data, int32_t Count, int32_t Timeout);
ZQK_API int32_t ZQK_CALL zqkDevTermRx(int32_t Device, char *Buffer, int32_t Size, int32_t Timeout);
ZQK_API int32_t ZQK_CALL zqkDevUsbPath(int32_t Device, char *Buffer, int32_t Size);
ZQK_API int32_t ZQK_CALL zqkDevUsbDetail(int32_t Device, int32_t Type, char *Buffer, int32_t Size);
ZQK_API int32_t ZQK_CALL zqkDevLastError(int32_t Device);
/* Sets the handle's progress callback, which gets UserData first. Always 0
 * (-1 for a bad handle). */
ZQK_API int32_t ZQK_CALL zqkDevSetCallback(int32_t Device, zqkDevProgressCallback Callback, intptr_t UserData);
ZQK_API int32_t ZQK_CALL zqkDevCommand(int32_t Device, const char *Command, char *Buffer, int32_t Size,
                                       int32_t Timeout);
ZQK_API int32_t ZQK_CALL zqkDevEscape(int32_t Device);
ZQK_API int32_t ZQK_CALL zqkDevFlushPrompt(int32_t Device, char *Buffer, int32_t Size, int32_t Timeout);
ZQK_API int32_t ZQK_CALL zqkDevIsPrompt(int32_t Device, const char *Pattern);
ZQK_API int32_t ZQK_CALL zqkDevIsRunningBootloader(int32_t Device);
ZQK_API int32_t ZQK_CALL zqkDevIsRunningApp(int32_t Device);
ZQK_API int32_t ZQK_CALL zqkDevIsRunningATE(int32_t Device);
ZQK_API void ZQK_CALL zqkDevSetPrompt(int32_t Device, const char *Prompt);
ZQK_API int32_t ZQK_CALL zqkDevDir(int32_t Device, const char *Path);
ZQK_API int32_t ZQK_CALL zqkDevGetDirEntry(int32_t Device, int32_t Index, char *Name, int32_t Size,
                                           int32_t *SizeOut, int32_t *AttributesOut, int32_t *TimeOut);
ZQK_API int32_t ZQK_CALL zqkDevFileDelete(int32_t Device, const char *Path);
ZQK_API int32_t ZQK_CALL zqkDevDirRemove(int32_t Device, const char *Path);
ZQK_API int32_t ZQK_CALL zqkDevDirMake(int32_t Device, const char *Path);
ZQK_API int32_t ZQK_CALL zqkDevRename(int32_t Device, const char *OldName, const char *NewName);
ZQK_API int32_t ZQK_CALL zqkDevFileWrite(int32_t Device, const char *LocalPath, const char *DevicePath);
/* zqkDevFileWrite that gives the device file the time stamp UnixTime (Unix
 * seconds of the device's local time, as zqkGetDirEntry gives them: the 32
 * bits read as unsigned, so that dates after 2038 fit), so that a copy keeps
 * the local file's time. */
ZQK_API int32_t ZQK_CALL zqkDevFileWriteAt(int32_t Device, const char *LocalPath, const char *DevicePath,
                                           int32_t UnixTime);
ZQK_API int32_t ZQK_CALL zqkDevFileRead(int32_t Device, const char *DevicePath, const char *LocalPath);
ZQK_API int32_t ZQK_CALL zqkDevFirmwareUpdate(int32_t Device, const char *LocalPath);

/* ---- Transfers in memory -------------------------------------------------
 * For callers that have no local file to hand: the same transfers as
 * zqkDevFileRead and zqkDevFileWriteAt, with the same progress callbacks and
 * statuses, from and into the caller's memory. */

/* Reads device file DevicePath into Buffer: its byte count when it fits in
 * Size bytes. When Buffer is NULL or Size is smaller, nothing is written and
 * -(count + 1) is returned with ZQK_STATUS_BUFFER; the file stays with the
 * handle, so that the next call for the same path with room for it gets it
 * without a second transfer (any other call of this function gives it up).
 * -2 when the transfer failed, -1 for a negative Size (ZQK_STATUS_ARGUMENT);
 * tell these from a size by the status. */
ZQK_API int32_t ZQK_CALL zqkDevFileReadBuffer(int32_t Device, const char *DevicePath, char *Buffer, int32_t Size);
/* Writes Count bytes of Data to device file DevicePath, stamped UnixTime
 * (as zqkDevFileWriteAt takes it; 0: the device stamps it itself): the
 * number of bytes written, 0 for Count 0 (nothing is sent, as for an empty
 * local file), -2 when the transfer failed, -1 for a negative Count or NULL
 * Data with Count above 0 (ZQK_STATUS_ARGUMENT). */
ZQK_API int32_t ZQK_CALL zqkDevFileWriteBuffer(int32_t Device, const char *Data, int32_t Count,
                                               const char *DevicePath, int32_t UnixTime);

/* ---- The conversation, for a log ---------------------------------------- */

/* Each command line the library sends on a handle: (UserData, Line), Line
 * as it went to the device's terminal without its ending CR (the file
 * functions' commands start with the escape byte 0x1B that clears the
 * terminal's input first). Called on the sending thread while it holds the
 * device: it must not call the library for that device. */
typedef void(ZQK_CALL *zqkDevCommandLogCallback)(intptr_t UserData, const char *Line);
/* Sets the handle's command log (NULL: none), which gets UserData first.
 * Always 0 (-1 for a bad handle). */
ZQK_API int32_t ZQK_CALL zqkDevSetCommandLog(int32_t Device, zqkDevCommandLogCallback Callback, intptr_t UserData);

/* Writes every report that crosses the link of the handle, both ways, from
 * now on to a pcapng file at Path (made anew; link type LINKTYPE_USER0, 147,
 * one packet per 64-byte report with its time and direction; the device's
 * path and serial number name the interface; opening, closing and the
 * device going away are empty packets with a comment). NULL or "" stops the
 * trace. 0, or -1 with a status: ZQK_STATUS_LOCAL_FILE when the file cannot
 * be made (no trace then runs), or when the trace before could not be
 * written whole, because its file took no more (that trace ends there; what
 * was asked is done all the same); ZQK_STATUS_ARGUMENT for a bad handle. A trace never disturbs the
 * conversation. */
ZQK_API int32_t ZQK_CALL zqkDevSetTrace(int32_t Device, const char *Path);
/* The same for the classic functions' device. */
ZQK_API int32_t ZQK_CALL zqkSetTrace(const char *Path);

/* ---- Devices arriving and leaving ----------------------------------------
 *
 * A callback for each matching device (zqkSetVidPid, the rule of
 * zqkFindDevices) that arrives or leaves: (UserData, Arrived 1 or 0, Path as
 * zqkFoundDevice gives it, Serial, "" when the device has none). Once a
 * callback is set, every device present is reported as arrived, then each
 * arrival and removal in the order they happen, each exactly once per path.
 * The callback runs on a thread of the library's own, never while a device
 * lock is held; it may call any export, zqkDevOpen of the device that just
 * arrived or zqkSetDeviceCallback itself included. Path and Serial are valid
 * until the callback returns. A simulated "sim:" device is never reported. */
typedef void(ZQK_CALL *zqkDeviceCallback)(intptr_t UserData, int32_t Arrived, const char *Path,
                                          const char *Serial);
/* Starts watching with Callback, which gets UserData first; NULL stops it.
 * The library's thread runs only while a callback is set (no other function
 * starts a thread). A new callback while one is set replaces it: the watch
 * starts anew, and the new callback is told of every present device first.
 * After the call returns, the callback given before is not called any more
 * (called from inside that callback: once it returns). The matching values
 * are read when watching starts. 0, or -1 with a status: NO_DEVICE when the
 * platform cannot watch for devices (nothing is watched then). */
ZQK_API int32_t ZQK_CALL zqkSetDeviceCallback(zqkDeviceCallback Callback, intptr_t UserData);

#ifdef __cplusplus
}
#endif

#endif /* ZQKAPI_H */
