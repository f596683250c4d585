// The local file system through POSIX calls (openat, renameat and their kin,
// which never follow a link): see local_files.h.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "local_files.h"

namespace zqktool {

namespace {

LocalStat FromStat(const struct stat& st)
{
    LocalStat s;
    s.kind = S_ISREG(st.st_mode) ? LocalKind::File : S_ISDIR(st.st_mode) ? LocalKind::Folder : LocalKind::Other;
    s.size = static_cast<int64_t>(st.st_size);
    s.modified = static_cast<int64_t>(st.st_mtime);
    return s;
}

bool Fails(std::string& Error)
{
    Error = std::strerror(errno);
    return false;
}

bool Fails(std::string& Error, const char* Why)
{
    Error = Why;
    return false;
}

// A descriptor that closes itself.
class Fd {
public:
    explicit Fd(int Value = -1) : value_(Value) {}
    ~Fd()
    {
        if (value_ >= 0)
            close(value_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return value_; }
    int release()
    {
        const int value = value_;
        value_ = -1;
        return value;
    }

private:
    int value_;
};

struct DirCloser {
    void operator()(DIR* Dir) const { closedir(Dir); }
};

// The entries of an open folder, read through a descriptor of their own.
bool ListFd(int Folder, std::vector<LocalEntry>& Entries, std::string& Error)
{
    Entries.clear();
    Fd copy(dup(Folder));
    if (copy.get() < 0)
        return Fails(Error);
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(copy.get()));
    if (!dir)
        return Fails(Error);
    copy.release();
    rewinddir(dir.get());
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (!entry)
            return errno == 0 || Fails(Error);  // a folder read only in part is not its listing
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        Entries.push_back({name, fstatat(Folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? FromStat(st) : LocalStat {}});
    }
}

LocalIdentity IdentityOf(const struct stat& st)
{
    LocalIdentity identity;
    identity.exists = true;
    identity.volume = static_cast<uint64_t>(st.st_dev);
    identity.index = static_cast<uint64_t>(st.st_ino);
    return identity;
}

// What stands in the way of writing a file at Name: a link or a folder.
bool WritableName(int Folder, const std::string& Name, const LocalIdentity& Expected, std::string& Error)
{
    struct stat st {};
    const bool exists = fstatat(Folder, Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT)
        return Fails(Error);
    if (exists && S_ISLNK(st.st_mode))
        return Fails(Error, "it is a link; not followed");
    if (exists && S_ISDIR(st.st_mode))
        return Fails(Error, "it is a folder");
    if (exists && !S_ISREG(st.st_mode))
        return Fails(Error, "it is a special file");
    if ((exists ? IdentityOf(st) : LocalIdentity {}) != Expected)
        return Fails(Error, "the file that answers to this name is not the one the job found (another name's alias, or put there since); not replaced");
    return true;
}

std::string TemporaryName()
{
    static std::atomic<unsigned> counter {0};
    return ".zqk-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".part";
}

// The new file of a temporary name in Folder that will become Name, once
// nothing is in the way of it: its descriptor, or -1 with the reason.
int NewFileFor(int Folder, const std::string& Name, const LocalIdentity& Expected, std::string& Temporary,
               std::string& Error)
{
    if (!WritableName(Folder, Name, Expected, Error))
        return -1;
    Temporary = TemporaryName();
    const int file = openat(Folder, Temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (file < 0)
        Fails(Error);
    return file;
}

bool WriteAll(int File, const std::string& Data, std::string& Error)
{
    for (size_t done = 0; done < Data.size();) {
        const ssize_t n = write(File, Data.data() + done, Data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fails(Error);
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

LocalIdentity IdentityLocal(const std::string& Path)
{
    struct stat st {};
    return lstat(Path.c_str(), &st) == 0 ? IdentityOf(st) : LocalIdentity {};
}

const char* LocalSeparators()
{
    return "/";
}

std::unique_ptr<LocalFolder> LocalFolder::Open(const std::string& Path, std::string& Error)
{
    const int fd = open(Path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        Fails(Error);
        return nullptr;
    }
    return std::unique_ptr<LocalFolder>(new LocalFolder(fd, Path));
}

std::unique_ptr<LocalFolder> LocalFolder::OpenFolder(const std::string& Name, std::string& Error) const
{
    const int fd = openat(static_cast<int>(native_), Name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        struct stat st {};
        const bool link = errno == ELOOP || (fstatat(static_cast<int>(native_), Name.c_str(), &st,
                                                     AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode));
        if (link)
            Fails(Error, "it is a link; not followed");
        else
            Fails(Error);
        return nullptr;
    }
    return std::unique_ptr<LocalFolder>(new LocalFolder(fd, path_ + "/" + Name));
}

LocalFolder::~LocalFolder()
{
    close(static_cast<int>(native_));
}

LocalStat LocalFolder::Stat(const std::string& Name) const
{
    struct stat st {};
    return fstatat(static_cast<int>(native_), Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? FromStat(st) : LocalStat {};
}

LocalIdentity LocalFolder::Identity(const std::string& Name) const
{
    struct stat st {};
    return fstatat(static_cast<int>(native_), Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? IdentityOf(st)
                                                                                           : LocalIdentity {};
}

bool LocalFolder::List(std::vector<LocalEntry>& Entries, std::string& Error) const
{
    return ListFd(static_cast<int>(native_), Entries, Error);
}

bool LocalFolder::MakeFolder(const std::string& Name, std::string& Error) const
{
    if (mkdirat(static_cast<int>(native_), Name.c_str(), 0777) == 0)
        return true;
    if (errno == EEXIST && Stat(Name).kind == LocalKind::Folder)
        return true;
    if (errno == EEXIST && Stat(Name).kind == LocalKind::Other)
        return Fails(Error, "it is a link or special file; not followed");
    return Fails(Error);
}

bool LocalFolder::ReadFile(const std::string& Name, std::string& Data, std::string& Error) const
{
    Fd file(openat(static_cast<int>(native_), Name.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0)
        return errno == ELOOP ? Fails(Error, "it is a link; not followed") : Fails(Error);
    struct stat st {};
    if (fstat(file.get(), &st) != 0)
        return Fails(Error);
    if (!S_ISREG(st.st_mode))
        return Fails(Error, S_ISDIR(st.st_mode) ? "it is a folder" : "it is a special file");
    if (st.st_size > INT32_MAX)
        return Fails(Error, "it is larger than the device takes (2 GiB)");
    Data.assign(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < Data.size()) {
        const ssize_t n = read(file.get(), &Data[done], Data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fails(Error);
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    Data.resize(done);  // it shrank while read: what it held
    return true;
}

bool LocalFolder::WriteFile(const std::string& Name, const std::string& Data, const int64_t* Modified,
                            const LocalIdentity& Expected, std::string& Error) const
{
    const int folder = static_cast<int>(native_);
    std::string temporary;
    Fd file(NewFileFor(folder, Name, Expected, temporary, Error));
    if (file.get() < 0)
        return false;
    bool written = WriteAll(file.get(), Data, Error);
    if (written && Modified) {
        struct timespec times[2] {};
        times[0].tv_nsec = UTIME_OMIT;
        times[1].tv_sec = static_cast<time_t>(*Modified);
        written = futimens(file.get(), times) == 0 || Fails(Error);
    }
    written = written && (fsync(file.get()) == 0 || Fails(Error));
    const bool closed = close(file.release()) == 0;
    if (written && !closed)
        written = Fails(Error);
    // Looked at again just before: the name may have become a link or a folder meanwhile.
    written = written && WritableName(folder, Name, Expected, Error) &&
              (renameat(folder, temporary.c_str(), folder, Name.c_str()) == 0 || Fails(Error));
    if (!written)
        unlinkat(folder, temporary.c_str(), 0);
    return written;
}

bool LocalFolder::CanWriteFile(const std::string& Name, const LocalIdentity& Expected, std::string& Error) const
{
    const int folder = static_cast<int>(native_);
    std::string probe;
    Fd file(NewFileFor(folder, Name, Expected, probe, Error));
    if (file.get() < 0)
        return false;
    unlinkat(folder, probe.c_str(), 0);
    return true;
}

bool LocalFolder::RemoveEntry(const std::string& Name, std::string& Error) const
{
    return unlinkat(static_cast<int>(native_), Name.c_str(), 0) == 0 || Fails(Error);
}

bool LocalFolder::RemoveEmptyFolder(const std::string& Name, std::string& Error) const
{
    return unlinkat(static_cast<int>(native_), Name.c_str(), AT_REMOVEDIR) == 0 || Fails(Error);
}

LocalStat StatLocal(const std::string& Path)
{
    struct stat st {};
    if (lstat(Path.c_str(), &st) != 0)
        return LocalStat {};
    return FromStat(st);
}

bool ListLocal(const std::string& Folder, std::vector<LocalEntry>& Entries, std::string& Error)
{
    Entries.clear();
    Fd folder(open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return (folder.get() >= 0 || Fails(Error)) && ListFd(folder.get(), Entries, Error);
}






std::string PlatformNameProblem(const std::string&)
{
    return std::string();
}

bool CaseBlindByDefault()
{
    return false;
}

std::tm LocalTimeOf(int64_t UnixSeconds)
{
    const time_t t = static_cast<time_t>(UnixSeconds);
    std::tm local {};
    localtime_r(&t, &local);
    return local;
}

}  // namespace zqktool
