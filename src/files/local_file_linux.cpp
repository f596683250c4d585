#include "files/local_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include "link/failure_note.h"
#include "link/platform_text.h"

namespace zqk {

namespace {

void NoteLocalFailure(const char* Verb, const std::string& Path, int Error)
{
    NoteFailure(Failure::LocalFile, std::string("cannot ") + Verb + " " + Path + ": " + PlatformErrorText(Error));
}

bool WriteAll(int fd, const std::string& data)
{
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The mode a new file would get, or the old file's when it is replaced.
mode_t ModeFor(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) == 0)
        return st.st_mode & 07777;
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
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

bool ReplaceLocalFile(const std::string& Path, const std::string& Contents)
{
    std::string temporary = Path + ".zqk-XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        NoteLocalFailure("write", Path, errno);
        return false;
    }
    bool ok = fchmod(fd, ModeFor(Path)) == 0 && WriteAll(fd, Contents) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && std::rename(temporary.c_str(), Path.c_str()) == 0;
    if (!ok) {
        NoteLocalFailure("write", Path, errno ? errno : EIO);
        unlink(temporary.c_str());
    }
    return ok;
}

}  // namespace zqk
