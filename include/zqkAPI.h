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
 * 1 when the device is open afterwards, 0 otherwise. */
ZQK_API int32_t ZQK_CALL zqkOpen(void);
/* Closes the device. Always 0. */
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
 * buffer-return convention, or -1 when no device could be opened. */
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
 * has gone out, -1 leaves no listing, and entries that end early (the device
 * fell silent or went away) are the listing. A listing of more than 100,000
 * lines or 16 MiB, or with more than 1000 lines before its header, is -1. */
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

#ifdef __cplusplus
}
#endif

#endif /* ZQKAPI_H */
