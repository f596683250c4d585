#include "files/local_file.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <limits>
#if defined(__linux__)
#include <sys/random.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include "base/failure_note.h"
#include "base/platform_text.h"
#include "base/whole_transfer_posix.h"

namespace zqk {

namespace {

void NoteLocalFailure(const char* Verb, const std::string& Path, int Error)
{
    NoteFailure(Failure::LocalFile, std::string("cannot ") + Verb + " " + Path + ": " + PlatformErrorText(Error));
}

bool WriteAll(int fd, const std::string& data)
{
    return MoveWhole(data.size(), [&](size_t Done) { return write(fd, data.data() + Done, data.size() - Done); });
}

// Bits that keep this process's temporary names apart from those another
// process of the same ID left: random ones when the kernel has them at once,
// the clock's otherwise. Never a wait for the kernel's random generator,
// which after boot may take a second or more to be seeded (std::random_device
// waits for it); the name only has to differ, and creating it exclusively
// makes sure it does.
uint32_t NameBits()
{
#if defined(__linux__)  // elsewhere the clock's bits serve
    uint32_t bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits))
        return bits;
#endif
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint32_t>(now.tv_nsec) ^ (static_cast<uint32_t>(now.tv_sec) * 2654435761u);
}

// A new file beside Path, of a name no other file has, made with 0666 for
// the kernel to apply the umask to, as it does for any new file. The umask
// itself is never read: setting it to learn it would change it for every
// thread of the process meanwhile.
int CreateTemporaryBeside(const std::string& Path, std::string& Temporary)
{
    constexpr int kAttempts = 100;
    static std::atomic<uint32_t> counter {0};
    const uint32_t bits = NameBits();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        char suffix[40];
        std::snprintf(suffix, sizeof suffix, ".zqk-%ld-%08x", static_cast<long>(getpid()),
                      static_cast<unsigned>(bits ^ counter.fetch_add(1)));
        Temporary = Path + suffix;
        const int fd = open(Temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// A file that is replaced keeps its permissions.
bool KeepModeOf(const struct stat& Old, int Fd)
{
    return fchmod(Fd, Old.st_mode & 07777) == 0;
}

}  // namespace

bool ReadLocalFile(const std::string& Path, std::string& Contents)
{
    Contents.clear();
    FILE* file = std::fopen(Path.c_str(), "rb");
    if (!file) {
        NoteLocalFailure("read", Path, errno);
        return false;
    }
    int error = 0;
    char chunk[65536];
    bool ok = true;
    for (;;) {
        const size_t n = std::fread(chunk, 1, sizeof chunk, file);
        Contents.append(chunk, n);
        if (Contents.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
            ok = false;
            error = EFBIG;
            break;
        }
        if (n < sizeof chunk) {
            ok = !std::ferror(file);
            error = errno;
            break;
        }
    }
    std::fclose(file);
    if (!ok) {
        Contents.clear();
        NoteLocalFailure("read", Path, error ? error : EIO);
    }
    return ok;
}

// A target that is no regular file (a terminal, /dev/null, a pipe) is
// written as it is: replacing it by renaming a new file over it would put a
// regular file in its place, which for root means losing /dev/null.
bool WriteInPlace(const std::string& Path, const std::string& Contents)
{
    const int fd = open(Path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        NoteLocalFailure("write", Path, errno);
        return false;
    }
    bool ok = WriteAll(fd, Contents);
    const int error = errno;
    ok = close(fd) == 0 && ok;
    if (!ok)
        NoteLocalFailure("write", Path, error ? error : EIO);
    return ok;
}

bool ReplaceLocalFile(const std::string& Path, const std::string& Contents)
{
    struct stat old {};
    const bool exists = stat(Path.c_str(), &old) == 0;
    if (exists && S_ISDIR(old.st_mode)) {
        NoteLocalFailure("write", Path, EISDIR);
        return false;
    }
    if (exists && !S_ISREG(old.st_mode))
        return WriteInPlace(Path, Contents);
    // Through a link, the file it leads to is replaced and the link kept.
    char* resolved = exists ? realpath(Path.c_str(), nullptr) : nullptr;
    const std::string target = resolved ? resolved : Path;
    std::free(resolved);
    std::string temporary;
    const int fd = CreateTemporaryBeside(target, temporary);
    if (fd < 0) {
        NoteLocalFailure("write", Path, errno);
        return false;
    }
    bool ok = (!exists || KeepModeOf(old, fd)) && WriteAll(fd, Contents) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && std::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        NoteLocalFailure("write", Path, errno ? errno : EIO);
        unlink(temporary.c_str());
    }
    return ok;
}

}  // namespace zqk
