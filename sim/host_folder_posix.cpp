#include "sim/host_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace zqk::sim {

namespace {

constexpr int kNoFile = -1;

}  // namespace

HostFileLock::HostFileLock(const std::filesystem::path& File, bool Exclusive, uint32_t TimeoutMs)
    : handle_(::open(File.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644))
{
    if (handle_ == kNoFile)
        return;
    const int fd = static_cast<int>(handle_);
    const int operation = (Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    // Holders keep it for one command, so a short back-off finds it free
    // soon after; no wait blocks past the deadline.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    auto pause = std::chrono::microseconds(100);
    for (;;) {
        if (::flock(fd, operation) == 0) {
            held_ = true;
            return;
        }
        if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
    }
}

HostFileLock::~HostFileLock()
{
    if (handle_ != kNoFile)
        ::close(static_cast<int>(handle_));  // drops the lock
}

bool WriteNewFile(const std::filesystem::path& File, const std::string& Data)
{
    const int fd = ::open(File.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool written = true;
    for (size_t done = 0; written && done < Data.size();) {
        const ssize_t n = ::write(fd, Data.data() + done, Data.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            written = false;
    }
    return ::close(fd) == 0 && written;
}

}  // namespace zqk::sim
