#include "sim/host_folder.h"

#include <windows.h>

#include <algorithm>

namespace zqk::sim {

namespace {

HANDLE AsHandle(intptr_t Value)
{
    return reinterpret_cast<HANDLE>(Value);
}

}  // namespace

HostFileLock::HostFileLock(const std::filesystem::path& File, bool Exclusive, uint32_t TimeoutMs)
    : handle_(reinterpret_cast<intptr_t>(CreateFileW(File.c_str(), GENERIC_READ,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                     OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)))
{
    if (AsHandle(handle_) == INVALID_HANDLE_VALUE)
        return;
    const DWORD flags = (Exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY;
    // Holders keep it for one command, so a short back-off finds it free
    // soon after; no wait blocks past the deadline.
    const ULONGLONG deadline = GetTickCount64() + TimeoutMs;
    DWORD pause = 1;
    for (;;) {
        OVERLAPPED whole {};
        if (LockFileEx(AsHandle(handle_), flags, 0, 1, 0, &whole)) {
            held_ = true;
            return;
        }
        if (GetLastError() != ERROR_LOCK_VIOLATION || GetTickCount64() >= deadline)
            return;
        Sleep(pause);
        pause = std::min<DWORD>(pause * 2, 2);
    }
}

HostFileLock::~HostFileLock()
{
    if (AsHandle(handle_) != INVALID_HANDLE_VALUE)
        CloseHandle(AsHandle(handle_));  // drops the lock
}

bool WriteNewFile(const std::filesystem::path& File, const std::string& Data)
{
    const HANDLE file = CreateFileW(File.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool written = true;
    for (size_t done = 0; written && done < Data.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(Data.size() - done, 1u << 30));
        DWORD n = 0;
        written = WriteFile(file, Data.data() + done, chunk, &n, nullptr) && n > 0;
        done += n;
    }
    return CloseHandle(file) && written;
}

}  // namespace zqk::sim
