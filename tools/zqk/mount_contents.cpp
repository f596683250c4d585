// The contents of the mount's files: see mount_contents.h.
#include "mount_contents.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

namespace zqktool::mounting {

Contents& Contents::operator=(Contents&& Other) noexcept
{
    if (this != &Other) {
        Drop();
        path_ = std::exchange(Other.path_, std::string());
        fd_ = std::exchange(Other.fd_, -1);
        size_ = std::exchange(Other.size_, 0);
    }
    return *this;
}

int Contents::Adopt(const std::string& Path)
{
    Drop();
    const int fd = open(Path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        std::remove(Path.c_str());
        return -error;
    }
    path_ = Path;
    fd_ = fd;
    size_ = static_cast<size_t>(st.st_size);
    return 0;
}

int Contents::Read(char* Buffer, size_t Size, off_t Offset) const
{
    if (Offset < 0 || static_cast<uint64_t>(Offset) >= size_)
        return 0;
    const size_t wanted = std::min(Size, size_ - static_cast<size_t>(Offset));
    size_t done = 0;
    while (done < wanted) {
        const ssize_t n = pread(fd_, Buffer + done, wanted - done, Offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int>(done);
}

int Contents::Write(const char* Buffer, size_t Size, off_t Offset)
{
    for (size_t done = 0; done < Size;) {
        const ssize_t n = pwrite(fd_, Buffer + done, Size - done, Offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? -errno : -EIO;
        done += static_cast<size_t>(n);
    }
    size_ = std::max(size_, static_cast<size_t>(Offset) + Size);
    return 0;
}

int Contents::Resize(off_t Size)
{
    if (ftruncate(fd_, Size) != 0)
        return -errno;
    size_ = static_cast<size_t>(Size);
    return 0;
}

int Contents::MoveTo(const std::string& Path)
{
    if (std::rename(path_.c_str(), Path.c_str()) != 0)
        return -errno;
    close(fd_);
    fd_ = -1;
    path_.clear();
    size_ = 0;
    return 0;
}

void Contents::Drop()
{
    if (fd_ < 0)
        return;
    close(fd_);
    std::remove(path_.c_str());
    fd_ = -1;
    path_.clear();
    size_ = 0;
}

void ContentCache::Put(const std::string& Path, Contents Data, int64_t Time)
{
    Erase(Path);
    if (!Data.Held() || Data.Size() > kCachedBytes)
        return;
    bytes_ += Data.Size();
    items_[names_.Key(Path)] = Item {std::move(Data), Time, ++uses_};
    while (bytes_ > kCachedBytes)
        Drop(std::min_element(items_.begin(), items_.end(), [](const auto& a, const auto& b) {
                 return a.second.use < b.second.use;
             }));
}

bool ContentCache::Take(const std::string& Path, const Entry& Current, Contents& Data)
{
    const auto item = items_.find(names_.Key(Path));
    if (item == items_.end() || item->second.data.Size() != static_cast<size_t>(Current.size) ||
        !SameDeviceTime(item->second.time, Current.time))
        return false;
    bytes_ -= item->second.data.Size();  // before the move leaves it empty
    Data = std::move(item->second.data);
    items_.erase(item);
    return true;
}

void ContentCache::Erase(const std::string& Path)
{
    const auto item = items_.find(names_.Key(Path));
    if (item != items_.end())
        Drop(item);
}

void ContentCache::EraseTree(const std::string& Path)
{
    const std::string key = names_.Key(Path);
    for (auto item = items_.begin(); item != items_.end();)
        item = item->first == key || IsUnder(item->first, key) ? Drop(item) : std::next(item);
}

ContentCache::Items::iterator ContentCache::Drop(Items::iterator Item)
{
    bytes_ -= Item->second.data.Size();
    retired_.push_back(std::move(Item->second.data));
    return items_.erase(Item);
}

}  // namespace zqktool::mounting
