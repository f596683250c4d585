// The ANSI functions, as the library opens local files with them.
#include <windows.h>

#include <cctype>
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

}  // namespace

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

bool MakeLocalFolder(const std::string& Path, std::string& Error)
{
    if (CreateDirectoryA(Path.c_str(), nullptr))
        return true;
    const DWORD why = GetLastError();
    if (why == ERROR_ALREADY_EXISTS && StatLocal(Path).kind == LocalKind::Folder)
        return true;
    return Fails(Error, why);
}

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

bool SetLocalModified(const std::string& Path, int64_t UnixSeconds, std::string& Error)
{
    const HANDLE file = OpenEntry(Path, FILE_WRITE_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE)
        return Fails(Error);
    const FILETIME written = FileTimeOf(UnixSeconds);
    const bool set = SetFileTime(file, nullptr, nullptr, &written) != 0;
    const DWORD why = GetLastError();
    CloseHandle(file);
    return set || Fails(Error, why);
}

bool SameLocalEntry(const std::string& A, const std::string& B)
{
    BY_HANDLE_FILE_INFORMATION info[2] {};
    bool known = true;
    for (int i = 0; i < 2; ++i) {
        const HANDLE entry = OpenEntry(i == 0 ? A : B, 0);
        known = known && entry != INVALID_HANDLE_VALUE && GetFileInformationByHandle(entry, &info[i]);
        if (entry != INVALID_HANDLE_VALUE)
            CloseHandle(entry);
    }
    return known && info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
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
