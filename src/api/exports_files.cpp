// File-system exports: listing, make, remove, delete, rename, transfers and
// firmware load.
#include "api/buffer_return.h"
#include "api/device_lock_pattern.h"
#include "api/export_guard.h"
#include "api/time_separator.h"
#include "files/date_time.h"
#include "files/dir_entry.h"
#include "files/local_file.h"
#include "zqkAPI.h"

using zqk::BufferReturn;
using zqk::Guarded;
using zqk::Library;
using zqk::TextArg;

namespace {

constexpr int32_t kTransferFailed = -2;

int32_t ZeroOrFailure(bool Done)
{
    return Done ? 0 : -1;
}

}  // namespace

extern "C" {

ZQK_API int32_t ZQK_CALL zqkDir(const char* Path)
{
    return Guarded<int32_t>(-1, [=](Library& lib) {
        return zqk::WithDeviceLock<int32_t>(lib, -1, [&] {
            // The new listing goes into a list of its own: readers of entries
            // on other threads keep the last one until it is complete, and
            // a listing that fails before its command went out keeps it.
            std::vector<std::string> lines;
            bool sent = false;
            const bool listed = lib.Files.Dir(TextArg(Path), lines, &sent);
            if (!listed)
                lines.clear();  // once the command went out, a failure leaves no listing
            const auto count = static_cast<int32_t>(lines.size());
            if (sent)
                lib.DirLines.Replace(std::move(lines));
            return listed ? count : -1;
        });
    });
}

ZQK_API int32_t ZQK_CALL zqkGetDirEntry(int32_t Index, char* Name, int32_t Size, int32_t* SizeOut,
                                        int32_t* AttributesOut, int32_t* TimeOut)
{
    return Guarded<int32_t>(-1, [=](Library& lib) {
        const std::optional<std::string> line = lib.DirLines.Line(Index);
        zqk::DirEntry entry;
        if (!line || !zqk::ParseDirLine(*line, entry))
            return -1;
        const int32_t result = BufferReturn(entry.Name, Name, Size);
        if (SizeOut)
            *SizeOut = entry.Size;
        if (AttributesOut)
            *AttributesOut = entry.Attributes;
        if (TimeOut)
            *TimeOut = static_cast<int32_t>(static_cast<uint32_t>(zqk::DateTimeToUnix(entry.Time1)));
        return result;
    });
}

ZQK_API int32_t ZQK_CALL zqkAttrToText(int32_t Attributes, char* Buffer, int32_t Size)
{
    return Guarded<int32_t>(-1, [=](Library&) {
        std::string text;
        zqk::AttrToText(static_cast<uint8_t>(Attributes & 0xFF), text);
        return BufferReturn(text, Buffer, Size);
    });
}

ZQK_API int32_t ZQK_CALL zqkDateToText(int32_t Time, char* Buffer, int32_t Size)
{
    return Guarded<int32_t>(-1, [=](Library&) {
        const double value = zqk::UnixToDateTime(static_cast<int64_t>(Time));
        return BufferReturn(zqk::FormatDateTime(value, zqk::UserTimeSeparator()), Buffer, Size);
    });
}

ZQK_API int32_t ZQK_CALL zqkFileDelete(const char* Path)
{
    return Guarded<int32_t>(-1, [=](Library& lib) {
        return zqk::WithDeviceLock<int32_t>(lib, -1, [&] { return ZeroOrFailure(lib.Files.FileDelete(TextArg(Path))); });
    });
}

ZQK_API int32_t ZQK_CALL zqkDirRemove(const char* Path)
{
    return Guarded<int32_t>(-1, [=](Library& lib) {
        return zqk::WithDeviceLock<int32_t>(lib, -1, [&] { return ZeroOrFailure(lib.Files.DirRemove(TextArg(Path))); });
    });
}

ZQK_API int32_t ZQK_CALL zqkDirMake(const char* Path)
{
    return Guarded<int32_t>(-1, [=](Library& lib) {
        return zqk::WithDeviceLock<int32_t>(lib, -1, [&] { return ZeroOrFailure(lib.Files.DirMake(TextArg(Path))); });
    });
}

ZQK_API int32_t ZQK_CALL zqkRename(const char* OldName, const char* NewName)
{
    return Guarded<int32_t>(-1, [=](Library& lib) {
        return zqk::WithDeviceLock<int32_t>(
            lib, -1, [&] { return ZeroOrFailure(lib.Files.Rename(TextArg(OldName), TextArg(NewName))); });
    });
}

ZQK_API int32_t ZQK_CALL zqkFileWrite(const char* LocalPath, const char* DevicePath)
{
    return Guarded<int32_t>(kTransferFailed, [=](Library& lib) {
        std::string contents;
        if (!zqk::ReadLocalFile(TextArg(LocalPath), contents))
            return ZQK_LOCAL_FILE_UNREADABLE;
        if (contents.empty())
            return 0;
        if (!lib.Files.FileWrite(TextArg(DevicePath), contents))
            return kTransferFailed;
        return static_cast<int32_t>(contents.size());
    });
}

ZQK_API int32_t ZQK_CALL zqkFileRead(const char* DevicePath, const char* LocalPath)
{
    return Guarded<int32_t>(kTransferFailed, [=](Library& lib) {
        std::string contents;
        if (!lib.Files.FileRead(TextArg(DevicePath), contents))
            return kTransferFailed;
        if (!zqk::ReplaceLocalFile(TextArg(LocalPath), contents))
            return -1;
        return static_cast<int32_t>(contents.size());
    });
}

ZQK_API int32_t ZQK_CALL zqkFirmwareUpdate(const char* LocalPath)
{
    return Guarded<int32_t>(kTransferFailed, [=](Library& lib) {
        std::string image;
        const std::string path = TextArg(LocalPath);
        if (!zqk::ReadLocalFile(path, image))
            return ZQK_LOCAL_FILE_UNREADABLE;
        if (image.empty())
            return 0;
        if (!lib.Files.LoadFirmware(zqk::FirmwareImageName(path), image))
            return kTransferFailed;
        return static_cast<int32_t>(image.size());
    });
}

}  // extern "C"
