#pragma once
// The file system that the mount shows (MountedFiles), over the device's
// files (DeviceFiles) and the cache of contents (ContentCache).
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mount_contents.h"
#include "mount_device_files.h"
#include "mount_support.h"

namespace zqktool::mounting {

// A file that is open, shared by all its open handles.
struct OpenFile {
    std::string path;           // empty once it was deleted
    Contents data;              // the whole contents, once loaded
    bool loaded = false;
    int32_t size = 0;           // before it is loaded
    time_t mtime = 0;
    bool dirty = false;         // contents or time not yet sent
    bool onDevice = false;      // the device has a file of this name
    bool readOnly = false;
    int64_t deviceTime = 0;     // of the device's copy
    int handles = 0;
    int writersAlone = 0;       // of the handles, write-only ones opened alone
    int unsent = 0;             // why the last send failed (-errno), said once

    static OpenFile Of(const std::string& Path, const Entry& Found)
    {
        OpenFile file;
        file.path = Path;
        file.size = Found.size;
        file.mtime = HostTime(Found.time);
        file.onDevice = true;
        file.readOnly = Found.ReadOnly();
        file.deviceTime = Found.time;
        return file;
    }
    int64_t Size() const { return loaded ? static_cast<int64_t>(data.Size()) : size; }
};

// The file system that the mount shows: what the operations of FUSE ask,
// each answering 0 (or a count) or -errno.
//
// A file closed while another program holds the device (or whose send the
// device refused) stays open without a handle, with its contents, under its
// name: the mount shows it as written, and ResendKept sends it again.
class MountedFiles {
public:
    MountedFiles(int32_t Handle, const DeviceNames& Names, std::string WorkDir)
        : device_(Handle, Names, WorkDir), cache_(Names), workDir_(std::move(WorkDir)), mounted_(time(nullptr))
    {
    }

    // Held by every call, from FUSE and from the resender.
    std::mutex calls;

    bool Gone() const { return device_.Gone(); }

    int GetAttr(std::string Path, uint64_t Handle, struct stat& Out);

    // Folders are read by handle: FUSE gives no path then.
    int OpenDir(const std::string& Path, uint64_t& Handle);

    void ReleaseDir(uint64_t Handle) { dirs_.erase(Handle); }

    int ReadDir(uint64_t Handle, void* Buffer, fuse_fill_dir_t Fill);
    int Open(const std::string& Path, int Flags, uint64_t& Handle);
    int Create(const std::string& Path, int Flags, uint64_t& Handle);

    // Whether what goes through the handle bypasses the kernel's cache of
    // the file (FUSE's direct I/O): a handle that cannot read, opened while
    // no other handle of the file is open, has no use for the cache, which
    // costs a copy of everything written. A handle opened while such a one
    // is open bypasses it too: kernels before 6.6 keep cached pages that a
    // write past the cache changed, and the mount's 2-second times do not
    // tell them otherwise. The kernel maps no such handle shared (ENODEV),
    // so it is only for as long as a lone writer is open.
    bool PastCache(uint64_t Handle) const
    {
        const auto open = handles_.find(Handle);
        return open != handles_.end() && open->second.pastCache;
    }
    int Read(uint64_t Handle, char* Buffer, size_t Size, off_t Offset);
    int Write(uint64_t Handle, const char* Buffer, size_t Size, off_t Offset);
    int Truncate(std::string Path, uint64_t Handle, off_t Size);
    int SetTime(std::string Path, uint64_t Handle, const timespec& Modified);

    // close and fsync: the contents go to the device, waiting a while for a
    // device another program holds; an empty file is said when it is closed.
    int Flush(uint64_t Handle);
    void Release(uint64_t Handle);
    int Unlink(const std::string& Path);
    int MakeDir(const std::string& Path);

    // The device removes a folder with everything in it; rmdir(2) wants it
    // empty.
    int RemoveDir(const std::string& Path);
    int Rename(const std::string& From, const std::string& To, unsigned int Flags);

    // chmod and chown: the device has no command that sets attributes, so
    // they are accepted and change nothing.
    int Accept(const std::string& Path, uint64_t Handle);

    // df: the flash the device states (Capacity bytes; 0 when it states
    // none, and df then shows no size) less what the files of its listings
    // hold. The device itself tells nothing of its free space.
    void SetCapacity(uint64_t Bytes) { capacity_ = Bytes; }
    int StatFs(struct statvfs& Out);

    // The resender's round: what closed files could not send goes again,
    // until the first the device is still held for.
    void ResendKept()
    {
        cache_.DropRetired();
        SendRound(UnsentFiles(true));
    }

