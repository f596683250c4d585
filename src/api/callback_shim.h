#pragma once
#include <cstdint>
#include <mutex>
#include <string>

#include "zqkAPI.h"

namespace zqk {

// Forwards the file services' progress and completion events to the
// caller's callback: the classic one with a 32-bit user value, or a handle's
// with a pointer-sized one.
// The callback may be replaced by another thread while a transfer reports
// progress, so it and its user data are read and written as one.
class TCallbackShim {
public:
    void SetCallback(zqkProgressCallback NewCallback, int32_t NewUserData);
    void SetHandleCallback(zqkDevProgressCallback NewCallback, intptr_t NewUserData);
    // (UserData, Position, Total) after each block of a transfer.
    void Progress(const void* Sender, int32_t Position, int32_t Total) const;
    // (UserData, -1, -1) when a transfer ends.
    void Complete(const void* Sender) const;

private:
    mutable std::mutex guard_;
    zqkProgressCallback classic_ = nullptr;
    zqkDevProgressCallback handles_ = nullptr;
    intptr_t userData_ = 0;
};

// Forwards each command line a handle sends to the caller's command log
// (zqkDevSetCommandLog); replaced by another thread as the progress
// callback may be.
class TCommandLog {
public:
    void Set(zqkDevCommandLogCallback NewCallback, intptr_t NewUserData);
    void Tell(const std::string& Line) const;

private:
    mutable std::mutex guard_;
    zqkDevCommandLogCallback callback_ = nullptr;
    intptr_t userData_ = 0;
};

}  // namespace zqk
