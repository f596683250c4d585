// The device's files through one handle: see mount_device_files.h.
#include "mount_device_files.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "zqkAPI.h"

namespace zqktool::mounting {

template <typename Done>
int DeviceFiles::Change(bool Succeeded, const std::string& What, std::initializer_list<std::string> Paths, Done&& Apply)
{
    if (Succeeded) {
        Apply();
        return 0;
    }
    Unknown(Paths);
    return Failed(What, EACCES);
}

int DeviceFiles::List(const std::string& Dir, const Folder*& Found)
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

int DeviceFiles::ListAfresh(const std::string& Dir, const Folder*& Found)
{
    listings_.erase(names_.Key(Dir));
    return List(Dir, Found);
}

int DeviceFiles::Lookup(const std::string& Path, Entry& Found)
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

int DeviceFiles::NewContents(Contents& Out)
{
    const std::string local = NewLocal();
    std::remove(local.c_str());
    if (const int failed = Out.Adopt(local))
        return LocalFailure("cannot keep contents in " + local, failed);
    return 0;
}

int DeviceFiles::Read(const std::string& Path, Contents& Data)
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

int DeviceFiles::Write(const std::string& Path, const Contents& Data, int64_t Time)
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

int DeviceFiles::Delete(const std::string& Path)
{
    return Change(zqkDevFileDelete(handle_, Path.c_str()) == 0, "cannot delete " + Path, {Path},
                  [&] { NoteGone(Path); });
}

int DeviceFiles::MakeDir(const std::string& Path)
{
    return Change(zqkDevDirMake(handle_, Path.c_str()) == 0, "cannot make " + Path, {Path}, [&] {
        Note(Path, Entry {LeafOf(Path), 0, kDirectoryBit, DeviceTime(time(nullptr)) & ~int64_t {1}});
        listings_[names_.Key(Path)] = Folder {std::chrono::steady_clock::now(), {}, 0, 0};
    });
}

int DeviceFiles::RemoveDir(const std::string& Path)
{
    return Change(zqkDevDirRemove(handle_, Path.c_str()) == 0, "cannot remove " + Path, {Path}, [&] {
        NoteGone(Path);
        ForgetTree(Path);
    });
}

int DeviceFiles::Rename(const std::string& From, const std::string& To)
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

int DeviceFiles::Fetch(const std::string& Dir, Folder& Into)
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

void DeviceFiles::Hide(const std::string& Dir, const std::string& What)
{
    SayOnce(Dir + "\n" + What, "hidden in " + Dir + ": " + What + ", which cannot be a local file name");
}

void DeviceFiles::SayOnce(const std::string& Key, const std::string& Text)
{
    if (said_.insert(Key).second)
        Say(Text);
}


void DeviceFiles::Unknown(std::initializer_list<std::string> Paths)
{
    for (const std::string& path : Paths)
        listings_.erase(names_.Key(ParentOf(path)));
}

bool DeviceFiles::Cached(const std::string& Path, Entry& Found) const
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

std::map<std::string, Entry>* DeviceFiles::KeptEntries(const std::string& Path)
{
    const auto listing = listings_.find(names_.Key(ParentOf(Path)));
    return listing == listings_.end() ? nullptr : &listing->second.entries;
}

void DeviceFiles::Note(const std::string& Path, Entry Now)
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

void DeviceFiles::NoteGone(const std::string& Path)
{
    ForgetMade(Path);
    if (std::map<std::string, Entry>* entries = KeptEntries(Path))
        entries->erase(names_.Key(LeafOf(Path)));
}

void DeviceFiles::NoteMade(const std::string& Path)
{
    const std::string leaf = LeafOf(Path);
    if (StoredName(leaf, names_.quoted) != leaf)
        madeAs_[names_.Key(ParentOf(Path))][names_.StoredKey(leaf)] = leaf;
}

void DeviceFiles::ForgetMade(const std::string& Path)
{
    const auto made = madeAs_.find(names_.Key(ParentOf(Path)));
    if (made != madeAs_.end())
        made->second.erase(names_.StoredKey(LeafOf(Path)));
}

void DeviceFiles::ForgetTree(const std::string& Path)
{
    const std::string key = names_.Key(Path);
    const auto below = [&](const std::string& Dir) { return Dir == key || IsUnder(Dir, key); };
    for (auto listing = listings_.begin(); listing != listings_.end();)
        listing = below(listing->first) ? listings_.erase(listing) : std::next(listing);
    for (auto made = madeAs_.begin(); made != madeAs_.end();)
        made = below(made->first) ? madeAs_.erase(made) : std::next(made);
}

int DeviceFiles::Failed(const std::string& What, int Refused, bool Said)
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

int DeviceFiles::LocalFailure(const std::string& What, int Error)
{
    const int error = Error < 0 ? -Error : Error;
    lastFailure_ = What + ": " + (error == EIO ? StatusText() : std::string(std::strerror(error)));
    Say(lastFailure_);
    return -error;
}

}  // namespace zqktool::mounting
