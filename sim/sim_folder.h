#pragma once
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "sim/sim_store.h"

namespace zqk::sim {

// The simulated device's files in a folder of the host, shared by every
// program that opens it: each command looks at the folder as it is now and
// changes only the entry it names, so programs see each other's changes as
// on a real device. Entries are files and folders there; their attribute
// bytes and time stamps go to an index file at the top, replaced whole on
// each change. Host names starting ".zqk-" are the simulator's own (the
// index, the lock that keeps programs' looks and changes apart, files being
// written, and the device lock) and never entries. A name that a host
// folder cannot hold as it is (one holding a separator, a control byte or a
// character Windows refuses, ending in a dot or blank, or starting ".zqk-"
// in any case) is kept with each such byte, and every "%", written as %XX.
class SimFolder final : public SimStore {
public:
    static const char* const kIndexName;
    static const char* const kLockName;

    static std::string HostName(const std::string& DeviceName);
    static std::string DeviceName(const std::string& HostName);

    explicit SimFolder(std::filesystem::path Folder, NameLess Names = {});

    // Makes a missing folder, seeded with a small demo tree (whole, so that
    // another program opening it meanwhile finds it complete or not at all).
    // False, with the reason, when the folder cannot be used.
    bool Prepare(std::string& Problem);

    // Takes the lock file at the top: shared for looking, alone for changing.
    std::unique_ptr<Hold> HoldFor(bool Changing) override;
    NameLess Names() const override { return names_; }
    // Looks and lists read the folder as it is now: another program may have
    // changed it since the last command. Files the index does not know show
    // the host's time stamp.
    std::optional<SimEntry> Look(const SimPath& Path) override;
    bool List(const SimPath& Dir, std::vector<SimEntry>& Entries) override;
    bool Read(const SimPath& File, const std::function<void(std::string_view)>& Use) override;
    // Each change acts on the host first and then replaces the index whole.
    bool MakeDir(const SimPath& Dir, uint32_t Time) override;
    bool Remove(const SimPath& Path) override;
    bool Move(const SimPath& From, const SimPath& To) override;
    // Written beside its place and renamed over it.
    bool Write(const SimPath& File, const std::string& Data, const SimStamp& Stamp) override;

    // False when the store did not take all of it.
    static bool SeedDemoTree(SimStore& Files);

private:
    // Stamps by host path from the top ("/logs/a.txt"), names compared as
    // the device does.
    using Index = std::map<std::string, SimStamp, NameLess>;
    struct Located {
        std::filesystem::path Host;
        std::string Key;  // in the index
    };

    std::optional<std::string> HostNameIn(const std::filesystem::path& Dir, const std::string& Name) const;
    std::optional<Located> Locate(const SimPath& Path) const;
    // Where a new entry at Path goes: in its existing parent, under the name
    // of the entry there that has its name, else its own host name.
    std::optional<Located> PlaceOf(const SimPath& Path) const;
    SimEntry Describe(const std::filesystem::directory_entry& Host, const std::string& Name, const std::string& Key,
                      const Index& Stamps) const;
    // The index as it is while the folder is held.
    const Index& Stamps();
    Index ReadIndex() const;
    bool WriteIndex(const Index& Stamps) const;
    // The index changed by Apply and written back, the folder held for changing.
    template <typename Change>
    bool UpdateIndex(Change&& Apply);

    std::filesystem::path folder_;
    NameLess names_;
    std::optional<Index> heldIndex_;  // read while a hold lasts
};

}  // namespace zqk::sim
