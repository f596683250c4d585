#pragma once
// The contents of the mount's files, kept in local files, and the cache of
// closed files' contents.
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "mount_support.h"

namespace zqktool::mounting {

// ---- a file's contents ----
// The library moves whole files between the device and local files, so the
// contents of the mount's files are kept in files of the work folder (in
// memory, where that is a memory file system): a file fetched is read where
// the library put it, and a file written is sent from where its writes went,
// never copied through the heap on the way. The file is removed with the
// object.
class Contents {
public:
    Contents() = default;
    ~Contents() { Drop(); }
    Contents(Contents&& Other) noexcept { *this = std::move(Other); }
    Contents& operator=(Contents&& Other) noexcept;
    Contents(const Contents&) = delete;
    Contents& operator=(const Contents&) = delete;

    // Takes over the file at Path (made when missing); -errno when it cannot
    // be opened.
    int Adopt(const std::string& Path);

    bool Held() const { return fd_ >= 0; }
    size_t Size() const { return size_; }
    const std::string& Path() const { return path_; }

    // Bytes read or -errno.
    int Read(char* Buffer, size_t Size, off_t Offset) const;

    // 0 or -errno.
    int Write(const char* Buffer, size_t Size, off_t Offset);
    int Resize(off_t Size);

    // Moves the file to Path, where it outlives the object; -errno when it
    // cannot be moved (then it stays held).
    int MoveTo(const std::string& Path);

private:
    void Drop();

    std::string path_;
    int fd_ = -1;
    size_t size_ = 0;
};

// Contents of closed files as the device has them, for reading them again and
// for sending them again with another time; the least recently used go first.
// Files are kept by the key of their path.
class ContentCache {
public:
    explicit ContentCache(const DeviceNames& Names) : names_(Names) {}

    void Put(const std::string& Path, Contents Data, int64_t Time);

    // Moves out the contents kept for Path when the device's entry still
    // matches them.
    bool Take(const std::string& Path, const Entry& Current, Contents& Data);
    void Erase(const std::string& Path);

    // Path and everything below it.
    void EraseTree(const std::string& Path);

    // What was erased or pushed out is removed from the work folder here,
    // not when it goes: freeing a large file's memory takes milliseconds,
    // which a close waiting for its send should not wait for too.
    void DropRetired() { retired_.clear(); }

private:
    struct Item {
        Contents data;
        int64_t time = 0;
        uint64_t use = 0;
    };
    using Items = std::map<std::string, Item>;

    Items::iterator Drop(Items::iterator Item);

    const DeviceNames names_;
    Items items_;
    std::vector<Contents> retired_;
    size_t bytes_ = 0;
    uint64_t uses_ = 0;
};

}  // namespace zqktool::mounting
