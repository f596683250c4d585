#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "transport/report_device.h"

namespace zqk::hid {

// Input reports that a reader thread took from the device, waiting in
// arrival order for the caller's reads, and the state of the caller's read.
//
// The caller's side behaves like one read that is always outstanding: a read
// that times out stays pending and the next one collects the report it was
// waiting for. When the device can give no more, the reports already queued
// are still delivered, then one read completes empty, and every read after
// that is refused.
//
// When the queue is full the reader waits for room instead of dropping: the
// reports behind it wait in the kernel's own buffer, and only when that is
// full too does the kernel drop the newest. Nothing queued is ever lost or
// reordered.
class ReportQueue {
public:
    // As many reports as the Windows HID driver is asked to keep.
    static constexpr size_t kCapacity = 1024;
    // No read takes more data bytes than this; longer reports are cut.
    static constexpr size_t kMaxReportSize = kMaxReportReadCount;

    enum class Outcome {
        Report,      // a report was copied (Size bytes)
        TimedOut,    // nothing came in time; the read stays pending
        EndedEmpty,  // the device ended: the pending read completes empty
        Refused,     // the device ended and the empty completion was taken
    };
    struct Result {
        Outcome What = Outcome::TimedOut;
        size_t Size = 0;
        // A new read found the queue empty and had to wait, whatever came
        // of the wait (the Windows transport reports "I/O pending" then).
        bool Waited = false;
        // Why the device ended (Refused only).
        int Error = 0;
    };

    explicit ReportQueue(size_t Capacity = kCapacity);
    ReportQueue(const ReportQueue&) = delete;
    ReportQueue& operator=(const ReportQueue&) = delete;

    // ---- the reader thread ----
    // Queues one report, waiting for room when the queue is full. False once
    // Stop was called: the reader is to end.
    bool Push(const uint8_t* Report, size_t Size);
    // The device gives no more reports; Error says why.
    void End(int Error);

    // ---- the caller ----
    // Copies at most Count bytes of the oldest report, waiting up to
    // TimeoutMs (0 or more) for one.
    Result Take(uint8_t* Buffer, size_t Count, int32_t TimeoutMs);
    // A read is waiting or has timed out and not yet been collected.
    bool Pending() const { return pending_.load(); }
    size_t Size() const;
    // Drops every queued report; the state of the device and of the
    // caller's read stay as they are. A reader waiting for room goes on.
    void Clear();
    // Releases a reader waiting for room; its Push answers false.
    void Stop();
    // Empty, not ended, not stopped, no read pending: ready for a new device.
    void Reset();

private:
    Result TakeLocked(uint8_t* Buffer, size_t Count, Result result);

    const size_t capacity_;
    std::unique_ptr<uint8_t[]> slots_;  // capacity_ slots of kMaxReportSize bytes
    std::vector<uint16_t> sizes_;
    size_t head_ = 0;  // oldest report
    size_t count_ = 0;
    bool ended_ = false;
    bool endCollected_ = false;
    int endError_ = 0;
    bool stopped_ = false;
    std::atomic<bool> pending_ {false};
    mutable std::mutex mutex_;
    std::condition_variable arrived_;  // a report came or the device ended
    std::condition_variable room_;     // a report was taken or Stop was called
};

}  // namespace zqk::hid
