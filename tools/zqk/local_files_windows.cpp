// The ANSI functions, as the library opens local files with them.
#include <windows.h>

#include <atomic>
#include <cctype>
#include <climits>
#include <cstring>
#include <ctime>

#include "local_files.h"

namespace zqktool {

namespace {

constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;  // 100 ns steps from 1601
constexpr int64_t kFileTimePerSecond = 10000000;

int64_t UnixOf(const FILETIME& Time)
{
    const int64_t ticks = (static_cast<int64_t>(Time.dwHighDateTime) << 32) | Time.dwLowDateTime;
    const int64_t since = ticks - kUnixEpochAsFileTime;
    return since >= 0 ? since / kFileTimePerSecond : -((-since + kFileTimePerSecond - 1) / kFileTimePerSecond);
}

FILETIME FileTimeOf(int64_t UnixSeconds)
{
    const auto ticks = static_cast<uint64_t>(UnixSeconds * kFileTimePerSecond + kUnixEpochAsFileTime);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

LocalStat FromAttributes(DWORD Attributes, DWORD SizeHigh, DWORD SizeLow, const FILETIME& Written)
{
    LocalStat s;
    s.kind = (Attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? LocalKind::Other
             : (Attributes & FILE_ATTRIBUTE_DIRECTORY)   ? LocalKind::Folder
                                                         : LocalKind::File;
    s.size = (static_cast<int64_t>(SizeHigh) << 32) | SizeLow;
    s.modified = UnixOf(Written);
    return s;
}

bool Fails(std::string& Error, DWORD Code = GetLastError())
{
    char text[512] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, Code, 0, text,
                                   sizeof text, nullptr);
    Error = n ? std::string(text, n) : "error " + std::to_string(Code);
    while (!Error.empty() && (Error.back() == '\n' || Error.back() == '\r' || Error.back() == '.'))
        Error.pop_back();
    return false;
}

// A handle on the entry itself, not on what a link leads to.
HANDLE OpenEntry(const std::string& Path, DWORD Access)
{
    return CreateFileA(Path.c_str(), Access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool Fails(std::string& Error, const char* Why)
{
    Error = Why;
    return false;
}

// A handle that closes itself.
class Handle {
public:
    explicit Handle(HANDLE Value = INVALID_HANDLE_VALUE) : value_(Value) {}
    ~Handle()
    {
        if (value_ != INVALID_HANDLE_VALUE)
            CloseHandle(value_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return value_; }
    bool valid() const { return value_ != INVALID_HANDLE_VALUE; }
    HANDLE release()
    {
        const HANDLE value = value_;
        value_ = INVALID_HANDLE_VALUE;
        return value;
    }

private:
    HANDLE value_;
};

LocalIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& Info)
{
    LocalIdentity identity;
    identity.exists = true;
    identity.volume = Info.dwVolumeSerialNumber;
    identity.index = (static_cast<uint64_t>(Info.nFileIndexHigh) << 32) | Info.nFileIndexLow;
    return identity;
}

std::string InFolder(const std::string& Folder, const std::string& Name)
{
    return Folder.empty() || Folder.back() == '\\' || Folder.back() == '/' ? Folder + Name : Folder + "\\" + Name;
}

// A folder held open, for one by its path (links followed: the user's) or
// for one in another (a link refused). Held without sharing delete, so that
// it cannot be renamed, removed or swapped for a link while it is held.
HANDLE OpenFolderHandle(const std::string& Path, bool Follow, std::string& Error)
{
    Handle folder(CreateFileA(Path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | (Follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr));
    BY_HANDLE_FILE_INFORMATION info {};
    if (!folder.valid() || !GetFileInformationByHandle(folder.get(), &info)) {
        Fails(Error);
        return INVALID_HANDLE_VALUE;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        Fails(Error, "it is a link; not followed");
        return INVALID_HANDLE_VALUE;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Fails(Error, "it is not a folder");
        return INVALID_HANDLE_VALUE;
    }
    return folder.release();
}

// One folder (its parent must exist); an existing folder is fine, a link is not.
bool MakeLocalFolder(const std::string& Path, std::string& Error)
{
    if (CreateDirectoryA(Path.c_str(), nullptr))
        return true;
    const DWORD why = GetLastError();
    if (why == ERROR_ALREADY_EXISTS && StatLocal(Path).kind == LocalKind::Folder)
        return true;
    return Fails(Error, why);
}

// A file or a link (a link to a folder goes as a folder does); an empty folder.
bool RemoveLocalFile(const std::string& Path, std::string& Error)
{
    if (DeleteFileA(Path.c_str()))
        return true;
    // A link to a folder goes as a folder does.
    return (StatLocal(Path).kind == LocalKind::Other && RemoveDirectoryA(Path.c_str())) || Fails(Error);
}

bool RemoveLocalFolder(const std::string& Path, std::string& Error)
{
    return RemoveDirectoryA(Path.c_str()) || Fails(Error);
}

// What stands in the way of writing a file at Path: a link, a folder, or an
// entry that is not the one planned (an 8.3 alias or a case fold of another
// file's name opens that file).
bool WritableName(const std::string& Path, const LocalIdentity& Expected, std::string& Error)
{
    Handle entry(OpenEntry(Path, FILE_READ_ATTRIBUTES));
    LocalIdentity found;
    if (entry.valid()) {
        BY_HANDLE_FILE_INFORMATION info {};
        if (!GetFileInformationByHandle(entry.get(), &info))
            return Fails(Error);
        if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return Fails(Error, "it is a link; not followed");
        if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            return Fails(Error, "it is a folder");
        found = IdentityOf(info);
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        return Fails(Error);
    }
    if (found != Expected)
        return Fails(Error, "the file that answers to this name is not the one the job found (another name's alias, "
                            "or put there since); not replaced");
    return true;
}

std::string TemporaryName()
{
    static std::atomic<unsigned> counter {0};
    return ".zqk-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter) + ".part";
}

}  // namespace

LocalIdentity IdentityLocal(const std::string& Path)
{
    Handle entry(OpenEntry(Path, FILE_READ_ATTRIBUTES));
    BY_HANDLE_FILE_INFORMATION info {};
    return entry.valid() && GetFileInformationByHandle(entry.get(), &info) ? IdentityOf(info) : LocalIdentity {};
}

const char* LocalSeparators()
{
    return "/\\";
}

std::unique_ptr<LocalFolder> LocalFolder::Open(const std::string& Path, std::string& Error)
{
    const HANDLE folder = OpenFolderHandle(Path, true, Error);
    if (folder == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::unique_ptr<LocalFolder>(new LocalFolder(reinterpret_cast<intptr_t>(folder), Path));
}

std::unique_ptr<LocalFolder> LocalFolder::OpenFolder(const std::string& Name, std::string& Error) const
{
    const std::string path = InFolder(path_, Name);
    const HANDLE folder = OpenFolderHandle(path, false, Error);
    if (folder == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::unique_ptr<LocalFolder>(new LocalFolder(reinterpret_cast<intptr_t>(folder), path));
}

LocalFolder::~LocalFolder()
{
    CloseHandle(reinterpret_cast<HANDLE>(native_));
}

LocalStat LocalFolder::Stat(const std::string& Name) const
{
    return StatLocal(InFolder(path_, Name));
}

LocalIdentity LocalFolder::Identity(const std::string& Name) const
{
    return IdentityLocal(InFolder(path_, Name));
}

bool LocalFolder::List(std::vector<LocalEntry>& Entries, std::string& Error) const
{
    return ListLocal(path_, Entries, Error);
}

bool LocalFolder::MakeFolder(const std::string& Name, std::string& Error) const
{
    return MakeLocalFolder(InFolder(path_, Name), Error);
}

bool LocalFolder::ReadFile(const std::string& Name, std::string& Data, std::string& Error) const
{
    Handle file(CreateFileA(InFolder(path_, Name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    BY_HANDLE_FILE_INFORMATION info {};
    if (!file.valid() || !GetFileInformationByHandle(file.get(), &info))
        return Fails(Error);
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return Fails(Error, "it is a link; not followed");
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return Fails(Error, "it is a folder");
    if (info.nFileSizeHigh != 0 || info.nFileSizeLow > static_cast<DWORD>(INT32_MAX))
        return Fails(Error, "it is larger than the device takes (2 GiB)");
    Data.assign(info.nFileSizeLow, '\0');
    DWORD done = 0;
    while (done < Data.size()) {
        DWORD n = 0;
        if (!::ReadFile(file.get(), &Data[done], static_cast<DWORD>(Data.size()) - done, &n, nullptr))
            return Fails(Error);
        if (n == 0)
            break;
        done += n;
    }
    Data.resize(done);  // it shrank while read: what it held
    return true;
}

bool LocalFolder::WriteFile(const std::string& Name, const std::string& Data, const int64_t* Modified,
                            const LocalIdentity& Expected, std::string& Error) const
{
    const std::string target = InFolder(path_, Name), temporary = InFolder(path_, TemporaryName());
    if (!WritableName(target, Expected, Error))
        return false;
    bool written = false;
    {
        Handle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid())
            return Fails(Error);
        written = true;
        for (DWORD done = 0; written && done < Data.size();) {
            DWORD n = 0;
            written = ::WriteFile(file.get(), Data.data() + done, static_cast<DWORD>(Data.size()) - done, &n, nullptr) ||
                      Fails(Error);
            done += n;
        }
        if (written && Modified) {
            const FILETIME time = FileTimeOf(*Modified);
            written = SetFileTime(file.get(), nullptr, nullptr, &time) || Fails(Error);
        }
        written = written && (FlushFileBuffers(file.get()) || Fails(Error));
    }
    // Looked at again just before: the name may have become a link or another file meanwhile.
    written = written && WritableName(target, Expected, Error) &&
              (MoveFileExA(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) || Fails(Error));
    if (!written)
        DeleteFileA(temporary.c_str());
    return written;
}

bool LocalFolder::CanWriteFile(const std::string& Name, const LocalIdentity& Expected, std::string& Error) const
{
    if (!WritableName(InFolder(path_, Name), Expected, Error))
        return false;
    const std::string probe = InFolder(path_, TemporaryName());
    {
        Handle file(CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid())
            return Fails(Error);
    }
    DeleteFileA(probe.c_str());
    return true;
}

bool LocalFolder::RemoveEntry(const std::string& Name, std::string& Error) const
{
    return RemoveLocalFile(InFolder(path_, Name), Error);
}

bool LocalFolder::RemoveEmptyFolder(const std::string& Name, std::string& Error) const
{
    return RemoveLocalFolder(InFolder(path_, Name), Error);
}

LocalStat StatLocal(const std::string& Path)
{
    WIN32_FILE_ATTRIBUTE_DATA data {};
    if (!GetFileAttributesExA(Path.c_str(), GetFileExInfoStandard, &data))
        return LocalStat {};
    return FromAttributes(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow, data.ftLastWriteTime);
}

bool ListLocal(const std::string& Folder, std::vector<LocalEntry>& Entries, std::string& Error)
{
    Entries.clear();
    WIN32_FIND_DATAA found {};
    const HANDLE search = FindFirstFileA((Folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || Fails(Error);
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..")
            Entries.push_back({name, FromAttributes(found.dwFileAttributes, found.nFileSizeHigh, found.nFileSizeLow,
                                                    found.ftLastWriteTime)});
    } while (FindNextFileA(search, &found));
    const DWORD why = GetLastError();
    FindClose(search);
    return why == ERROR_NO_MORE_FILES || Fails(Error, why);
}






std::string PlatformNameProblem(const std::string& Name)
{
    for (const char c : Name) {
        if (std::strchr("<>:\"|?*", c) && c != '\0')
            return std::string("it holds \"") + c + "\", which file names here cannot hold";
    }
    if (!Name.empty() && (Name.back() == '.' || Name.back() == ' '))
        return "it ends in a dot or a blank, which file names here drop";
    std::string base = Name.substr(0, Name.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char& c : base)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const bool numbered = base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
                          base[3] >= '1' && base[3] <= '9';
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || numbered)
        return "it names the device " + base + " here, not a file";
    return std::string();
}

bool CaseBlindByDefault()
{
    return true;
}

std::tm LocalTimeOf(int64_t UnixSeconds)
{
    const __time64_t t = UnixSeconds;
    std::tm local {};
    _localtime64_s(&local, &t);
    return local;
}

}  // namespace zqktool
