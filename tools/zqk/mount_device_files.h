#pragma once
// The device's files through one handle, as the mount sees them.
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <set>
#include <string>

#include "mount_contents.h"
#include "mount_support.h"

namespace zqktool::mounting {

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

    int List(const std::string& Dir, const Folder*& Found);

    // Dir read afresh: what the device holds there now, for changes that
    // take everything in it.
    int ListAfresh(const std::string& Dir, const Folder*& Found);

    // -ENOENT only when the device's listing of the folder has no such name.
    int Lookup(const std::string& Path, Entry& Found);

    // Empty contents of a file of their own in the work folder.
    int NewContents(Contents& Out);
    int Read(const std::string& Path, Contents& Data);
    int Write(const std::string& Path, const Contents& Data, int64_t Time);
    int Delete(const std::string& Path);
    int MakeDir(const std::string& Path);
    int RemoveDir(const std::string& Path);
    int Rename(const std::string& From, const std::string& To);

private:
    int Fetch(const std::string& Dir, Folder& Into);
    void Hide(const std::string& Dir, const std::string& What);
    void SayOnce(const std::string& Key, const std::string& Text);

    template <typename Done>
    int Change(bool Succeeded, const std::string& What, std::initializer_list<std::string> Paths, Done&& Apply);

    // After a failed change: what the device holds in the folders of Paths.
    void Unknown(std::initializer_list<std::string> Paths);

    // The entry of Path in the listing kept of its folder.
    bool Cached(const std::string& Path, Entry& Found) const;

    // The listing kept of Path's folder, if any.
    std::map<std::string, Entry>* KeptEntries(const std::string& Path);

    // Path's entry is now Now in the listing kept of its folder; an entry
    // written over keeps the name it had.
    void Note(const std::string& Path, Entry Now);

    // Path's entry has gone.
    void NoteGone(const std::string& Path);

    // Path was made under its own name, which the device may store otherwise.
    void NoteMade(const std::string& Path);
    void ForgetMade(const std::string& Path);

    // The listings kept of Path and the folders below it, and the names
    // made there.
    void ForgetTree(const std::string& Path);

    // The status of the call that failed, as an errno; a refusal by the device
    // is Refused. The reason is said unless the caller says it (Said false).
    int Failed(const std::string& What, int Refused, bool Said = true);

    // The work folder's own failure (a negative errno, or the library's, EIO).
    int LocalFailure(const std::string& What, int Error);

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

}  // namespace zqktool::mounting
