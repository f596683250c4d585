// The file system that the mount shows: the operations FUSE calls. The
// sending of changes and the checks before a change are in
// mount_files_changes.cpp.
#include "mount_files.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <thread>
#include <utility>

namespace zqktool::mounting {

int MountedFiles::GetAttr(std::string Path, uint64_t Handle, struct stat& Out)
{
    if (const std::shared_ptr<OpenFile> file = FileOf(Path, Handle)) {
        Out = FileStat(file->Size(), file->mtime, file->readOnly);
        return 0;
    }
    if (Path == "/") {
        Out = DirStat(mounted_, false);
        return 0;
    }
    Entry found;
    if (const int failed = device_.Lookup(Path, found))
        return failed;
    Out = StatOf(found);
    return 0;
}

int MountedFiles::OpenDir(const std::string& Path, uint64_t& Handle)
{
    const DeviceFiles::Folder* folder = nullptr;
    if (const int failed = device_.List(Path, folder))
        return failed;
    Handle = ++lastHandle_;
    dirs_[Handle] = Path;
    return 0;
}

int MountedFiles::ReadDir(uint64_t Handle, void* Buffer, fuse_fill_dir_t Fill)
{
    const std::string& Path = dirs_.at(Handle);
    const DeviceFiles::Folder* folder = nullptr;
    if (const int failed = device_.List(Path, folder))
        return failed;
    const struct stat dir = DirStat(mounted_, false);
    Fill(Buffer, ".", &dir, 0, fuse_fill_dir_flags {});
    Fill(Buffer, "..", &dir, 0, fuse_fill_dir_flags {});
    for (const auto& [key, entry] : folder->entries) {
        const struct stat st = StatOf(entry);
        Fill(Buffer, entry.name.c_str(), &st, 0, fuse_fill_dir_flags {});
    }
    // Files made here that the device does not have yet.
    const std::string dirKey = Key(Path);
    for (const auto& [key, file] : byPath_) {
        if (!file->onDevice && ParentOf(key) == dirKey && !folder->entries.count(LeafOf(key))) {
            const struct stat st = FileStat(file->Size(), file->mtime, false);
            Fill(Buffer, LeafOf(file->path).c_str(), &st, 0, fuse_fill_dir_flags {});
        }
    }
    return 0;
}

int MountedFiles::Open(const std::string& Path, int Flags, uint64_t& Handle)
{
    std::shared_ptr<OpenFile> file = OpenAt(Path);
    if (!file) {
        Entry found;
        if (const int failed = device_.Lookup(Path, found))
            return failed;
        if (found.IsDir())
            return -EISDIR;
        file = std::make_shared<OpenFile>(OpenFile::Of(Path, found));
    }
    const bool writing = (Flags & O_ACCMODE) != O_RDONLY;
    if (writing && file->readOnly)
        return -EACCES;  // the device's read-only attribute
    if (writing && (Flags & O_TRUNC))
        if (const int failed = Resize(*file, 0))
            return failed;
    Handle = Register(file, Flags);
    return 0;
}

int MountedFiles::Create(const std::string& Path, int Flags, uint64_t& Handle)
{
    if (OpenAt(Path))
        return Open(Path, Flags, Handle);
    Entry found;
    const int missing = device_.Lookup(Path, found);
    if (missing == 0)
        return Open(Path, Flags, Handle);
    if (missing != -ENOENT)
        return missing;
    if (const int refused = RefuseNewName(Path))
        return refused;
    if (const int refused = RefuseUnreadFolder(Path))
        return refused;
    auto file = std::make_shared<OpenFile>();
    if (const int failed = device_.NewContents(file->data))
        return failed;
    file->path = Path;
    file->loaded = true;
    file->dirty = true;
    file->mtime = KeptTime(time(nullptr));
    Handle = Register(file, Flags);
    return 0;
}

int MountedFiles::Read(uint64_t Handle, char* Buffer, size_t Size, off_t Offset)
{
    OpenFile& file = *handles_.at(Handle).file;
    if (const int failed = Load(file))
        return failed;
    return file.data.Read(Buffer, Size, Offset);
}

int MountedFiles::Write(uint64_t Handle, const char* Buffer, size_t Size, off_t Offset)
{
    OpenFile& file = *handles_.at(Handle).file;
    if (Offset < 0 || static_cast<uint64_t>(Offset) + Size > kMaxFileSize)
        return -EFBIG;
    if (const int failed = Load(file))
        return failed;
    if (const int failed = file.data.Write(Buffer, Size, Offset))
        return failed;
    Touch(file);
    return static_cast<int>(Size);
}

int MountedFiles::Truncate(std::string Path, uint64_t Handle, off_t Size)
{
    if (Size < 0 || Size > kMaxFileSize)
        return -EFBIG;
    if (const std::shared_ptr<OpenFile> file = FileOf(Path, Handle))
        return file->readOnly ? -EACCES : Resize(*file, Size);
    // A path cut while it is not open: fetched, cut and sent at once.
    Entry found;
    if (const int failed = device_.Lookup(Path, found))
        return failed;
    if (found.IsDir())
        return -EISDIR;
    if (found.ReadOnly())
        return -EACCES;
    if (found.size == Size)
        return 0;
    OpenFile file = OpenFile::Of(Path, found);
    if (const int failed = Resize(file, Size))
        return failed;
    return SendAndKeep(file);
}

int MountedFiles::SetTime(std::string Path, uint64_t Handle, const timespec& Modified)
{
    if (Modified.tv_nsec == UTIME_OMIT)
        return 0;
    const time_t mtime = KeptTime(Modified.tv_nsec == UTIME_NOW ? time(nullptr) : Modified.tv_sec);
    if (const std::shared_ptr<OpenFile> file = FileOf(Path, Handle)) {
        if (file->readOnly)
            return -EACCES;
        file->dirty = file->dirty || !SameDeviceTime(DeviceTime(mtime), file->deviceTime);
        file->mtime = mtime;
        return 0;  // sent with the contents when the file is closed
    }
    if (Path == "/")
        return 0;
    Entry found;
    if (const int failed = device_.Lookup(Path, found))
        return failed;
    // The device has no command that sets a folder's time: accepted, not kept.
    if (found.IsDir() || SameDeviceTime(DeviceTime(mtime), found.time))
        return 0;
    if (found.ReadOnly())
        return -EACCES;
    OpenFile file = OpenFile::Of(Path, found);
    file.mtime = mtime;
    file.dirty = true;
    return SendAndKeep(file);
}

int MountedFiles::Flush(uint64_t Handle)
{
    OpenFile& file = *handles_.at(Handle).file;
    const int failed = SendWaiting(file, kCloseWait);
    if (failed != -EOPNOTSUPP)
        Report(file, failed);
    return failed;
}

void MountedFiles::Release(uint64_t Handle)
{
    cache_.DropRetired();  // a close does not wait for its release
    const OpenHandle closed = handles_.at(Handle);
    handles_.erase(Handle);
    const std::shared_ptr<OpenFile>& file = closed.file;
    file->writersAlone -= closed.writerAlone;
    if (--file->handles > 0)
        return;
    if (Unsent(*file))
        SendOrKeep(*file);
    if (!Unsent(*file))
        Close(file);
}

int MountedFiles::Unlink(const std::string& Path)
{
    Entry found;
    const int missing = device_.Lookup(Path, found);
    if (missing && missing != -ENOENT)
        return missing;
    const std::shared_ptr<OpenFile> file = OpenAt(Path);
    if (missing && !(file && !file->onDevice))
        return missing;
    if (!missing && found.IsDir())
        return -EISDIR;
    if (!missing)
        if (const int failed = DeleteKeepingReaders(Path))
            return failed;
    Forget(Path);
    return 0;
}

int MountedFiles::MakeDir(const std::string& Path)
{
    if (const int refused = RefuseNewName(Path))
        return refused;
    return device_.MakeDir(Path);
}

int MountedFiles::RemoveDir(const std::string& Path)
{
    if (const int failed = RefuseFullDir(Path))
        return failed;
    cache_.EraseTree(Path);
    return device_.RemoveDir(Path);
}

int MountedFiles::Rename(const std::string& From, const std::string& To, unsigned int Flags)
{
    if (Flags & RENAME_EXCHANGE)
        return -EINVAL;
    // Two names with one key are one entry to the device: a rename
    // between them renames it onto itself, which changes nothing.
    if (Key(From) == Key(To))
        return 0;
    // A file still being written is sent under its old name first.
    const std::shared_ptr<OpenFile> open = OpenAt(From);
    if (open && open->dirty && open->Size() > 0)
        if (const int failed = Send(*open))
            return failed;
    Entry source, target;
    const int sourceMissing = device_.Lookup(From, source);
    if (sourceMissing && (sourceMissing != -ENOENT || !open))
        return sourceMissing;
    const int targetMissing = device_.Lookup(To, target);
    if (targetMissing && targetMissing != -ENOENT)
        return targetMissing;
    if (targetMissing && !OpenAt(To))
        if (const int refused = RefuseNewName(To))
            return refused;
    if (const int failed =
            ClearTarget(To, targetMissing ? nullptr : &target, !sourceMissing && source.IsDir(), Flags))
        return failed;
    if (!sourceMissing)
        if (const int failed = device_.Rename(From, To))
            return failed;
    MoveOpenFiles(From, To);
    cache_.EraseTree(From);
    return 0;
}

int MountedFiles::Accept(const std::string& Path, uint64_t Handle)
{
    struct stat ignored {};
    return GetAttr(Path, Handle, ignored);
}

int MountedFiles::StatFs(struct statvfs& Out)
{
    constexpr uint64_t kBlock = 4096;
    Out = {};
    Out.f_bsize = Out.f_frsize = kBlock;
    Out.f_namemax = NAME_MAX;
    if (capacity_ == 0)
        return 0;
    uint64_t used = 0;
    if (const int failed = BytesBelow("/", used))
        return failed;
    Out.f_blocks = capacity_ / kBlock;
    Out.f_bfree = Out.f_bavail = Out.f_blocks - std::min<uint64_t>(Out.f_blocks, (used + kBlock - 1) / kBlock);
    return 0;
}

int MountedFiles::BytesBelow(const std::string& Dir, uint64_t& Bytes)
{
    const DeviceFiles::Folder* folder = nullptr;
    if (const int failed = device_.List(Dir, folder))
        return failed;
    // Listing a folder below may read this one again: its names go first.
    std::vector<std::string> below;
    for (const auto& [key, entry] : folder->entries)
        if (entry.IsDir())
            below.push_back(Dir + (Dir == "/" ? "" : "/") + entry.name);
        else
            Bytes += static_cast<uint64_t>(std::max<int32_t>(entry.size, 0));
    for (const std::string& path : below)
        if (const int failed = BytesBelow(path, Bytes))
            return failed;
    return 0;
}

void MountedFiles::SendAll()
{
    const auto deadline = std::chrono::steady_clock::now() + kUnmountWait;
    bool told = false;
    while (SendRound(UnsentFiles(false)) == -EBUSY && std::chrono::steady_clock::now() < deadline) {
        if (!std::exchange(told, true))
            Say("unmounted; waiting up to " + std::to_string(kUnmountWait.count()) +
                " s for the device, which another program holds, to take what is not sent yet");
        std::this_thread::sleep_for(kBusyPause);
    }
    for (const std::shared_ptr<OpenFile>& file : UnsentFiles(false))
        KeepLocally(*file);
}

std::shared_ptr<OpenFile> MountedFiles::OpenAt(const std::string& Path) const
{
    const auto known = byPath_.find(Key(Path));
    return known == byPath_.end() ? nullptr : known->second;
}

std::shared_ptr<OpenFile> MountedFiles::FileOf(std::string& Path, uint64_t Handle) const
{
    if (const auto file = handles_.find(Handle); file != handles_.end())
        return file->second.file;
    if (const auto dir = dirs_.find(Handle); dir != dirs_.end()) {
        Path = dir->second;
        return nullptr;
    }
    return OpenAt(Path);
}

uint64_t MountedFiles::Register(const std::shared_ptr<OpenFile>& File, int Flags)
{
    const bool writerAlone = (Flags & O_ACCMODE) == O_WRONLY && File->handles == 0;
    byPath_[Key(File->path)] = File;
    handles_.emplace(lastHandle_ + 1, OpenHandle {File, writerAlone || File->writersAlone > 0, writerAlone});
    // Counted once the handle is kept: a handle that failed is never released.
    File->writersAlone += writerAlone;
    ++File->handles;
    return ++lastHandle_;
}

int MountedFiles::Load(OpenFile& File)
{
    if (File.loaded)
        return 0;
    Entry current;
    current.size = File.size;
    current.time = File.deviceTime;
    if (!cache_.Take(File.path, current, File.data))
        if (const int failed = device_.Read(File.path, File.data))
            return failed;
    File.loaded = true;
    return 0;
}

void MountedFiles::Touch(OpenFile& File)
{
    File.dirty = true;
    File.mtime = KeptTime(time(nullptr));
}

int MountedFiles::Resize(OpenFile& File, off_t Size)
{
    if (Size > 0)
        if (const int failed = Load(File))
            return failed;
    if (!File.data.Held())
        if (const int failed = device_.NewContents(File.data))
            return failed;
    if (const int failed = File.data.Resize(Size))
        return failed;
    File.loaded = true;
    Touch(File);
    return 0;
}

struct stat MountedFiles::Stat(mode_t Mode, int64_t Size, time_t Mtime) const
{
    struct stat st {};
    st.st_mode = Mode;
    st.st_nlink = S_ISDIR(Mode) ? 2 : 1;
    st.st_uid = uid_;
    st.st_gid = gid_;
    st.st_size = Size;
    st.st_blocks = (Size + 511) / 512;
    st.st_blksize = 1 << 20;  // programs that copy take their buffer size from it
    st.st_mtim.tv_sec = st.st_atim.tv_sec = st.st_ctim.tv_sec = Mtime;
    return st;
}

struct stat MountedFiles::FileStat(int64_t Size, time_t Mtime, bool ReadOnly) const
{
    return Stat(S_IFREG | (ReadOnly ? 0444 : 0644), Size, Mtime);
}

struct stat MountedFiles::DirStat(time_t Mtime, bool ReadOnly) const
{
    return Stat(S_IFDIR | (ReadOnly ? 0555 : 0755), 0, Mtime);
}

struct stat MountedFiles::StatOf(const Entry& Found) const
{
    return Found.IsDir() ? DirStat(HostTime(Found.time), Found.ReadOnly())
                         : FileStat(Found.size, HostTime(Found.time), Found.ReadOnly());
}

}  // namespace zqktool::mounting
