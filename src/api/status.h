#pragma once
#include <cstdint>
#include <string>

#include "base/failure_note.h"

namespace zqk {

// The status that the calling thread's last export left, and its text.
struct CallStatus {
    int32_t Code = 0;
    std::string Text;
};
CallStatus LastStatus();

// Spans one export: it starts with no failure noted and leaves the thread's
// status when it ends, ZQK_STATUS_OK when nothing was noted. An export called
// from a progress callback runs inside another: that one's note is put aside
// meanwhile and given back.
class StatusScope {
public:
    StatusScope();
    ~StatusScope();
    StatusScope(const StatusScope&) = delete;
    StatusScope& operator=(const StatusScope&) = delete;

private:
    FailureNote outer_;
};

// The buffer-return convention (see buffer_return.h), noting a buffer that
// is missing or too small.
int32_t ReturnText(const std::string& Text, char* Buffer, int32_t Size);

}  // namespace zqk
