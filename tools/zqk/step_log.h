#pragma once
// zqk -v: each step of the conversation on a handle, on standard error: the
// command line sent ("> NFDIR @/logs") and what the device answered to it
// ("< 12 lines, prompt"). The steps are read from the handle's trace as it
// is written (the library writes it out up to each command line it sends):
// the trace of --trace, or one in a temporary file that goes when done.
#include <cstdint>
#include <cstdio>
#include <string>

#include "capture_file.h"
#include "conversation.h"
#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

class StepLog {
public:
    explicit StepLog(Console& Out) : out_(Out) {}
    ~StepLog();
    StepLog(const StepLog&) = delete;
    StepLog& operator=(const StepLog&) = delete;

    // Traces Handle to TracePath (empty: a temporary file) and tells each
    // step from it. A trace of TracePath that cannot be made fails; without
    // a temporary one only the command lines are told.
    void Start(int32_t Handle, const std::string& TracePath);
    // No more steps are told from the handle's callback (before Out ends).
    void Unhook(int32_t Handle);
    // Once the handle is closed, which ends its trace: the steps still untold.
    void Finish();

private:
    static void ZQK_CALL CommandSent(intptr_t Self, const char* Line);
    void ReadOn();
    void Tell(const std::vector<std::string>& Lines);
    void Close();

    Console& out_;
    bool following_ = false;
    std::string temporary_;
    std::FILE* trace_ = nullptr;
    std::string unread_;  // of the trace: read and not yet a whole block
    CaptureReader reader_;
    ConversationSteps steps_;
};

}  // namespace zqktool
