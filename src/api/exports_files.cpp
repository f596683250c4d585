// File-system exports: listing, make, remove, delete, rename, transfers and
// firmware load, for the classic functions' device and for handles.
#include "api/export_names.h"
#include "api/time_separator.h"
#include "files/date_time.h"
#include "files/dir_entry.h"
#include "files/local_file.h"
#include "zqkAPI.h"

namespace {

constexpr int32_t kTransferFailed = -2;

int32_t ZeroOrFailure(bool Done)
{
    return Done ? 0 : -1;
}

int32_t DirOn(TzqkDevice& Dev, const char* Path)
{
    return zqk::WithDeviceLock<int32_t>(Dev, -1, [&] {
        // The new listing goes into a list of its own: readers of entries
        // on other threads keep the last one until it is complete, and
        // a listing that fails before its command went out keeps it.
        std::vector<std::string> lines;
        bool sent = false;
        const bool listed = Dev.Files.Dir(TextArg(Path), lines, &sent);
        if (!listed)
            lines.clear();  // once the command went out, a failure leaves no listing
        const auto count = static_cast<int32_t>(lines.size());
        if (sent)
            Dev.DirLines.Replace(std::move(lines));
        return listed ? count : -1;
    });
}

int32_t GetDirEntryOn(TzqkDevice& Dev, int32_t Index, char* Name, int32_t Size, int32_t* SizeOut,
                      int32_t* AttributesOut, int32_t* TimeOut)
{
    const std::optional<std::string> line = Dev.DirLines.Line(Index);
    if (!line) {
        NoteFailure(Failure::Argument, "the last listing has no entry " + std::to_string(Index));
        return -1;
    }
    zqk::DirEntry entry;
    if (!zqk::ParseDirLine(*line, entry)) {
        NoteFailure(Failure::Refused, "the device's listing line " + std::to_string(Index) + " cannot be read");
        return -1;
    }
    const int32_t result = ReturnText(entry.Name, Name, Size);
    if (SizeOut)
        *SizeOut = entry.Size;
    if (AttributesOut)
        *AttributesOut = entry.Attributes;
    if (TimeOut)
        *TimeOut = static_cast<int32_t>(static_cast<uint32_t>(zqk::DateTimeToUnix(entry.Time1)));
    return result;
}

template <typename Change>
int32_t ChangeOn(TzqkDevice& Dev, Change&& Run)
{
    return zqk::WithDeviceLock<int32_t>(Dev, -1, [&] { return ZeroOrFailure(Run(Dev.Files)); });
}

int32_t FileDeleteOn(TzqkDevice& Dev, const char* Path)
{
    return ChangeOn(Dev, [&](zqk::TzqkFiles& files) { return files.FileDelete(TextArg(Path)); });
}

int32_t DirRemoveOn(TzqkDevice& Dev, const char* Path)
{
    return ChangeOn(Dev, [&](zqk::TzqkFiles& files) { return files.DirRemove(TextArg(Path)); });
}

int32_t DirMakeOn(TzqkDevice& Dev, const char* Path)
{
    return ChangeOn(Dev, [&](zqk::TzqkFiles& files) { return files.DirMake(TextArg(Path)); });
}

int32_t RenameOn(TzqkDevice& Dev, const char* OldName, const char* NewName)
{
    return ChangeOn(Dev, [&](zqk::TzqkFiles& files) { return files.Rename(TextArg(OldName), TextArg(NewName)); });
}

int32_t FileWriteOn(TzqkDevice& Dev, const char* LocalPath, const char* DevicePath, std::optional<double> Time)
{
    std::string contents;
    if (!zqk::ReadLocalFile(TextArg(LocalPath), contents))
        return ZQK_LOCAL_FILE_UNREADABLE;
    if (contents.empty())
        return 0;
    if (!Dev.Files.FileWrite(TextArg(DevicePath), contents, Time))
        return kTransferFailed;
    return static_cast<int32_t>(contents.size());
}

int32_t FileReadOn(TzqkDevice& Dev, const char* DevicePath, const char* LocalPath)
{
    std::string contents;
    if (!Dev.Files.FileRead(TextArg(DevicePath), contents))
        return kTransferFailed;
    if (!zqk::ReplaceLocalFile(TextArg(LocalPath), contents))
        return -1;
    return static_cast<int32_t>(contents.size());
}

// The file goes into the caller's buffer when it fits; otherwise the caller
// learns its size, as the buffer-return convention does for text, and the
// library keeps it for the call that brings room for it.
int32_t FileReadBufferOn(TzqkDevice& Dev, const char* DevicePath, char* Buffer, int32_t Size)
{
    if (Size < 0) {
        NoteFailure(Failure::Argument, "the buffer's size " + std::to_string(Size) + " is negative");
        return -1;
    }
    const std::string path = TextArg(DevicePath);
    std::optional<std::string> contents = Dev.LastRead.Take(path);
    if (!contents) {
        contents.emplace();
        if (!Dev.Files.FileRead(path, *contents))
            return kTransferFailed;
    }
    const auto count = static_cast<int32_t>(contents->size());  // a device file's size is 32-bit
    if (Buffer == nullptr || Size < count) {
        NoteFailure(Failure::Buffer, "the buffer of " + std::to_string(Buffer ? Size : 0) + " bytes is too small for the " +
                                         std::to_string(count) + " bytes of " + path +
                                         "; they are kept for the next call");
        Dev.LastRead.Keep(path, std::move(*contents));
        return -count - 1;
    }
    std::copy(contents->begin(), contents->end(), Buffer);
    return count;
}

int32_t FileWriteBufferOn(TzqkDevice& Dev, const char* Data, int32_t Count, const char* DevicePath, int32_t UnixTime)
{
    if (Count < 0 || (Data == nullptr && Count > 0)) {
        NoteFailure(Failure::Argument, Count < 0 ? "the byte count " + std::to_string(Count) + " is negative"
                                                 : std::string("no data for ") + std::to_string(Count) + " bytes");
        return -1;
    }
    if (Count == 0)
        return 0;  // the protocol sends no empty file
    std::optional<double> time;
    if (UnixTime != 0)  // the 32 bits unsigned, as zqkDevFileWriteAt reads them
        time = zqk::UnixToDateTime(static_cast<int64_t>(static_cast<uint32_t>(UnixTime)));
    if (!Dev.Files.FileWrite(TextArg(DevicePath), std::string(Data, static_cast<size_t>(Count)), time))
        return kTransferFailed;
    return Count;
}

int32_t FirmwareUpdateOn(TzqkDevice& Dev, const char* LocalPath)
{
    std::string image;
    const std::string path = TextArg(LocalPath);
    if (!zqk::ReadLocalFile(path, image))
        return ZQK_LOCAL_FILE_UNREADABLE;
    if (image.empty())
        return 0;
    if (!Dev.Files.LoadFirmware(zqk::FirmwareImageName(path), image))
        return kTransferFailed;
    return static_cast<int32_t>(image.size());
}

}  // namespace

