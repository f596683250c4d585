// zqk mount DIR: the device's file system as a local folder, through FUSE 3.
//
// The device moves whole files only: a file is fetched whole when it is first
// read and served from the local file it was fetched into; a file written is
// kept in such a file and sent whole, with its time, when it is closed or
// synced. What the device does not take then (another program holds it) stays
// kept under its name and is sent again until it is taken. Listings are kept
// for a short time and dropped on every change made through the mount. Names
// are matched as the device matches them (DeviceNames). The FUSE loop runs on
// one thread, the resender on another; every call of either holds the one
// lock of the mount's state (MountedFiles::calls): the device answers one
// request at a time anyway.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

namespace {

constexpr std::chrono::seconds kListingLife {2};
constexpr size_t kCachedBytes = 64 << 20;  // contents of closed files kept for reading again
constexpr int64_t kMaxFileSize = INT32_MAX;
constexpr int32_t kFirstDeviceTime = 315532800;  // 1980-01-01, the first date the device can keep
constexpr uint8_t kDirectoryBit = 0x10;
constexpr uint8_t kReadOnlyBit = 0x01;
constexpr uint8_t kArchiveBit = 0x20;  // what a file written gets
// What another program's hold on the device costs: a close (flush) or fsync
// waits this long for the device before it fails with EBUSY, the contents
// kept; those are sent again this often, and at unmount the mount waits this
// long for the device before it leaves them in a local folder.
constexpr std::chrono::seconds kCloseWait {5};
constexpr std::chrono::seconds kResendEvery {2};
constexpr std::chrono::seconds kUnmountWait {60};
// Between tries that found the device held (each waits a second for it).
constexpr std::chrono::milliseconds kBusyPause {100};

// Under -b the messages go to syslog as well: standard error is then
// /dev/null unless it is a file (Detach).
bool messagesToSyslog = false;

void Say(const std::string& Text)
{
    std::fprintf(stderr, "zqk mount: %s\n", Text.c_str());
    if (messagesToSyslog)
        syslog(LOG_WARNING, "%s", Text.c_str());
}

// ---- times: the device keeps its local time, given as Unix seconds of it ----

time_t HostTime(int64_t DeviceTime)
{
    return static_cast<time_t>(UnixTimeOf(DeviceTime));
}

int64_t DeviceTime(time_t HostTime)
{
    return std::clamp<int64_t>(DeviceTimeOf(HostTime), kFirstDeviceTime, UINT32_MAX);
}

// The device keeps times to two seconds.
time_t KeptTime(time_t Time)
{
    return HostTime(DeviceTime(Time) & ~int64_t {1});
}

// ---- paths ----

std::string ParentOf(const std::string& Path)
{
    const size_t cut = Path.find_last_of('/');
    return cut == 0 || cut == std::string::npos ? "/" : Path.substr(0, cut);
}

std::string LeafOf(const std::string& Path)
{
    return Path.substr(Path.find_last_of('/') + 1);
}

bool IsUnder(const std::string& Path, const std::string& Dir)
{
    return Path.size() > Dir.size() && Path.compare(0, Dir.size(), Dir) == 0 && Path[Dir.size()] == '/';
}

// Names from the device that a local folder cannot show are hidden.
bool IsLocalName(const std::string& Name)
{
    return Name.size() <= NAME_MAX && DeviceNameProblem(Name).empty();
}

// ---- names as the device matches and stores them ----

// ASCII letters in lower case, as FAT matches names.
std::string FoldedCase(const std::string& Text)
{
    std::string folded = Text;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

// Paths and names are kept under their Key: two with one key are one entry
// to the device. StoredKey is the key of the name the device keeps when it
// is sent a name (firmware without quoted names keeps blanks as "_").
struct DeviceNames {
    bool caseBlind = true;
    bool quoted = true;

    std::string Key(const std::string& PathOrName) const { return caseBlind ? FoldedCase(PathOrName) : PathOrName; }
    std::string StoredKey(const std::string& Name) const { return Key(StoredName(Name, quoted)); }
};

// Whether the chosen device tells case apart. The device has no word for
// it: a simulated device's path says so (names=case, the last names= option
// counting, as the library reads it); units are taken to match names as FAT
// does.
bool TellsCaseApart(const std::string& Chosen)
{
    if (Chosen.rfind("sim:", 0) != 0)
        return false;
    bool apart = false;
    for (size_t at = Chosen.find('?'); at < Chosen.size();) {
        const size_t end = std::min(Chosen.find('&', at + 1), Chosen.size());
        const std::string option = Chosen.substr(at + 1, end - at - 1);
        if (option == "names=case" || option == "names=nocase")
            apart = option == "names=case";
        at = end;
    }
    return apart;
}

struct Entry {
    std::string name;  // as the mount shows it
    int32_t size = 0;
    int32_t attributes = 0;
    int64_t time = 0;  // DeviceSeconds
    bool IsDir() const { return attributes & kDirectoryBit; }
    bool ReadOnly() const { return attributes & kReadOnlyBit; }
};

// ---- a file's contents ----
// The library moves whole files between the device and local files, so the
// contents of the mount's files are kept in files of the work folder (in
// memory, where that is a memory file system): a file fetched is read where
// the library put it, and a file written is sent from where its writes went,
// never copied through the heap on the way. The file is removed with the
// object.
class Contents {
public:
    Contents() = default;
    ~Contents() { Drop(); }
    Contents(Contents&& Other) noexcept { *this = std::move(Other); }
    Contents& operator=(Contents&& Other) noexcept
    {
        if (this != &Other) {
            Drop();
            path_ = std::exchange(Other.path_, std::string());
            fd_ = std::exchange(Other.fd_, -1);
            size_ = std::exchange(Other.size_, 0);
        }
        return *this;
    }
    Contents(const Contents&) = delete;
    Contents& operator=(const Contents&) = delete;

    // Takes over the file at Path (made when missing); -errno when it cannot
    // be opened.
    int Adopt(const std::string& Path)
    {
        Drop();
        const int fd = open(Path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0) {
            const int error = errno;
            if (fd >= 0)
                close(fd);
            std::remove(Path.c_str());
            return -error;
        }
        path_ = Path;
        fd_ = fd;
        size_ = static_cast<size_t>(st.st_size);
        return 0;
    }

    bool Held() const { return fd_ >= 0; }
    size_t Size() const { return size_; }
    const std::string& Path() const { return path_; }

    // Bytes read or -errno.
    int Read(char* Buffer, size_t Size, off_t Offset) const
    {
        if (Offset < 0 || static_cast<uint64_t>(Offset) >= size_)
            return 0;
        const size_t wanted = std::min(Size, size_ - static_cast<size_t>(Offset));
        size_t done = 0;
        while (done < wanted) {
            const ssize_t n = pread(fd_, Buffer + done, wanted - done, Offset + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return -errno;
            if (n == 0)
                break;
            done += static_cast<size_t>(n);
        }
        return static_cast<int>(done);
    }

    // 0 or -errno.
    int Write(const char* Buffer, size_t Size, off_t Offset)
    {
        for (size_t done = 0; done < Size;) {
            const ssize_t n = pwrite(fd_, Buffer + done, Size - done, Offset + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n < 0 ? -errno : -EIO;
            done += static_cast<size_t>(n);
        }
        size_ = std::max(size_, static_cast<size_t>(Offset) + Size);
        return 0;
    }

    int Resize(off_t Size)
    {
        if (ftruncate(fd_, Size) != 0)
            return -errno;
        size_ = static_cast<size_t>(Size);
        return 0;
    }

    // Moves the file to Path, where it outlives the object; -errno when it
    // cannot be moved (then it stays held).
    int MoveTo(const std::string& Path)
    {
        if (std::rename(path_.c_str(), Path.c_str()) != 0)
            return -errno;
        close(fd_);
        fd_ = -1;
        path_.clear();
        size_ = 0;
        return 0;
    }

private:
    void Drop()
    {
        if (fd_ < 0)
            return;
        close(fd_);
        std::remove(path_.c_str());
        fd_ = -1;
        path_.clear();
        size_ = 0;
    }

    std::string path_;
    int fd_ = -1;
    size_t size_ = 0;
};

// ---- the device's files through one handle ----
// Each operation answers 0 or -errno and says why on standard error (a
// failed send only leaves its reason in LastFailure: its caller reports
// it). Once the device has gone, it stays gone for this mount.
//
// Listings are read again once they are older than kListingLife. A change
// made through the mount is applied at once to the listing kept of its
// folder (reading the folder again after each change would make copying n
// files into it cost n listings of it); after a failed change, what the
// device holds is unknown, and its folder is read again. A listing that
// failed is not kept.
//
// Names the mount made that the device stores otherwise ("a b" kept as
// "a_b" by firmware without quoted names) are shown as they were made for
// as long as the mount runs, so that "a_b" stays another name, which the
// device would store on top of it.
class DeviceFiles {
public:
    // A device folder as the mount knows it.
    struct Folder {
        std::chrono::steady_clock::time_point at;
        std::map<std::string, Entry> entries;  // by key: the first of names with one key
        int hidden = 0;                        // names a local folder cannot show
        int unreadable = 0;                    // lines of the listing that are no entry
    };

    DeviceFiles(int32_t Handle, const DeviceNames& Names, std::string WorkDir)
        : handle_(Handle), names_(Names), workDir_(std::move(WorkDir))
    {
    }

    bool Gone() const { return gone_; }
    const DeviceNames& Names() const { return names_; }
    const std::string& LastFailure() const { return lastFailure_; }

    int List(const std::string& Dir, const Folder*& Found)
    {
        const auto now = std::chrono::steady_clock::now();
        const std::string key = names_.Key(Dir);
        auto known = listings_.find(key);
        if (known == listings_.end() || now - known->second.at > kListingLife) {
            listings_.erase(key);
            Folder fresh {now, {}, 0, 0};
            if (const int failed = Fetch(Dir, fresh))
                return failed;
            known = listings_.emplace(key, std::move(fresh)).first;
        }
        Found = &known->second;
        return 0;
    }

    // Dir read afresh: what the device holds there now, for changes that
    // take everything in it.
    int ListAfresh(const std::string& Dir, const Folder*& Found)
    {
        listings_.erase(names_.Key(Dir));
        return List(Dir, Found);
    }

    // -ENOENT only when the device's listing of the folder has no such name.
    int Lookup(const std::string& Path, Entry& Found)
    {
        const Folder* folder = nullptr;
        if (const int failed = List(ParentOf(Path), folder))
            return failed;
        const std::string leaf = LeafOf(Path);
        const auto entry = folder->entries.find(names_.Key(leaf));
        if (!IsLocalName(leaf) || entry == folder->entries.end())
            return -ENOENT;
        Found = entry->second;
        return 0;
    }

    // Empty contents of a file of their own in the work folder.
    int NewContents(Contents& Out)
    {
        const std::string local = NewLocal();
        std::remove(local.c_str());
        if (const int failed = Out.Adopt(local))
            return LocalFailure("cannot keep contents in " + local, failed);
        return 0;
    }

    int Read(const std::string& Path, Contents& Data)
    {
        const std::string local = NewLocal();
        const int32_t n = zqkDevFileRead(handle_, Path.c_str(), local.c_str());
        if (n == -1)
            return LocalFailure("cannot keep " + Path + " in " + local, EIO);
        if (n < 0)
            return Failed("cannot read " + Path, ENOENT);
        if (const int failed = Data.Adopt(local))
            return LocalFailure("cannot read back " + local, failed);
        return Data.Size() == static_cast<size_t>(n) ? 0 : LocalFailure("cannot read back " + local, EIO);
    }

    int Write(const std::string& Path, const Contents& Data, int64_t Time)
    {
        const int32_t n = zqkDevFileWriteAt(handle_, Data.Path().c_str(), Path.c_str(), DeviceTimeArgument(Time));
        if (n == ZQK_LOCAL_FILE_UNREADABLE)
            return LocalFailure("cannot read back " + Data.Path(), EIO);
        if (n != static_cast<int32_t>(Data.Size())) {
            Unknown({Path});
            return Failed("cannot write " + Path, EACCES, false);
        }
        // The device keeps times to two seconds, cut down.
        Note(Path, Entry {LeafOf(Path), n, kArchiveBit, Time & ~int64_t {1}});
        return 0;
    }

    int Delete(const std::string& Path)
    {
        return Change(zqkDevFileDelete(handle_, Path.c_str()) == 0, "cannot delete " + Path, {Path},
                      [&] { NoteGone(Path); });
    }

    int MakeDir(const std::string& Path)
    {
        return Change(zqkDevDirMake(handle_, Path.c_str()) == 0, "cannot make " + Path, {Path}, [&] {
            Note(Path, Entry {LeafOf(Path), 0, kDirectoryBit, DeviceTime(time(nullptr)) & ~int64_t {1}});
            listings_[names_.Key(Path)] = Folder {std::chrono::steady_clock::now(), {}, 0, 0};
        });
    }

    int RemoveDir(const std::string& Path)
    {
        return Change(zqkDevDirRemove(handle_, Path.c_str()) == 0, "cannot remove " + Path, {Path}, [&] {
            NoteGone(Path);
            ForgetTree(Path);
        });
    }

    int Rename(const std::string& From, const std::string& To)
    {
        Entry moved;
        const bool known = Cached(From, moved);
        return Change(zqkDevRename(handle_, From.c_str(), To.c_str()) == 0, "cannot rename " + From + " to " + To,
                      {From, To}, [&] {
                          NoteGone(From);
                          ForgetTree(From);
                          if (known) {
                              moved.name = LeafOf(To);
                              Note(To, moved);
                          } else {
                              listings_.erase(names_.Key(ParentOf(To)));
                              NoteMade(To);
                          }
                      });
    }

private:
    int Fetch(const std::string& Dir, Folder& Into)
    {
        std::vector<zqktool::Entry> listed;
        try {
            listed = zqktool::Listing(handle_, Dir, &Into.unreadable);
        } catch (const Failure&) {
            return Failed("cannot list " + Dir, ENOENT);
        }
        if (Into.unreadable > 0)
            SayOnce(Dir + "\n", "in " + Shown(Dir) + " the device listed " + std::to_string(Into.unreadable) +
                                    (Into.unreadable == 1 ? " line that is no entry" : " lines that are no entry") +
                                    ": the folder is not taken for empty, and no file is made in it");
        const auto made = madeAs_.find(names_.Key(Dir));
        for (zqktool::Entry& e : listed) {
            if (!IsLocalName(e.name)) {
                ++Into.hidden;
                Hide(Dir, e.name.size() > NAME_MAX ? "a name longer than " + std::to_string(NAME_MAX) + " bytes"
                                                   : JsonString(e.name));
                continue;
            }
            if (made != madeAs_.end())
                if (const auto as = made->second.find(names_.Key(e.name)); as != made->second.end())
                    e.name = as->second;
            Into.entries.emplace(names_.Key(e.name), Entry {e.name, e.size, e.attributes, e.time});
        }
        return 0;
    }

    void Hide(const std::string& Dir, const std::string& What)
    {
        SayOnce(Dir + "\n" + What, "hidden in " + Dir + ": " + What + ", which cannot be a local file name");
    }

    void SayOnce(const std::string& Key, const std::string& Text)
    {
        if (said_.insert(Key).second)
            Say(Text);
    }

    template <typename Done>
    int Change(bool Succeeded, const std::string& What, std::initializer_list<std::string> Paths, Done&& Apply)
    {
        if (Succeeded) {
            Apply();
            return 0;
        }
        Unknown(Paths);
        return Failed(What, EACCES);
    }

    // After a failed change: what the device holds in the folders of Paths.
    void Unknown(std::initializer_list<std::string> Paths)
    {
        for (const std::string& path : Paths)
            listings_.erase(names_.Key(ParentOf(path)));
    }

    // The entry of Path in the listing kept of its folder.
    bool Cached(const std::string& Path, Entry& Found) const
    {
        const auto listing = listings_.find(names_.Key(ParentOf(Path)));
        if (listing == listings_.end())
            return false;
        const auto entry = listing->second.entries.find(names_.Key(LeafOf(Path)));
        if (entry == listing->second.entries.end())
            return false;
        Found = entry->second;
        return true;
    }

    // The listing kept of Path's folder, if any.
    std::map<std::string, Entry>* KeptEntries(const std::string& Path)
    {
        const auto listing = listings_.find(names_.Key(ParentOf(Path)));
        return listing == listings_.end() ? nullptr : &listing->second.entries;
    }

    // Path's entry is now Now in the listing kept of its folder; an entry
    // written over keeps the name it had.
    void Note(const std::string& Path, Entry Now)
    {
        std::map<std::string, Entry>* entries = KeptEntries(Path);
        const std::string key = names_.Key(LeafOf(Path));
        const auto known = entries ? entries->find(key) : std::map<std::string, Entry>::iterator {};
        if (!entries || known == entries->end()) {
            NoteMade(Path);
            if (entries)
                entries->emplace(key, Now);
            return;
        }
        Now.name = known->second.name;
        known->second = Now;
    }

    // Path's entry has gone.
    void NoteGone(const std::string& Path)
    {
        ForgetMade(Path);
        if (std::map<std::string, Entry>* entries = KeptEntries(Path))
            entries->erase(names_.Key(LeafOf(Path)));
    }

    // Path was made under its own name, which the device may store otherwise.
    void NoteMade(const std::string& Path)
    {
        const std::string leaf = LeafOf(Path);
        if (StoredName(leaf, names_.quoted) != leaf)
            madeAs_[names_.Key(ParentOf(Path))][names_.StoredKey(leaf)] = leaf;
    }

    void ForgetMade(const std::string& Path)
    {
        const auto made = madeAs_.find(names_.Key(ParentOf(Path)));
        if (made != madeAs_.end())
            made->second.erase(names_.StoredKey(LeafOf(Path)));
    }

    // The listings kept of Path and the folders below it, and the names
    // made there.
    void ForgetTree(const std::string& Path)
    {
        const std::string key = names_.Key(Path);
        const auto below = [&](const std::string& Dir) { return Dir == key || IsUnder(Dir, key); };
        for (auto listing = listings_.begin(); listing != listings_.end();)
            listing = below(listing->first) ? listings_.erase(listing) : std::next(listing);
        for (auto made = madeAs_.begin(); made != madeAs_.end();)
            made = below(made->first) ? madeAs_.erase(made) : std::next(made);
    }

    // The status of the call that failed, as an errno; a refusal by the device
    // is Refused. The reason is said unless the caller says it (Said false).
    int Failed(const std::string& What, int Refused, bool Said = true)
    {
        const int32_t status = zqkLastStatus();
        lastFailure_ = DeviceFailure(What).what();
        if (Said)
            Say(lastFailure_);
        if (!gone_ && (status == ZQK_STATUS_GONE || status == ZQK_STATUS_NOT_OPEN || !zqkDevIsOpen(handle_))) {
            gone_ = true;
            Say("the device is gone: every call fails with EIO until it is unmounted");
        }
        switch (status) {
        case ZQK_STATUS_REFUSED: return -Refused;
        case ZQK_STATUS_ARGUMENT: return -EINVAL;  // a name the library does not send
        case ZQK_STATUS_BUSY: return -EBUSY;
        default: return -EIO;
        }
    }

    // The work folder's own failure (a negative errno, or the library's, EIO).
    int LocalFailure(const std::string& What, int Error)
    {
        const int error = Error < 0 ? -Error : Error;
        lastFailure_ = What + ": " + (error == EIO ? StatusText() : std::string(std::strerror(error)));
        Say(lastFailure_);
        return -error;
    }

    std::string NewLocal() { return workDir_ + "/contents-" + std::to_string(++lastLocal_); }

    int32_t handle_;
    const DeviceNames names_;
    std::string workDir_;
    uint64_t lastLocal_ = 0;
    bool gone_ = false;
    std::string lastFailure_;
    std::map<std::string, Folder> listings_;  // by the folder's key
    // By the folder's key: the stored name's key, and the name it was made as.
    std::map<std::string, std::map<std::string, std::string>> madeAs_;
    std::set<std::string> said_;
};


// Contents of closed files as the device has them, for reading them again and
// for sending them again with another time; the least recently used go first.
// Files are kept by the key of their path.
class ContentCache {
public:
    explicit ContentCache(const DeviceNames& Names) : names_(Names) {}

    void Put(const std::string& Path, Contents Data, int64_t Time)
    {
        Erase(Path);
        if (!Data.Held() || Data.Size() > kCachedBytes)
            return;
        bytes_ += Data.Size();
        items_[names_.Key(Path)] = Item {std::move(Data), Time, ++uses_};
        while (bytes_ > kCachedBytes)
            Drop(std::min_element(items_.begin(), items_.end(), [](const auto& a, const auto& b) {
                     return a.second.use < b.second.use;
                 }));
    }

    // Moves out the contents kept for Path when the device's entry still
    // matches them.
    bool Take(const std::string& Path, const Entry& Current, Contents& Data)
    {
        const auto item = items_.find(names_.Key(Path));
        if (item == items_.end() || item->second.data.Size() != static_cast<size_t>(Current.size) ||
            !SameDeviceTime(item->second.time, Current.time))
            return false;
        bytes_ -= item->second.data.Size();  // before the move leaves it empty
        Data = std::move(item->second.data);
        items_.erase(item);
        return true;
    }

    void Erase(const std::string& Path)
    {
        const auto item = items_.find(names_.Key(Path));
        if (item != items_.end())
            Drop(item);
    }

    // Path and everything below it.
    void EraseTree(const std::string& Path)
    {
        const std::string key = names_.Key(Path);
        for (auto item = items_.begin(); item != items_.end();)
            item = item->first == key || IsUnder(item->first, key) ? Drop(item) : std::next(item);
    }

private:
    struct Item {
        Contents data;
        int64_t time = 0;
        uint64_t use = 0;
    };
    using Items = std::map<std::string, Item>;

    Items::iterator Drop(Items::iterator Item)
    {
        bytes_ -= Item->second.data.Size();
        return items_.erase(Item);
    }

    const DeviceNames names_;
    Items items_;
    size_t bytes_ = 0;
    uint64_t uses_ = 0;
};

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

    int GetAttr(std::string Path, uint64_t Handle, struct stat& Out)
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

    // Folders are read by handle: FUSE gives no path then.
    int OpenDir(const std::string& Path, uint64_t& Handle)
    {
        const DeviceFiles::Folder* folder = nullptr;
        if (const int failed = device_.List(Path, folder))
            return failed;
        Handle = ++lastHandle_;
        dirs_[Handle] = Path;
        return 0;
    }

    void ReleaseDir(uint64_t Handle) { dirs_.erase(Handle); }

    int ReadDir(uint64_t Handle, void* Buffer, fuse_fill_dir_t Fill)
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

    int Open(const std::string& Path, int Flags, uint64_t& Handle)
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
        Handle = Register(file);
        return 0;
    }

    int Create(const std::string& Path, int Flags, uint64_t& Handle)
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
        Handle = Register(file);
        return 0;
    }

    int Read(uint64_t Handle, char* Buffer, size_t Size, off_t Offset)
    {
        OpenFile& file = *handles_.at(Handle);
        if (const int failed = Load(file))
            return failed;
        return file.data.Read(Buffer, Size, Offset);
    }

    int Write(uint64_t Handle, const char* Buffer, size_t Size, off_t Offset)
    {
        OpenFile& file = *handles_.at(Handle);
        if (Offset < 0 || static_cast<uint64_t>(Offset) + Size > kMaxFileSize)
            return -EFBIG;
        if (const int failed = Load(file))
            return failed;
        if (const int failed = file.data.Write(Buffer, Size, Offset))
            return failed;
        Touch(file);
        return static_cast<int>(Size);
    }

    int Truncate(std::string Path, uint64_t Handle, off_t Size)
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

    int SetTime(std::string Path, uint64_t Handle, const timespec& Modified)
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

    // close and fsync: the contents go to the device, waiting a while for a
    // device another program holds; an empty file is said when it is closed.
    int Flush(uint64_t Handle)
    {
        OpenFile& file = *handles_.at(Handle);
        const int failed = SendWaiting(file, kCloseWait);
        if (failed != -EOPNOTSUPP)
            Report(file, failed);
        return failed;
    }

    void Release(uint64_t Handle)
    {
        const std::shared_ptr<OpenFile> file = handles_.at(Handle);
        handles_.erase(Handle);
        if (--file->handles > 0)
            return;
        if (Unsent(*file))
            SendOrKeep(*file);
        if (!Unsent(*file))
            Close(file);
    }

    int Unlink(const std::string& Path)
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

    int MakeDir(const std::string& Path)
    {
        if (const int refused = RefuseNewName(Path))
            return refused;
        return device_.MakeDir(Path);
    }

    // The device removes a folder with everything in it; rmdir(2) wants it
    // empty.
    int RemoveDir(const std::string& Path)
    {
        if (const int failed = RefuseFullDir(Path))
            return failed;
        cache_.EraseTree(Path);
        return device_.RemoveDir(Path);
    }

    int Rename(const std::string& From, const std::string& To, unsigned int Flags)
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

    // chmod and chown: the device has no command that sets attributes, so
    // they are accepted and change nothing.
    int Accept(const std::string& Path, uint64_t Handle)
    {
        struct stat ignored {};
        return GetAttr(Path, Handle, ignored);
    }

    // The resender's round: what closed files could not send goes again,
    // until the first the device is still held for.
    void ResendKept() { SendRound(UnsentFiles(true)); }

    // At unmount: everything not yet sent goes to the device, which is
    // waited for up to kUnmountWait while another program holds it; what it
    // did not take by then is left in a local folder.
    void SendAll()
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

private:
    std::string Key(const std::string& Path) const { return device_.Names().Key(Path); }

    std::shared_ptr<OpenFile> OpenAt(const std::string& Path) const
    {
        const auto known = byPath_.find(Key(Path));
        return known == byPath_.end() ? nullptr : known->second;
    }

    // What a call with a handle is about: its open file, or the folder it
    // stands for (into Path); without a handle, what is open at Path.
    std::shared_ptr<OpenFile> FileOf(std::string& Path, uint64_t Handle) const
    {
        if (const auto file = handles_.find(Handle); file != handles_.end())
            return file->second;
        if (const auto dir = dirs_.find(Handle); dir != dirs_.end()) {
            Path = dir->second;
            return nullptr;
        }
        return OpenAt(Path);
    }

    uint64_t Register(const std::shared_ptr<OpenFile>& File)
    {
        ++File->handles;
        byPath_[Key(File->path)] = File;
        handles_[++lastHandle_] = File;
        return lastHandle_;
    }

    int Load(OpenFile& File)
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

    static void Touch(OpenFile& File)
    {
        File.dirty = true;
        File.mtime = KeptTime(time(nullptr));
    }

    int Resize(OpenFile& File, off_t Size)
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

    static bool Unsent(const OpenFile& File) { return File.dirty && !File.path.empty(); }

    // The library sends no empty file, so the device never gets one: a file
    // left empty is refused when it is closed (EOPNOTSUPP).
    int Send(OpenFile& File)
    {
        if (!Unsent(File))
            return 0;
        if (const int failed = Load(File))
            return failed;
        if (File.data.Size() == 0)
            return -EOPNOTSUPP;
        const int64_t time = DeviceTime(File.mtime);
        if (const int failed = device_.Write(File.path, File.data, time))
            return failed;
        File.dirty = false;
        File.onDevice = true;
        File.readOnly = false;
        File.deviceTime = time;
        cache_.Erase(File.path);
        return 0;
    }

    // Send, trying again for up to Wait while another program holds the
    // device (each try waits a second for it).
    int SendWaiting(OpenFile& File, std::chrono::steady_clock::duration Wait)
    {
        const auto deadline = std::chrono::steady_clock::now() + Wait;
        int failed = Send(File);
        while (failed == -EBUSY && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(kBusyPause);
            failed = Send(File);
        }
        return failed;
    }

    // One try for a file no handle will write to any more. What the device
    // refused stays to be sent again, but for an empty file, which it never
    // takes, and for changes to a device that is gone, which are lost.
    int SendOrKeep(OpenFile& File)
    {
        const int failed = Gone() ? -EIO : Send(File);
        Report(File, failed);
        if (failed == -EOPNOTSUPP || Gone())
            File.dirty = false;
        return failed;
    }

    int SendAndKeep(OpenFile& File)
    {
        const int failed = Send(File);
        if (!failed)
            cache_.Put(File.path, std::move(File.data), File.deviceTime);
        return failed;
    }

    // Says what became of a file's changes when that is new.
    void Report(OpenFile& File, int Failed)
    {
        const int before = std::exchange(File.unsent, Failed);
        if (Failed == before)
            return;
        if (Failed == 0) {
            if (before != -EOPNOTSUPP)
                Say(File.path + ": sent");
        } else if (Failed == -EOPNOTSUPP) {
            Say(File.path + (File.onDevice ? " was left as it was" : " was not made") +
                ": the device keeps no empty files");
        } else if (Gone()) {
            Say(File.path + ": the last changes are lost: the device is gone");
        } else if (Failed == -EBUSY) {
            Say(File.path + ": kept: another program holds the device; it is sent once the device is free");
        } else {
            Say(File.path + ": kept: " + device_.LastFailure() + "; it is sent again every " +
                std::to_string(kResendEvery.count()) + " s and at unmount");
        }
    }

    // Open files with changes not sent: all of them, or only those no handle
    // has open.
    std::vector<std::shared_ptr<OpenFile>> UnsentFiles(bool ClosedOnly) const
    {
        std::vector<std::shared_ptr<OpenFile>> unsent;
        for (const auto& [key, file] : byPath_)
            if (Unsent(*file) && (!ClosedOnly || file->handles == 0))
                unsent.push_back(file);
        return unsent;
    }

    // One try each, up to the first the device is still held for (-EBUSY).
    int SendRound(const std::vector<std::shared_ptr<OpenFile>>& Files)
    {
        for (const std::shared_ptr<OpenFile>& file : Files) {
            if (SendOrKeep(*file) == -EBUSY)
                return -EBUSY;
            if (!Unsent(*file) && file->handles == 0)
                Close(file);
        }
        return 0;
    }

    // A file no handle has open and nothing waits to be sent from leaves the
    // open files; its contents are kept for reading again.
    void Close(const std::shared_ptr<OpenFile>& File)
    {
        const auto known = byPath_.find(Key(File->path));
        if (known != byPath_.end() && known->second == File)
            byPath_.erase(known);
        if (File->loaded && !File->dirty && File->onDevice && !File->path.empty() && File->unsent == 0)
            cache_.Put(File->path, std::move(File->data), File->deviceTime);
    }

    // What the device did not take by the end outlives the mount in a folder
    // beside the work folder (same file system: the contents are moved, not
    // copied), and the mount says where.
    void KeepLocally(OpenFile& File)
    {
        if (!File.data.Held()) {
            Say(File.path + ": its new time was not sent");
            return;
        }
        if (keptDir_.empty()) {
            std::string pattern = std::filesystem::path(workDir_).parent_path().string() + "/zqk-unsent-XXXXXX";
            if (!mkdtemp(pattern.data())) {
                Say(File.path + ": lost: no folder for what was not sent: " + std::strerror(errno));
                return;
            }
            keptDir_ = pattern;
        }
        const std::filesystem::path kept = keptDir_ + File.path;
        std::error_code error;
        std::filesystem::create_directories(kept.parent_path(), error);
        const int failed = error ? -error.value() : File.data.MoveTo(kept.string());
        if (failed)
            Say(File.path + ": lost: it cannot be kept in " + kept.string() + ": " + std::strerror(-failed));
        else
            Say(File.path + ": not sent; its contents are kept in " + kept.string());
    }

    // A name that goes up as a new entry must name that one entry to the
    // device, and not one the device would store under the name of another.
    int RefuseNewName(const std::string& Path)
    {
        const std::string dir = ParentOf(Path), leaf = LeafOf(Path);
        if (const std::string problem = DeviceNameProblem(leaf); !problem.empty())
            return Refuse(leaf, dir, problem, EINVAL);
        std::string twin;
        if (const int failed = StoredTwin(dir, leaf, twin))
            return failed;
        if (twin.empty())
            return 0;
        return Refuse(leaf, dir,
                      "the device would store it as " + JsonString(StoredName(leaf, device_.Names().quoted)) +
                          ", as it stores " + JsonString(twin),
                      EEXIST);
    }

    // The name in Dir, other than Leaf, that the device stores as it would
    // store Leaf: of its entries and of the files made there not sent yet.
    int StoredTwin(const std::string& Dir, const std::string& Leaf, std::string& Twin)
    {
        const DeviceNames& names = device_.Names();
        const auto twins = [&](const std::string& Name) {
            return names.StoredKey(Name) == names.StoredKey(Leaf) && names.Key(Name) != names.Key(Leaf);
        };
        const DeviceFiles::Folder* folder = nullptr;
        if (const int failed = device_.List(Dir, folder))
            return failed;
        for (const auto& [key, entry] : folder->entries)
            if (twins(entry.name))
                Twin = entry.name;
        for (const auto& [key, file] : byPath_)
            if (ParentOf(key) == Key(Dir) && twins(LeafOf(file->path)))
                Twin = LeafOf(file->path);
        return 0;
    }

    // The device writes a file over whatever has its name: a file is made
    // only in a folder the device listed line by line.
    int RefuseUnreadFolder(const std::string& Path)
    {
        const DeviceFiles::Folder* folder = nullptr;
        if (const int failed = device_.List(ParentOf(Path), folder))
            return failed;
        if (folder->unreadable == 0)
            return 0;
        return Refuse(LeafOf(Path), ParentOf(Path), "the device listed lines there that are no entry, "
                                                    "and one may be of this name", EIO);
    }

    static int Refuse(const std::string& Leaf, const std::string& Dir, const std::string& Why, int Error)
    {
        Say("refused " + JsonString(Leaf) + " in " + Shown(Dir) + ": " + Why);
        return -Error;
    }

    // The device's remove takes the folder with everything in it, also names
    // the mount hides, lines it could not read and files that came since the
    // folder was last read.
    int RefuseFullDir(const std::string& Path)
    {
        const DeviceFiles::Folder* folder = nullptr;
        if (const int failed = device_.ListAfresh(Path, folder))
            return failed;
        const std::string key = Key(Path);
        const bool madeHere =
            std::any_of(byPath_.begin(), byPath_.end(), [&](const auto& open) { return IsUnder(open.first, key); });
        const bool empty = folder->entries.empty() && folder->hidden == 0 && folder->unreadable == 0;
        return empty && !madeHere ? 0 : -ENOTEMPTY;
    }

    // The device renames onto no existing name: what is there (Target, or
    // a file made there not sent yet) goes first.
    int ClearTarget(const std::string& To, const Entry* Target, bool SourceIsDir, unsigned int Flags)
    {
        if (Target) {
            if (Flags & RENAME_NOREPLACE)
                return -EEXIST;
            if (Target->IsDir() && !SourceIsDir)
                return -EISDIR;
            if (!Target->IsDir() && SourceIsDir)
                return -ENOTDIR;
            const int failed = Target->IsDir() ? RemoveDir(To) : DeleteKeepingReaders(To);
            if (failed)
                return failed;
        } else if (OpenAt(To) && (Flags & RENAME_NOREPLACE)) {
            return -EEXIST;
        }
        Forget(To);
        return 0;
    }

    // A file that is open but not read yet is fetched before the device loses
    // it: its readers read on from what they opened.
    int DeleteKeepingReaders(const std::string& Path)
    {
        if (const std::shared_ptr<OpenFile> file = OpenAt(Path); file && file->onDevice)
            if (const int failed = Load(*file))
                return failed;
        return device_.Delete(Path);
    }

    // What was open under Path lives on without a name.
    void Forget(const std::string& Path)
    {
        if (const std::shared_ptr<OpenFile> file = OpenAt(Path)) {
            file->path.clear();
            file->dirty = false;
            byPath_.erase(Key(Path));
        }
        cache_.Erase(Path);
    }

    void MoveOpenFiles(const std::string& From, const std::string& To)
    {
        const std::string from = Key(From);
        std::vector<std::shared_ptr<OpenFile>> moved;
        for (auto open = byPath_.begin(); open != byPath_.end();) {
            if (open->first == from || IsUnder(open->first, from)) {
                // Keys keep the length of their paths.
                open->second->path = To + open->second->path.substr(From.size());
                moved.push_back(open->second);
                open = byPath_.erase(open);
            } else {
                ++open;
            }
        }
        for (const std::shared_ptr<OpenFile>& file : moved)
            byPath_[Key(file->path)] = file;
    }

    struct stat Stat(mode_t Mode, int64_t Size, time_t Mtime) const
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

    struct stat FileStat(int64_t Size, time_t Mtime, bool ReadOnly) const
    {
        return Stat(S_IFREG | (ReadOnly ? 0444 : 0644), Size, Mtime);
    }

    struct stat DirStat(time_t Mtime, bool ReadOnly) const
    {
        return Stat(S_IFDIR | (ReadOnly ? 0555 : 0755), 0, Mtime);
    }

    struct stat StatOf(const Entry& Found) const
    {
        return Found.IsDir() ? DirStat(HostTime(Found.time), Found.ReadOnly())
                             : FileStat(Found.size, HostTime(Found.time), Found.ReadOnly());
    }

    DeviceFiles device_;
    ContentCache cache_;
    std::string workDir_;
    std::string keptDir_;  // made for what was not sent by the end
    std::map<std::string, std::shared_ptr<OpenFile>> byPath_;  // by the key of the path
    std::map<uint64_t, std::shared_ptr<OpenFile>> handles_;
    std::map<uint64_t, std::string> dirs_;
    uint64_t lastHandle_ = 0;
    time_t mounted_;
    uid_t uid_ = getuid();
    gid_t gid_ = getgid();
};

// Sends again, every kResendEvery while the mount serves, what closed files
// could not send.
class Resender {
public:
    explicit Resender(MountedFiles& Files) : files_(Files), thread_([this] { Run(); }) {}
    ~Resender()
    {
        {
            const std::lock_guard<std::mutex> hold(stop_);
            stopped_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Resender(const Resender&) = delete;
    Resender& operator=(const Resender&) = delete;

private:
    void Run()
    {
        std::unique_lock<std::mutex> waiting(stop_);
        while (!wake_.wait_for(waiting, kResendEvery, [&] { return stopped_; })) {
            waiting.unlock();
            try {
                const std::lock_guard<std::mutex> hold(files_.calls);
                files_.ResendKept();
            } catch (const std::exception& error) {
                Say(std::string("internal failure: ") + error.what());
            }
            waiting.lock();
        }
    }

    MountedFiles& files_;
    std::mutex stop_;
    std::condition_variable wake_;
    bool stopped_ = false;
    std::thread thread_;  // last: it starts on the members above
};

// ---- FUSE's side ----

MountedFiles& Files()
{
    return *static_cast<MountedFiles*>(fuse_get_context()->private_data);
}

// No exception crosses into FUSE; once the device has gone, every call fails
// with EIO at once.
template <typename Body>
int Call(Body&& Run)
{
    try {
        MountedFiles& files = Files();
        const std::lock_guard<std::mutex> hold(files.calls);
        return files.Gone() ? -EIO : Run(files);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    } catch (const std::exception& error) {
        Say(std::string("internal failure: ") + error.what());
        return -EIO;
    }
}

// What is given back also after the device has gone.
template <typename Body>
int Finish(Body&& Run)
{
    try {
        MountedFiles& files = Files();
        const std::lock_guard<std::mutex> hold(files.calls);
        Run(files);
    } catch (const std::exception& error) {
        Say(std::string("internal failure: ") + error.what());
    }
    return 0;
}

std::string PathOf(const char* Path)
{
    return Path ? Path : "";
}

uint64_t HandleOf(const fuse_file_info* Info)
{
    return Info ? Info->fh : 0;
}

void* Start(fuse_conn_info* Connection, fuse_config* Config)
{
    // O_TRUNC comes with the open instead of as a truncate before it.
    if (Connection->capable & FUSE_CAP_ATOMIC_O_TRUNC)
        Connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    // The kernel keeps nothing: what the mount shows changes also where no
    // call of the kernel's changed it (a file refused when closed); the
    // mount's own listings are what is kept for a short time.
    Config->entry_timeout = Config->attr_timeout = Config->negative_timeout = 0;
    // Open files are known by their handle, also once deleted, so a deleted
    // open file is neither renamed on the device nor lost to its reader.
    Config->nullpath_ok = 1;
    Config->hard_remove = 1;
    return fuse_get_context()->private_data;
}

fuse_operations Operations()
{
    fuse_operations ops {};
    ops.init = Start;
    ops.getattr = [](const char* p, struct stat* st, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.GetAttr(PathOf(p), HandleOf(fi), *st); });
    };
    ops.opendir = [](const char* p, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.OpenDir(PathOf(p), fi->fh); });
    };
    ops.readdir = [](const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* fi, fuse_readdir_flags) {
        return Call([&](MountedFiles& f) { return f.ReadDir(fi->fh, buffer, fill); });
    };
    ops.releasedir = [](const char*, fuse_file_info* fi) {
        return Finish([&](MountedFiles& f) { f.ReleaseDir(fi->fh); });
    };
    ops.open = [](const char* p, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.Open(PathOf(p), fi->flags, fi->fh); });
    };
    ops.create = [](const char* p, mode_t, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.Create(PathOf(p), fi->flags, fi->fh); });
    };
    ops.read = [](const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.Read(fi->fh, buffer, size, offset); });
    };
    ops.write = [](const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.Write(fi->fh, buffer, size, offset); });
    };
    ops.truncate = [](const char* p, off_t size, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.Truncate(PathOf(p), HandleOf(fi), size); });
    };
    ops.utimens = [](const char* p, const timespec times[2], fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.SetTime(PathOf(p), HandleOf(fi), times[1]); });
    };
    ops.chmod = [](const char* p, mode_t, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.Accept(PathOf(p), HandleOf(fi)); });
    };
    ops.chown = [](const char* p, uid_t, gid_t, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.Accept(PathOf(p), HandleOf(fi)); });
    };
    ops.flush = [](const char*, fuse_file_info* fi) { return Call([&](MountedFiles& f) { return f.Flush(fi->fh); }); };
    ops.fsync = [](const char*, int, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.Flush(fi->fh); });
    };
    ops.release = [](const char*, fuse_file_info* fi) { return Finish([&](MountedFiles& f) { f.Release(fi->fh); }); };
    ops.unlink = [](const char* p) { return Call([&](MountedFiles& f) { return f.Unlink(PathOf(p)); }); };
    ops.mkdir = [](const char* p, mode_t) { return Call([&](MountedFiles& f) { return f.MakeDir(PathOf(p)); }); };
    ops.rmdir = [](const char* p) { return Call([&](MountedFiles& f) { return f.RemoveDir(PathOf(p)); }); };
    ops.rename = [](const char* from, const char* to, unsigned int flags) {
        return Call([&](MountedFiles& f) { return f.Rename(PathOf(from), PathOf(to), flags); });
    };
    return ops;
}

