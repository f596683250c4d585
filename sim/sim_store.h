#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zqk::sim {

// Names compare without regard to ASCII case, as on a FAT volume (the case
// given at creation is kept), unless the file system is made case-sensitive.
struct NameLess {
    bool CaseSensitive = false;
    bool operator()(const std::string& a, const std::string& b) const;
    // Whether the two name one entry.
    bool Same(const std::string& a, const std::string& b) const { return !(*this)(a, b) && !(*this)(b, a); }
};

// A path on the device: its names from the root down ("/" is none).
using SimPath = std::vector<std::string>;

// What the device keeps of an entry beside its name and contents.
struct SimStamp {
    uint8_t Attributes = 0x20;
    uint32_t Times[3] = {0, 0, 0};  // DOS packed: modified, created, accessed
};

// What a listing shows of one entry.
struct SimEntry {
    std::string Name;
    bool IsDir = false;
    uint64_t Size = 0;
    SimStamp Stamp;
};

// Where the device keeps its files: a tree in memory, or a host folder that
// every program opening it shares. The device's rules (what may be deleted,
// what exists already) are the file system's; a store only looks and acts,
// and a change it cannot make is false. Whoever looks before acting holds
// the store for both, so that no other program's change comes between.
class SimStore {
public:
    // Keeps other programs' changes out while it lives.
    class Hold {
    public:
        virtual ~Hold() = default;
    };

    virtual ~SimStore() = default;

    // Null when the store cannot be held (the host refuses its lock).
    virtual std::unique_ptr<Hold> HoldFor(bool Changing) = 0;
    // How names compare in it.
    virtual NameLess Names() const = 0;

    // The entry at Path (the root is a folder named ""); nothing when none.
    virtual std::optional<SimEntry> Look(const SimPath& Path) = 0;
    // A folder's entries in name order; false when Dir is no folder.
    virtual bool List(const SimPath& Dir, std::vector<SimEntry>& Entries) = 0;
    // Hands a file's contents to Use (without a copy where the store can);
    // false when File is no file or cannot be read.
    virtual bool Read(const SimPath& File, const std::function<void(std::string_view)>& Use) = 0;

    // Each below is called with the store held for changing, after the
    // file system has checked that its parent is a folder.
    virtual bool MakeDir(const SimPath& Dir, uint32_t Time) = 0;
    // A file, or a folder with everything in it.
    virtual bool Remove(const SimPath& Path) = 0;
    // To a free name.
    virtual bool Move(const SimPath& From, const SimPath& To) = 0;
    // Makes or replaces a file, whole: no reader sees part of it.
    virtual bool Write(const SimPath& File, const std::string& Data, const SimStamp& Stamp) = 0;
};

}  // namespace zqk::sim
