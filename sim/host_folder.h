#pragma once
#include <cstdint>
#include <filesystem>
#include <string>

namespace zqk::sim {

// What the simulated device needs of the host's file system beyond the
// standard library's. One implementation file per platform.

// A lock on a file, shared or exclusive, that every program using the
// folder the file is in takes around its look at it or change of it. The
// file is made when missing and never followed where it is a link. Held for
// the object's life; the system drops it when the holder dies.
class HostFileLock {
public:
    // Waits for the lock up to TimeoutMs.
    HostFileLock(const std::filesystem::path& File, bool Exclusive, uint32_t TimeoutMs);
    ~HostFileLock();
    HostFileLock(const HostFileLock&) = delete;
    HostFileLock& operator=(const HostFileLock&) = delete;

    bool Held() const { return held_; }

private:
    intptr_t handle_;
    bool held_ = false;
};

// Makes File with Data in it: a new file, never one that is there already
// or what a link there points to. False when it cannot.
bool WriteNewFile(const std::filesystem::path& File, const std::string& Data);

}  // namespace zqk::sim