extern "C" {

ZQK_API int32_t ZQK_CALL zqkDir(const char* Path)
{
    return OnDefault<int32_t>(-1, [=](TzqkDevice& dev) { return DirOn(dev, Path); });
}

ZQK_API int32_t ZQK_CALL zqkGetDirEntry(int32_t Index, char* Name, int32_t Size, int32_t* SizeOut,
                                        int32_t* AttributesOut, int32_t* TimeOut)
{
    return OnDefault<int32_t>(-1, [=](TzqkDevice& dev) {
        return GetDirEntryOn(dev, Index, Name, Size, SizeOut, AttributesOut, TimeOut);
    });
}

ZQK_API int32_t ZQK_CALL zqkAttrToText(int32_t Attributes, char* Buffer, int32_t Size)
{
    return zqk::Guarded<int32_t>(-1, [=](Library&) {
        std::string text;
        zqk::AttrToText(static_cast<uint8_t>(Attributes & 0xFF), text);
        return ReturnText(text, Buffer, Size);
    });
}

ZQK_API int32_t ZQK_CALL zqkDateToText(int32_t Time, char* Buffer, int32_t Size)
{
    return zqk::Guarded<int32_t>(-1, [=](Library&) {
        const double value = zqk::UnixToDateTime(static_cast<int64_t>(Time));
        return ReturnText(zqk::FormatDateTime(value, zqk::UserTimeSeparator()), Buffer, Size);
    });
}

ZQK_API int32_t ZQK_CALL zqkFileDelete(const char* Path)
{
    return OnDefault<int32_t>(-1, [=](TzqkDevice& dev) { return FileDeleteOn(dev, Path); });
}

ZQK_API int32_t ZQK_CALL zqkDirRemove(const char* Path)
{
    return OnDefault<int32_t>(-1, [=](TzqkDevice& dev) { return DirRemoveOn(dev, Path); });
}

ZQK_API int32_t ZQK_CALL zqkDirMake(const char* Path)
{
    return OnDefault<int32_t>(-1, [=](TzqkDevice& dev) { return DirMakeOn(dev, Path); });
}

ZQK_API int32_t ZQK_CALL zqkRename(const char* OldName, const char* NewName)
{
    return OnDefault<int32_t>(-1, [=](TzqkDevice& dev) { return RenameOn(dev, OldName, NewName); });
}

ZQK_API int32_t ZQK_CALL zqkFileWrite(const char* LocalPath, const char* DevicePath)
{
    return OnDefault<int32_t>(kTransferFailed,
                              [=](TzqkDevice& dev) { return FileWriteOn(dev, LocalPath, DevicePath, std::nullopt); });
}

ZQK_API int32_t ZQK_CALL zqkFileRead(const char* DevicePath, const char* LocalPath)
{
    return OnDefault<int32_t>(kTransferFailed, [=](TzqkDevice& dev) { return FileReadOn(dev, DevicePath, LocalPath); });
}

ZQK_API int32_t ZQK_CALL zqkFirmwareUpdate(const char* LocalPath)
{
    return OnDefault<int32_t>(kTransferFailed, [=](TzqkDevice& dev) { return FirmwareUpdateOn(dev, LocalPath); });
}

ZQK_API int32_t ZQK_CALL zqkDevDir(int32_t Device, const char* Path)
{
    return OnHandle<int32_t>(Device, -1, [=](TzqkDevice& dev) { return DirOn(dev, Path); });
}

ZQK_API int32_t ZQK_CALL zqkDevGetDirEntry(int32_t Device, int32_t Index, char* Name, int32_t Size,
                                           int32_t* SizeOut, int32_t* AttributesOut, int32_t* TimeOut)
{
    return OnHandle<int32_t>(Device, -1, [=](TzqkDevice& dev) {
        return GetDirEntryOn(dev, Index, Name, Size, SizeOut, AttributesOut, TimeOut);
    });
}

ZQK_API int32_t ZQK_CALL zqkDevFileDelete(int32_t Device, const char* Path)
{
    return OnHandle<int32_t>(Device, -1, [=](TzqkDevice& dev) { return FileDeleteOn(dev, Path); });
}

ZQK_API int32_t ZQK_CALL zqkDevDirRemove(int32_t Device, const char* Path)
{
    return OnHandle<int32_t>(Device, -1, [=](TzqkDevice& dev) { return DirRemoveOn(dev, Path); });
}

ZQK_API int32_t ZQK_CALL zqkDevDirMake(int32_t Device, const char* Path)
{
    return OnHandle<int32_t>(Device, -1, [=](TzqkDevice& dev) { return DirMakeOn(dev, Path); });
}

ZQK_API int32_t ZQK_CALL zqkDevRename(int32_t Device, const char* OldName, const char* NewName)
{
    return OnHandle<int32_t>(Device, -1, [=](TzqkDevice& dev) { return RenameOn(dev, OldName, NewName); });
}

ZQK_API int32_t ZQK_CALL zqkDevFileWrite(int32_t Device, const char* LocalPath, const char* DevicePath)
{
    return OnHandle<int32_t>(Device, kTransferFailed,
                             [=](TzqkDevice& dev) { return FileWriteOn(dev, LocalPath, DevicePath, std::nullopt); });
}

ZQK_API int32_t ZQK_CALL zqkDevFileWriteAt(int32_t Device, const char* LocalPath, const char* DevicePath,
                                           int32_t UnixTime)
{
    return OnHandle<int32_t>(Device, kTransferFailed, [=](TzqkDevice& dev) {
        // The 32 bits of the time as zqkGetDirEntry gives them: unsigned, so
        // that the device's dates after 2038 can be set too.
        const auto seconds = static_cast<int64_t>(static_cast<uint32_t>(UnixTime));
        return FileWriteOn(dev, LocalPath, DevicePath, zqk::UnixToDateTime(seconds));
    });
}

ZQK_API int32_t ZQK_CALL zqkDevFileRead(int32_t Device, const char* DevicePath, const char* LocalPath)
{
    return OnHandle<int32_t>(Device, kTransferFailed,
                             [=](TzqkDevice& dev) { return FileReadOn(dev, DevicePath, LocalPath); });
}

ZQK_API int32_t ZQK_CALL zqkDevFirmwareUpdate(int32_t Device, const char* LocalPath)
{
    return OnHandle<int32_t>(Device, kTransferFailed, [=](TzqkDevice& dev) { return FirmwareUpdateOn(dev, LocalPath); });
}

ZQK_API int32_t ZQK_CALL zqkDevFileReadBuffer(int32_t Device, const char* DevicePath, char* Buffer, int32_t Size)
{
    return OnHandle<int32_t>(Device, kTransferFailed,
                             [=](TzqkDevice& dev) { return FileReadBufferOn(dev, DevicePath, Buffer, Size); });
}

ZQK_API int32_t ZQK_CALL zqkDevFileWriteBuffer(int32_t Device, const char* Data, int32_t Count, const char* DevicePath,
                                               int32_t UnixTime)
{
    return OnHandle<int32_t>(Device, kTransferFailed, [=](TzqkDevice& dev) {
        return FileWriteBufferOn(dev, Data, Count, DevicePath, UnixTime);
    });
}

}  // extern "C"
