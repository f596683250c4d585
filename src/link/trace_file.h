#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/clock.h"

namespace zqk {

// Bytes gathered for a file: room is handed out unfilled, since every byte
// of it is stored at once (a string's resize would fill it first).
class TraceBuffer {
public:
    // Room for Count more bytes at the end, which the caller fills.
    char* Append(size_t Count);
    const char* Data() const { return bytes_.get(); }
    size_t Size() const { return size_; }
    bool Empty() const { return size_ == 0; }
    void Clear() { size_ = 0; }  // the room stays for the next blocks
    void Swap(TraceBuffer& Other) noexcept;

private:
    std::unique_ptr<char[]> bytes_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// A lock for a section of a few stores that is almost never contended: it is
// let go with a plain store. A mutex's release is a locked instruction, which
// waits until the stores before it have reached the cache, and a report's
// record is stored into memory the cache does not hold yet.
class StoreLock {
public:
    void lock() noexcept
    {
        while (held_.exchange(true, std::memory_order_acquire))
            while (held_.load(std::memory_order_relaxed))
                std::this_thread::yield();  // the holder was put aside: its turn first
    }
    void unlock() noexcept { held_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> held_ {false};
};

// A capture of the reports that cross a link, as a pcapng file that
// Wireshark and tshark read: one section whose header names the library and
// its version, one interface (link type LINKTYPE_USER0, 147, each packet one
// whole report as it crossed) whose name is the device's path and whose
// description holds its serial number, and one enhanced packet block per
// report, time-stamped in microseconds with its direction in epb_flags.
// Events of the link (the device opened, closed or gone, the trace started
// and stopped) are empty packets with the event as their comment.
//
// The blocks are gathered in a buffer and handed, 1 MiB at a time, to a
// thread of the trace's own that writes them out: a report costs the
// conversation no system call, no call of the C library and no wait for the
// disk. Everything handed over is written out at each event and at Flush,
// before they return. A write that fails stops the trace and keeps why, and
// never touches the conversation.
// Time stamps come from the link's clock, set to the wall clock's time when
// the trace starts; the link may hand in a reading it took anyway, since a
// clock read per report costs more than the rest of the report's record.
// Safe between threads: the link reads and writes on different ones.
class TraceFile {
public:
    explicit TraceFile(Clock& TimeSource) : clock_(TimeSource) {}
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Starts a new trace in Path (replacing one that runs). False, with why
    // in Problem, when the file cannot be made.
    bool Start(const std::string& Path, const std::string& DevicePath, const std::string& Serial,
               std::string& Problem);
    void Stop();
    bool Active() const { return active_.load(std::memory_order_relaxed); }
    // One report as it crossed: Inbound from the device, else to it. ClockUs
    // is when, as the link's clock read it; 0 reads the clock now.
    void Report(const uint8_t* Data, size_t Count, bool Inbound, uint64_t ClockUs = 0);
    void Event(const std::string& What);
    // Writes out what the buffer holds, so that a reader of the file (zqk -v
    // follows it) has every report up to now.
    void Flush();
    // Why a trace that ran stopped by itself (empty if none did), taken once.
    std::string TakeWriteProblem();

private:
    // Records one packet while the trace records; what pending_ holds then.
    size_t AddPacket(uint64_t ClockUs, const uint8_t* Data, size_t Count, uint32_t Flags,
                     const std::string& Comment);
    size_t PendingBytes();
    // The block of one packet at the end of pending_; filling_ held.
    void StoreBlock(uint64_t ClockUs, const uint8_t* Data, size_t Count, uint32_t Flags,
                    const std::string& Comment);
    // pending_ to the writer; with Wait, only once it wrote all it had.
    void HandOffHeld(std::unique_lock<std::mutex>& Held, bool Wait);
    void WaitForWriterHeld(std::unique_lock<std::mutex>& Held);
    void WriteLoop();
    // Ends the writer and closes the file; Held is let go while the writer ends.
    void FinishHeld(std::unique_lock<std::mutex>& Held);

    Clock& clock_;
    // guard_ orders the trace's life and the hand-overs; filling_, taken
    // after it where both are, guards what a report touches. A report takes
    // filling_ alone.
    std::mutex guard_;
    StoreLock filling_;
    bool recording_ = false;           // blocks are gathered: open and not failed; under filling_
    std::atomic<bool> writing_ {false};  // the writer has toWrite_; changed under guard_, read anywhere
    std::condition_variable handed_;   // to the writer: work, or the end
    std::condition_variable written_;  // from the writer: it is idle again
    std::atomic<bool> active_ {false};
    bool open_ = false;                // a trace runs: its writer and file exist; under guard_
    bool failed_ = false;              // its file could not be written; under guard_
    bool ending_ = false;              // the writer is to end; under guard_
    bool finishing_ = false;           // a stop waits for the writer to end; under guard_
    int64_t wallOffsetUs_ = 0;         // wall clock minus the link's clock, at the start; under filling_
    FILE* file_ = nullptr;             // the writer's while it runs
    std::thread writer_;
    std::string path_;
    std::string writeProblem_;         // under guard_
    TraceBuffer pending_;              // blocks not yet handed to the writer, under filling_
    TraceBuffer toWrite_;              // the writer's, while writing_
};

}  // namespace zqk
