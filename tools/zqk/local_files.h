#pragma once
// The local file system as the tool's transfers need it: what is the same
// everywhere in local_files.cpp, the rest one file per platform
// (local_files_posix.cpp, local_files_windows.cpp). Paths are 8-bit
// strings as the library takes them. Symbolic links are never followed: a
// link is an entry of its own kind.
#include <cstdint>
#include <ctime>
#include <memory>
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
// Why this system's file names cannot hold Name, beyond what no system's
// can ("/", a control byte, "." and ".."); empty when they can.
std::string PlatformNameProblem(const std::string& Name);
// Whether a folder tells case apart when nothing in it shows it.
bool CaseBlindByDefault();
// The characters that part a local path here.
const char* LocalSeparators();

// ---- local paths as strings ----
// Without separators at the end (a root keeps its own).
std::string LocalTrimmed(std::string Path);
// The folder a local path is in ("." for a name alone; a root is its own),
// and its last part.
std::string LocalParent(const std::string& Path);
std::string LocalLeaf(const std::string& Path);

// Which file an entry is, from its own handle (volume and file number): two
// names with one identity are one file, whatever their spelling.
struct LocalIdentity {
    bool exists = false;
    uint64_t volume = 0, index = 0;
    bool operator==(const LocalIdentity& Other) const
    {
        return exists == Other.exists && (!exists || (volume == Other.volume && index == Other.index));
    }
    bool operator!=(const LocalIdentity& Other) const { return !(*this == Other); }
};
// The identity of the entry at Path itself (a link is not followed).
LocalIdentity IdentityLocal(const std::string& Path);

// A local folder held open. What a job makes, writes, stamps, lists and
// removes in it acts on this folder itself, never on its path looked up
// again: a folder swapped for a link while a job runs is not written
// through. Names are entries of the folder, not paths; a link is never
// followed.
class LocalFolder {
public:
    // The folder at Path, as the user names it (links on the way are theirs).
    static std::unique_ptr<LocalFolder> Open(const std::string& Path, std::string& Error);
    // The folder Name in this one; a link or anything else is refused.
    std::unique_ptr<LocalFolder> OpenFolder(const std::string& Name, std::string& Error) const;
    ~LocalFolder();
    LocalFolder(const LocalFolder&) = delete;
    LocalFolder& operator=(const LocalFolder&) = delete;

    LocalStat Stat(const std::string& Name) const;
    LocalIdentity Identity(const std::string& Name) const;
    bool List(std::vector<LocalEntry>& Entries, std::string& Error) const;
    // An existing folder is fine; a link is not.
    bool MakeFolder(const std::string& Name, std::string& Error) const;
    // The contents of the plain file Name.
    bool ReadFile(const std::string& Name, std::string& Data, std::string& Error) const;
    // Makes or replaces the file Name with Data, whole or not at all: a new
    // file of its own in this folder, stamped Modified (Unix seconds) where
    // given, renamed over Name once written. Refused when Name is a link or
    // a folder, or when the entry that answers to Name is not Expected (the
    // one the job planned to replace, or none): another file's alias, or one
    // put there since.
    bool WriteFile(const std::string& Name, const std::string& Data, const int64_t* Modified,
                   const LocalIdentity& Expected, std::string& Error) const;
    // Whether WriteFile could write Name now: nothing in the way (as WriteFile
    // judges it) and a new file can be made in this folder (one is made and
    // removed again). A transfer asks before its bytes cross the link.
    bool CanWriteFile(const std::string& Name, const LocalIdentity& Expected, std::string& Error) const;
    // A file or a link; a folder with everything in it, no link followed.
    bool Remove(const std::string& Name, std::string& Error) const;

private:
    // The platform's part of Remove: a file or a link, and a folder once empty.
    bool RemoveEntry(const std::string& Name, std::string& Error) const;
    bool RemoveEmptyFolder(const std::string& Name, std::string& Error) const;
    // Everything in the folder Name, no link followed.
    bool RemoveContents(const std::string& Name, std::string& Error) const;

    LocalFolder(intptr_t Native, std::string Path) : native_(Native), path_(std::move(Path)) {}
    intptr_t native_;   // the platform's handle of the open folder
    std::string path_;  // as it was opened, for the platforms that name entries by path
};
// All of standard input, and Data to standard output, byte for byte.
bool ReadStandardInput(std::string& Data, std::string& Error);
bool WriteStandardOutput(const std::string& Data, std::string& Error);
// The local time of a Unix time, as localtime gives it.
std::tm LocalTimeOf(int64_t UnixSeconds);

}  // namespace zqktool
