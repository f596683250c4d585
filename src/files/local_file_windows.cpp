#include "files/local_file.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>

#include "base/failure_note.h"
#include "base/platform_text.h"

namespace zqk {

namespace {

// The platform's error of the step that failed, read before anything else
// can replace it.
bool Fails(const char* Verb, const std::string& Path, DWORD Error = GetLastError())
{
    NoteFailure(Failure::LocalFile, std::string("cannot ") + Verb + " " + Path + ": " +
                                        PlatformErrorText(static_cast<int32_t>(Error)));
    return false;
}

class FileHandle {
public:
    explicit FileHandle(HANDLE Handle) : handle_(Handle) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }
    bool Close()
    {
        if (!Valid())
            return true;
        const bool closed = CloseHandle(handle_) != 0;
        handle_ = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE handle_;
};

bool WriteAll(HANDLE file, const std::string& data)
{
    for (size_t done = 0; done < data.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1 << 20));
        DWORD written = 0;
        if (!WriteFile(file, data.data() + done, chunk, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

std::string TemporaryNameBeside(const std::string& path)
{
    static std::atomic<unsigned> counter {0};
    return path + ".zqk-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) + ".tmp";
}

}  // namespace

bool ReadLocalFile(const std::string& Path, std::string& Contents)
{
    Contents.clear();
    FileHandle file(CreateFileA(Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return Fails("read", Path);
    LARGE_INTEGER size {};
    if (!GetFileSizeEx(file.Get(), &size))
        return Fails("read", Path);
    if (size.QuadPart > std::numeric_limits<int32_t>::max())
        return Fails("read", Path, ERROR_FILE_TOO_LARGE);
    char chunk[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.Get(), chunk, sizeof chunk, &n, nullptr)) {
            Contents.clear();
            return Fails("read", Path);
        }
        if (n == 0)
            return true;
        Contents.append(chunk, n);
        if (Contents.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
            Contents.clear();
            return Fails("read", Path, ERROR_FILE_TOO_LARGE);
        }
    }
}

bool ReplaceLocalFile(const std::string& Path, const std::string& Contents)
{
    const std::string temporary = TemporaryNameBeside(Path);
    FileHandle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (!file.Valid())
        return Fails("write", Path);
    bool ok = WriteAll(file.Get(), Contents) && FlushFileBuffers(file.Get());
    ok = file.Close() && ok;
    ok = ok && MoveFileExA(temporary.c_str(), Path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        Fails("write", Path);
        DeleteFileA(temporary.c_str());
    }
    return ok;
}

}  // namespace zqk