    // At unmount: everything not yet sent goes to the device, which is
    // waited for up to kUnmountWait while another program holds it; what it
    // did not take by then is left in a local folder.
    void SendAll();

private:
    std::string Key(const std::string& Path) const { return device_.Names().Key(Path); }

    std::shared_ptr<OpenFile> OpenAt(const std::string& Path) const;

    // What a call with a handle is about: its open file, or the folder it
    // stands for (into Path); without a handle, what is open at Path.
    std::shared_ptr<OpenFile> FileOf(std::string& Path, uint64_t Handle) const;
    uint64_t Register(const std::shared_ptr<OpenFile>& File, int Flags);
    int Load(OpenFile& File);
    static void Touch(OpenFile& File);
    int Resize(OpenFile& File, off_t Size);

    static bool Unsent(const OpenFile& File) { return File.dirty && !File.path.empty(); }

    // The library sends no empty file, so the device never gets one: a file
    // left empty is refused when it is closed (EOPNOTSUPP).
    int Send(OpenFile& File);

    // Send, trying again for up to Wait while another program holds the
    // device (each try waits a second for it).
    int SendWaiting(OpenFile& File, std::chrono::steady_clock::duration Wait);

    // One try for a file no handle will write to any more. What the device
    // refused stays to be sent again, but for an empty file, which it never
    // takes, and for changes to a device that is gone, which are lost.
    int SendOrKeep(OpenFile& File);
    int SendAndKeep(OpenFile& File);

    // Says what became of a file's changes when that is new.
    void Report(OpenFile& File, int Failed);

    // Open files with changes not sent: all of them, or only those no handle
    // has open.
    std::vector<std::shared_ptr<OpenFile>> UnsentFiles(bool ClosedOnly) const;

    // One try each, up to the first the device is still held for (-EBUSY).
    int SendRound(const std::vector<std::shared_ptr<OpenFile>>& Files);

    // A file no handle has open and nothing waits to be sent from leaves the
    // open files; its contents are kept for reading again.
    void Close(const std::shared_ptr<OpenFile>& File);

    // What the device did not take by the end outlives the mount in a folder
    // beside the work folder (same file system: the contents are moved, not
    // copied), and the mount says where.
    void KeepLocally(OpenFile& File);

    // A name that goes up as a new entry must name that one entry to the
    // device, and not one the device would store under the name of another.
    int RefuseNewName(const std::string& Path);

    // The name in Dir, other than Leaf, that the device stores as it would
    // store Leaf: of its entries and of the files made there not sent yet.
    int StoredTwin(const std::string& Dir, const std::string& Leaf, std::string& Twin);

    // The device writes a file over whatever has its name: a file is made
    // only in a folder the device listed line by line.
    int RefuseUnreadFolder(const std::string& Path);
    static int Refuse(const std::string& Leaf, const std::string& Dir, const std::string& Why, int Error);

    // The device's remove takes the folder with everything in it, also names
    // the mount hides, lines it could not read and files that came since the
    // folder was last read.
    int RefuseFullDir(const std::string& Path);

    // The device renames onto no existing name: what is there (Target, or
    // a file made there not sent yet) goes first.
    int ClearTarget(const std::string& To, const Entry* Target, bool SourceIsDir, unsigned int Flags);

    // A file that is open but not read yet is fetched before the device loses
    // it: its readers read on from what they opened.
    int DeleteKeepingReaders(const std::string& Path);

    // What was open under Path lives on without a name.
    void Forget(const std::string& Path);
    void MoveOpenFiles(const std::string& From, const std::string& To);
    struct stat Stat(mode_t Mode, int64_t Size, time_t Mtime) const;
    struct stat FileStat(int64_t Size, time_t Mtime, bool ReadOnly) const;
    struct stat DirStat(time_t Mtime, bool ReadOnly) const;
    struct stat StatOf(const Entry& Found) const;

    // The sizes of the files in Dir and every folder below it.
    int BytesBelow(const std::string& Dir, uint64_t& Bytes);

    DeviceFiles device_;
    ContentCache cache_;
    std::string workDir_;
    std::string keptDir_;  // made for what was not sent by the end
    std::map<std::string, std::shared_ptr<OpenFile>> byPath_;  // by the key of the path
    struct OpenHandle {
        std::shared_ptr<OpenFile> file;
        bool pastCache = false;
        bool writerAlone = false;  // write-only, opened with no other handle of the file open
    };
    std::map<uint64_t, OpenHandle> handles_;
    std::map<uint64_t, std::string> dirs_;
    uint64_t lastHandle_ = 0;
    time_t mounted_;
    uint64_t capacity_ = 0;
    uid_t uid_ = getuid();
    gid_t gid_ = getgid();
};

}  // namespace zqktool::mounting
