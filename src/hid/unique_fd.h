#pragma once
// A POSIX file descriptor that closes itself.
#include <unistd.h>

#include <utility>

namespace zqk::hid {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int Fd) : fd_(Fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& Other) noexcept : fd_(std::exchange(Other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& Other) noexcept
    {
        if (this != &Other)
            Reset(std::exchange(Other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Reset(int Fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = Fd;
    }

private:
    int fd_ = -1;
};

}  // namespace zqk::hid
