// The file system that the mount shows: how its changes reach the device
// (sent, kept while the device is held, left in a local folder at the end),
// and the checks that refuse a change before the device sees it.
#include "mount_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>

namespace zqktool::mounting {
int MountedFiles::Send(OpenFile& File)
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

int MountedFiles::SendWaiting(OpenFile& File, std::chrono::steady_clock::duration Wait)
{
    const auto deadline = std::chrono::steady_clock::now() + Wait;
    int failed = Send(File);
    while (failed == -EBUSY && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kBusyPause);
        failed = Send(File);
    }
    return failed;
}

int MountedFiles::SendOrKeep(OpenFile& File)
{
    const int failed = Gone() ? -EIO : Send(File);
    Report(File, failed);
    if (failed == -EOPNOTSUPP || Gone())
        File.dirty = false;
    return failed;
}

int MountedFiles::SendAndKeep(OpenFile& File)
{
    const int failed = Send(File);
    if (!failed)
        cache_.Put(File.path, std::move(File.data), File.deviceTime);
    return failed;
}

void MountedFiles::Report(OpenFile& File, int Failed)
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

std::vector<std::shared_ptr<OpenFile>> MountedFiles::UnsentFiles(bool ClosedOnly) const
{
    std::vector<std::shared_ptr<OpenFile>> unsent;
    for (const auto& [key, file] : byPath_)
        if (Unsent(*file) && (!ClosedOnly || file->handles == 0))
            unsent.push_back(file);
    return unsent;
}

int MountedFiles::SendRound(const std::vector<std::shared_ptr<OpenFile>>& Files)
{
    for (const std::shared_ptr<OpenFile>& file : Files) {
        if (SendOrKeep(*file) == -EBUSY)
            return -EBUSY;
        if (!Unsent(*file) && file->handles == 0)
            Close(file);
    }
    return 0;
}

void MountedFiles::Close(const std::shared_ptr<OpenFile>& File)
{
    const auto known = byPath_.find(Key(File->path));
    if (known != byPath_.end() && known->second == File)
        byPath_.erase(known);
    if (File->loaded && !File->dirty && File->onDevice && !File->path.empty() && File->unsent == 0)
        cache_.Put(File->path, std::move(File->data), File->deviceTime);
}

void MountedFiles::KeepLocally(OpenFile& File)
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

int MountedFiles::RefuseNewName(const std::string& Path)
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

int MountedFiles::StoredTwin(const std::string& Dir, const std::string& Leaf, std::string& Twin)
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

int MountedFiles::RefuseUnreadFolder(const std::string& Path)
{
    const DeviceFiles::Folder* folder = nullptr;
    if (const int failed = device_.List(ParentOf(Path), folder))
        return failed;
    if (folder->unreadable == 0)
        return 0;
    return Refuse(LeafOf(Path), ParentOf(Path), "the device listed lines there that are no entry, "
                                                "and one may be of this name", EIO);
}

int MountedFiles::Refuse(const std::string& Leaf, const std::string& Dir, const std::string& Why, int Error)
{
    Say("refused " + JsonString(Leaf) + " in " + Shown(Dir) + ": " + Why);
    return -Error;
}

int MountedFiles::RefuseFullDir(const std::string& Path)
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

int MountedFiles::ClearTarget(const std::string& To, const Entry* Target, bool SourceIsDir, unsigned int Flags)
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

int MountedFiles::DeleteKeepingReaders(const std::string& Path)
{
    if (const std::shared_ptr<OpenFile> file = OpenAt(Path); file && file->onDevice)
        if (const int failed = Load(*file))
            return failed;
    return device_.Delete(Path);
}

void MountedFiles::Forget(const std::string& Path)
{
    if (const std::shared_ptr<OpenFile> file = OpenAt(Path)) {
        file->path.clear();
        file->dirty = false;
        byPath_.erase(Key(Path));
    }
    cache_.Erase(Path);
}

void MountedFiles::MoveOpenFiles(const std::string& From, const std::string& To)
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


}  // namespace zqktool::mounting
