#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

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
    DIR* dir = opendir(Folder.c_str());
    if (!dir)
        return Fails(Error);
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        Entries.push_back({name, StatLocal(Folder + "/" + name)});
    }
    closedir(dir);
    return true;
}

bool MakeLocalFolder(const std::string& Path, std::string& Error)
{
    if (mkdir(Path.c_str(), 0777) == 0)
        return true;
    if (errno == EEXIST && StatLocal(Path).kind == LocalKind::Folder)
        return true;
    return Fails(Error);
}

bool RemoveLocalFile(const std::string& Path, std::string& Error)
{
    return unlink(Path.c_str()) == 0 || Fails(Error);
}

bool RemoveLocalFolder(const std::string& Path, std::string& Error)
{
    return rmdir(Path.c_str()) == 0 || Fails(Error);
}

bool SetLocalModified(const std::string& Path, int64_t UnixSeconds, std::string& Error)
{
    struct timespec times[2] {};
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(UnixSeconds);
    return utimensat(AT_FDCWD, Path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 || Fails(Error);
}

bool SameLocalEntry(const std::string& A, const std::string& B)
{
    struct stat a {}, b {};
    return lstat(A.c_str(), &a) == 0 && lstat(B.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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
