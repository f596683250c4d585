#include "api/library.h"

#include "transport/hid_transport.h"

namespace zqk {

namespace {

// Created at load and never freed: callers may reach the library until the
// process ends, also from other libraries' unload code.
Library* g_library = nullptr;

DeviceOptions PlatformDefault()
{
    return DeviceOptions {};
}

}  // namespace

int32_t DeviceTable::Add(std::shared_ptr<TzqkDevice> Device)
{
    const std::lock_guard<std::mutex> guard(guard_);
    if (next_ <= 0)
        return 0;  // every handle was given once
    const int32_t handle = next_;
    next_ = next_ == INT32_MAX ? 0 : next_ + 1;
    devices_.emplace(handle, std::move(Device));
    return handle;
}

std::shared_ptr<TzqkDevice> DeviceTable::Find(int32_t Handle) const
{
    const std::lock_guard<std::mutex> guard(guard_);
    const auto found = devices_.find(Handle);
    return found == devices_.end() ? nullptr : found->second;
}

std::shared_ptr<TzqkDevice> DeviceTable::Remove(int32_t Handle)
{
    const std::lock_guard<std::mutex> guard(guard_);
    const auto found = devices_.find(Handle);
    if (found == devices_.end())
        return nullptr;
    std::shared_ptr<TzqkDevice> device = std::move(found->second);
    devices_.erase(found);
    return device;
}

Library::Library() : default_(std::make_unique<TzqkDevice>(PlatformDefault())) {}


bool StartLibrary()
{
    if (g_library)
        return true;
    try {
        if (!StartPlatformDevices())
            return false;
        g_library = new Library();
        return true;
    } catch (...) {
        return false;
    }
}

Library* TheLibrary()
{
    return g_library;
}

void ReplaceDefaultDevice(DeviceOptions Options)
{
    if (!g_library)
        g_library = new Library();
    g_library->default_ = std::make_unique<TzqkDevice>(std::move(Options));
}

}  // namespace zqk