// ---- what a mount holds, given back on every way out ----

struct DeviceHandle {
    int32_t id;
    ~DeviceHandle() { zqkDevClose(id); }
};

// Where the mount keeps the contents of the files it fetched or is writing:
// on a memory file system where there is one, removed with the mount.
struct WorkDir {
    std::string path;
    WorkDir()
    {
        const char* xdg = std::getenv("XDG_RUNTIME_DIR");
        const char* tmp = std::getenv("TMPDIR");
        for (const char* base : {xdg, "/dev/shm", tmp, "/tmp"}) {
            std::string pattern = std::string(base ? base : "") + "/zqk-mount-XXXXXX";
            if (base && *base && mkdtemp(pattern.data())) {
                path = pattern;
                return;
            }
        }
        throw Failure(kLocalFile, std::string("cannot make a folder for transfers in /tmp: ") + std::strerror(errno));
    }
    ~WorkDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

struct FuseArguments {
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    explicit FuseArguments(std::initializer_list<const char*> Arguments)
    {
        for (const char* argument : Arguments)
            if (fuse_opt_add_arg(&args, argument) != 0)
                throw std::bad_alloc();
    }
    ~FuseArguments() { fuse_opt_free_args(&args); }
};

struct FuseMount {
    fuse* instance;
    bool mounted = false;
    bool signalled = false;
    ~FuseMount()
    {
        if (signalled)
            fuse_remove_signal_handlers(fuse_get_session(instance));
        if (mounted)
            fuse_unmount(instance);
        fuse_destroy(instance);
    }
};

// Mounts, calls Ready, and serves until unmounted or interrupted.
int Serve(const Options& Opts, const std::string& Dir, const std::function<void(const std::string&)>& Ready)
{
    const DeviceHandle device {OpenChosenDevice(Opts)};
    if (zqkDevDir(device.id, "/") < 0)
        throw DeviceFailure("cannot list the device's root folder");
    DeviceNames names;
    names.caseBlind = !TellsCaseApart(ChosenDevice(Opts));
    names.quoted = QuotesNames(device.id);
    const WorkDir work;
    MountedFiles files(device.id, names, work.path);
    const fuse_operations operations = Operations();
    FuseArguments arguments {"zqk", "-o", "fsname=zqk,subtype=zqk"};
    fuse* instance = fuse_new(&arguments.args, &operations, sizeof operations, &files);
    if (!instance)
        throw Failure(kFailed, "FUSE did not start");
    FuseMount mount {instance};
    if (fuse_mount(instance, Dir.c_str()) != 0)
        throw Failure(kFailed, "cannot mount on " + Dir + " (it needs /dev/fuse and fusermount3 from fuse3)");
    mount.mounted = true;
    if (fuse_set_signal_handlers(fuse_get_session(instance)) != 0)
        throw Failure(kFailed, "cannot take the signals that unmount");
    mount.signalled = true;
    const std::string path = UnitPath(device.id);
    Ready(path.empty() ? std::string("the device") : path);
    int served = 0;
    {
        const Resender resender(files);
        served = fuse_loop(instance);  // a signal that ended it counts as done
    }
    files.SendAll();
    return served >= 0 ? kOk : kFailed;
}

void Tell(int Pipe, const std::string& Text)
{
    if (write(Pipe, Text.data(), Text.size()) < 0)
        Say(std::string("cannot tell the starting program: ") + std::strerror(errno));
}

// The background mount lets go of the terminal and of the starting
// program's pipes, which would not end while it runs. Its messages go to
// syslog, and on to standard error where that is a file (a log the starting
// program chose).
void Detach()
{
    openlog("zqk-mount", LOG_PID, LOG_USER);
    messagesToSyslog = true;
    struct stat error {};
    const bool errorToFile = fstat(STDERR_FILENO, &error) == 0 && S_ISREG(error.st_mode);
    const int null = open("/dev/null", O_RDWR);
    if (chdir("/") != 0 || null < 0)
        return;
    for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (stream != STDERR_FILENO || !errorToFile)
            dup2(null, stream);
    close(null);
}

// -b: a child serves the mount; this process ends once it is mounted, with
// the child's failure when it could not mount.
int ServeInBackground(const Options& Opts, const std::string& Dir)
{
    int ready[2];
    if (pipe(ready) != 0)
        throw Failure(kFailed, std::string("cannot start the mount: ") + std::strerror(errno));
    const pid_t child = fork();
    if (child < 0)
        throw Failure(kFailed, std::string("cannot start the mount: ") + std::strerror(errno));
    if (child == 0) {
        close(ready[0]);
        setsid();
        int code = kFailed;
        try {
            code = Serve(Opts, Dir, [&](const std::string&) {
                Tell(ready[1], "0 ");
                close(ready[1]);
                Detach();
            });
        } catch (const Failure& failure) {
            Tell(ready[1], std::to_string(failure.code) + " " + failure.what());
            code = failure.code;
        } catch (const std::exception& error) {
            Tell(ready[1], std::to_string(kFailed) + " " + error.what());
        }
        _exit(code);
    }
    close(ready[1]);
    std::string told;
    char buffer[512];
    for (ssize_t n; (n = read(ready[0], buffer, sizeof buffer)) != 0;)
        if (n > 0)
            told.append(buffer, static_cast<size_t>(n));
        else if (errno != EINTR)
            break;
    close(ready[0]);
    if (told.rfind("0 ", 0) == 0)
        return kOk;
    waitpid(child, nullptr, 0);
    const size_t blank = told.find(' ');
    if (blank == std::string::npos)
        throw Failure(kFailed, "the mount ended before it was ready");
    throw Failure(static_cast<ExitCode>(std::atoi(told.c_str())), told.substr(blank + 1));
}

}  // namespace

int Mount(const Options& Opts)
{
    if (Opts.args.size() != 1)
        throw Failure(kUsage, "usage: zqk mount [-b] DIR");
    std::error_code error;
    // Absolute: the background mount leaves this working folder.
    const std::string dir = std::filesystem::absolute(Opts.args[0], error).lexically_normal().string();
    if (error || !std::filesystem::is_directory(dir, error))
        throw Failure(kLocalFile, Opts.args[0] + " is not a folder to mount on");
    if (Opts.background)
        return ServeInBackground(Opts, dir);
    return Serve(Opts, dir, [&](const std::string& Device) {
        std::fprintf(stderr, "zqk: %s is mounted on %s; fusermount3 -u %s or Ctrl-C unmounts it\n", Device.c_str(),
                     dir.c_str(), dir.c_str());
    });
}

}  // namespace zqktool
