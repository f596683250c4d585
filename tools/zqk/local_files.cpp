// What the local file system is the same on every platform: local paths
// as strings, and the removal of a folder with everything in it. The
// platform's part is in local_files_posix.cpp and local_files_windows.cpp.
#include "local_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zqktool {

namespace {

bool IsLocalSeparator(char c)
{
    return std::strchr(LocalSeparators(), c) != nullptr && c != '\0';
}

// How much of a local path names where it starts: "/", or a drive ("C:", "C:\\").
size_t RootLength(const std::string& path)
{
    if (!path.empty() && IsLocalSeparator(path[0]))
        return 1;
    if (path.size() >= 2 && path[1] == ':' && IsLocalSeparator('\\'))
        return path.size() >= 3 && IsLocalSeparator(path[2]) ? 3 : 2;
    return 0;
}

}  // namespace

std::string LocalTrimmed(std::string path)
{
    while (path.size() > std::max<size_t>(RootLength(path), 1) && IsLocalSeparator(path.back()))
        path.pop_back();
    return path;
}

// The folder a local path is in ("." for a name alone; a root is its own),
// and its last part.
std::string LocalParent(const std::string& given)
{
    const std::string path = LocalTrimmed(given);
    const size_t root = RootLength(path);
    size_t cut = path.size();
    while (cut > root && !IsLocalSeparator(path[cut - 1]))
        --cut;
    if (cut == path.size())
        return path;  // a root
    if (cut == 0)
        return ".";
    while (cut > std::max<size_t>(root, 1) && IsLocalSeparator(path[cut - 1]))
        --cut;
    return path.substr(0, cut);
}

std::string LocalLeaf(const std::string& given)
{
    const std::string path = LocalTrimmed(given);
    size_t cut = path.size();
    while (cut > RootLength(path) && !IsLocalSeparator(path[cut - 1]))
        --cut;
    return path.substr(cut);
}

bool ReadStandardInput(std::string& Data, std::string& Error)
{
    Data.clear();
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0)
        Data.append(chunk, n);
    if (!std::ferror(stdin))
        return true;
    Error = std::strerror(errno);
    return false;
}

bool WriteStandardOutput(const std::string& Data, std::string& Error)
{
    if (std::fwrite(Data.data(), 1, Data.size(), stdout) == Data.size() && std::fflush(stdout) == 0)
        return true;
    Error = std::strerror(errno);
    return false;
}

bool LocalFolder::Remove(const std::string& Name, std::string& Error) const
{
    if (Stat(Name).kind != LocalKind::Folder)
        return RemoveEntry(Name, Error);
    return RemoveContents(Name, Error) && RemoveEmptyFolder(Name, Error);
}

bool LocalFolder::RemoveContents(const std::string& Name, std::string& Error) const
{
    // Closed on return: a folder held open cannot be removed everywhere.
    const std::unique_ptr<LocalFolder> inner = OpenFolder(Name, Error);
    std::vector<LocalEntry> entries;
    if (!inner || !inner->List(entries, Error))
        return false;
    for (const LocalEntry& entry : entries)
        if (!inner->Remove(entry.name, Error))
            return false;
    return true;
}

}  // namespace zqktool
