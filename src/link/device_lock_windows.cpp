#include "link/device_lock.h"

#include <windows.h>

namespace zqk {

struct NamedMutex::Impl {
    HANDLE handle = nullptr;
};

NamedMutex::NamedMutex(const std::string& Name) : impl_(std::make_unique<Impl>())
{
    // Default security, not initially owned; opens the mutex when another
    // process made it already.
    impl_->handle = CreateMutexA(nullptr, FALSE, Name.c_str());
}

NamedMutex::~NamedMutex()
{
    if (impl_->handle)
        CloseHandle(impl_->handle);
}

bool NamedMutex::Acquire(int32_t TimeoutMs)
{
    if (!impl_->handle)
        return false;
    const DWORD wait = TimeoutMs < 0 ? INFINITE : static_cast<DWORD>(TimeoutMs);
    const DWORD result = WaitForSingleObject(impl_->handle, wait);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void NamedMutex::Release()
{
    if (impl_->handle)
        ReleaseMutex(impl_->handle);
}

}  // namespace zqk
