#pragma once
// The local file system as the tool's transfers need it, one file per
// platform (local_files_linux.cpp, local_files_windows.cpp). Paths are 8-bit
// strings as the library takes them. Symbolic links are never followed: a
// link is an entry of its own kind.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace zqktool {

enum class LocalKind { Missing, File, Folder, Other };

struct LocalStat {
    LocalKind kind = LocalKind::Missing;
    int64_t size = 0;
    int64_t modified = 0;  // Unix seconds
};

struct LocalEntry {
    std::string name;
    LocalStat stat;
};

LocalStat StatLocal(const std::string& Path);
// False with the reason when the folder cannot be read.
bool ListLocal(const std::string& Folder, std::vector<LocalEntry>& Entries, std::string& Error);
// One folder (its parent must exist); an existing folder is fine.
bool MakeLocalFolder(const std::string& Path, std::string& Error);
// A file or a link; an empty folder.
bool RemoveLocalFile(const std::string& Path, std::string& Error);
bool RemoveLocalFolder(const std::string& Path, std::string& Error);
bool SetLocalModified(const std::string& Path, int64_t UnixSeconds, std::string& Error);
// True when both paths name one existing entry (as two spellings of a name
// do in a folder that does not tell case apart).
bool SameLocalEntry(const std::string& A, const std::string& B);
// Why this system's file names cannot hold Name, beyond what no system's
// can ("/", a control byte, "." and ".."); empty when they can.
std::string PlatformNameProblem(const std::string& Name);
// Whether a folder tells case apart when nothing in it shows it.
bool CaseBlindByDefault();
// The local time of a Unix time, as localtime gives it.
std::tm LocalTimeOf(int64_t UnixSeconds);

}  // namespace zqktool
