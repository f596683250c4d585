#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace zqk {

// A capture of the reports that cross a link, as a pcapng file that
// Wireshark and tshark read: one section whose header names the library and
// its version, one interface (link type LINKTYPE_USER0, 147, each packet one
// whole report as it crossed) whose name is the device's path and whose
// description holds its serial number, and one enhanced packet block per
// report, time-stamped in microseconds with its direction in epb_flags.
// Events of the link (the device opened, closed or gone, the trace started
// and stopped) are empty packets with the event as their comment.
//
// The blocks are gathered in a buffer of the trace's own and written 64 KiB
// at a time, so that a report costs no system call and no call of the C
// library; the buffer is written out at each event and at Flush. A write that fails
// stops the trace and keeps why, and never touches the conversation.
// Safe between threads: the link reads and writes on different ones.
class TraceFile {
public:
    TraceFile() = default;
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Starts a new trace in Path (replacing one that runs). False, with why
    // in Problem, when the file cannot be made.
    bool Start(const std::string& Path, const std::string& DevicePath, const std::string& Serial,
               std::string& Problem);
    void Stop();
    bool Active() const { return active_.load(std::memory_order_relaxed); }
    // One report as it crossed: Inbound from the device, else to it.
    void Report(const uint8_t* Data, size_t Count, bool Inbound);
    void Event(const std::string& What);
    // Writes out what the buffer holds, so that a reader of the file (zqk -v
    // follows it) has every report up to now.
    void Flush();
    // Why a trace that ran stopped by itself (empty if none did), taken once.
    std::string TakeWriteProblem();

private:
    void WritePacketHeld(uint64_t Now, const uint8_t* Data, size_t Count, uint32_t Flags, const std::string& Comment);
    void WriteHeld(const std::string& Block);
    // pending_ to the file, when there is one.
    void WritePendingHeld();
    void FlushHeld();
    // Closes the file, keeping why it could not be written (errno's words).
    void GiveUpHeld();
    void CloseHeld();

    std::mutex guard_;
    std::atomic<bool> active_ {false};
    FILE* file_ = nullptr;  // under guard_
    std::string path_;
    std::string writeProblem_;
    std::string pending_;  // blocks not yet written, up to kBufferSize, under guard_
};

}  // namespace zqk
