#include "hid/report_queue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace zqk::hid {

// The slots are left uninitialised: pages are only committed as reports
// arrive, so an idle transport costs no memory.
ReportQueue::ReportQueue(size_t Capacity)
    : capacity_(std::max<size_t>(Capacity, 1)),
      slots_(new uint8_t[capacity_ * kMaxReportSize]),
      sizes_(capacity_, 0)
{
}

bool ReportQueue::Push(const uint8_t* Report, size_t Size)
{
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [this] { return stopped_ || count_ < capacity_; });
    if (stopped_)
        return false;
    const size_t slot = (head_ + count_) % capacity_;
    const size_t size = std::min(Size, kMaxReportSize);
    if (size > 0)
        std::memcpy(slots_.get() + slot * kMaxReportSize, Report, size);
    sizes_[slot] = static_cast<uint16_t>(size);
    ++count_;
    arrived_.notify_all();
    return true;
}

void ReportQueue::End(int Error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_)
        return;
    ended_ = true;
    endError_ = Error;
    arrived_.notify_all();
}

ReportQueue::Result ReportQueue::Take(uint8_t* Buffer, size_t Count, int32_t TimeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    Result result;
    if (count_ == 0 && !ended_) {
        result.Waited = !pending_.load();
        pending_ = true;
        arrived_.wait_for(lock, std::chrono::milliseconds(std::max(TimeoutMs, 0)),
                          [this] { return count_ > 0 || ended_; });
    }
    return TakeLocked(Buffer, Count, result);
}

ReportQueue::Result ReportQueue::TakeLocked(uint8_t* Buffer, size_t Count, Result result)
{
    if (count_ > 0) {
        result.What = Outcome::Report;
        result.Size = std::min<size_t>(Count, sizes_[head_]);
        if (result.Size > 0)
            std::memcpy(Buffer, slots_.get() + head_ * kMaxReportSize, result.Size);
        head_ = (head_ + 1) % capacity_;
        --count_;
        pending_ = false;
        room_.notify_all();
        return result;
    }
    if (!ended_) {
        result.What = Outcome::TimedOut;
        return result;
    }
    pending_ = false;
    if (!endCollected_) {
        endCollected_ = true;
        result.What = Outcome::EndedEmpty;
        return result;
    }
    result.What = Outcome::Refused;
    result.Error = endError_;
    return result;
}

size_t ReportQueue::Size() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

void ReportQueue::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    head_ = 0;
    count_ = 0;
    room_.notify_all();
}

void ReportQueue::Stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    room_.notify_all();
    arrived_.notify_all();
}

void ReportQueue::Reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    head_ = 0;
    count_ = 0;
    ended_ = false;
    endCollected_ = false;
    endError_ = 0;
    stopped_ = false;
    pending_ = false;
}

}  // namespace zqk::hid
