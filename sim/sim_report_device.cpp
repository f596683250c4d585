#include "sim/sim_report_device.h"

#include <algorithm>

namespace zqk::sim {

SimReportDevice::SimReportDevice(SimDevice& Device, Clock& TimeSource) : device_(Device), clock_(TimeSource) {}

bool SimReportDevice::Open(int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage)
{
    if (device_.Unplugged() || !device_.Matches(VendorID, ProductID, UsagePage, Usage))
        return false;
    Close();  // a reopen takes the new handle in place of the old one
    path_ = device_.Identity.Path;
    open_ = true;
    unplugReadCollected_ = false;
    ++openCount_;
    return true;
}

void SimReportDevice::Close()
{
    open_ = false;
    gone_ = false;
    readPending_ = false;
}

int32_t SimReportDevice::ReadUnplugged()
{
    // The platform ends the outstanding read with an error, seen as an empty
    // read; the next read is refused, and the device is gone.
    if (!unplugReadCollected_) {
        unplugReadCollected_ = true;
        readPending_ = false;
        return 0;
    }
    lastError_ = kErrorDeviceNotConnected;
    gone_ = true;
    readPending_ = false;
    return -1;
}

int32_t SimReportDevice::ReadReport(uint8_t* Buffer, int32_t Count, int32_t TimeoutMs)
{
    const int32_t timeout = std::max(TimeoutMs, 0);
    const int32_t count = std::clamp(Count, 0, kMaxReportReadCount);
    if (keepReadTimeouts_)
        readTimeouts_.push_back(TimeoutMs);
    lastError_ = 0;
    if (!open_) {
        lastError_ = kErrorInvalidHandle;
        return -1;
    }
    if (gone_ || device_.Unplugged())
        return ReadUnplugged();

    const bool issuedNow = !readPending_;
    const uint64_t now = clock_.NowUs();
    uint64_t due = 0;
    if (device_.NextInputDueUs(due) && due <= now + uint64_t {static_cast<uint32_t>(timeout)} * 1000) {
        if (due > now) {
            clock_.SleepUs(due - now);
            if (issuedNow)
                lastError_ = kErrorIoPending;
        }
        readPending_ = false;
        const auto size = device_.TakeInput(Buffer, static_cast<size_t>(count));
        return static_cast<int32_t>(std::min(static_cast<size_t>(count), size));
    }
    if (timeout > 0)
        clock_.SleepMs(static_cast<uint32_t>(timeout));
    readPending_ = true;
    if (issuedNow)
        lastError_ = kErrorIoPending;
    return -1;
}

int32_t SimReportDevice::WriteReport(const uint8_t* Buffer, int32_t Count, int32_t TimeoutMs)
{
    const int32_t timeout = std::max(TimeoutMs, 0);
    if (Count < 0 || Count > kMaxReportWriteCount || !open_) {
        lastError_ = kErrorInvalidHandle;
        return -1;
    }
    if (gone_ || device_.Unplugged()) {
        lastError_ = kErrorDeviceNotConnected;
        gone_ = true;
        return -1;
    }
    switch (device_.WriteFaultNow()) {
    case WriteFault::Fail:
        lastError_ = kErrorGenFailure;
        return -1;
    case WriteFault::Timeout:
        clock_.SleepMs(static_cast<uint32_t>(timeout));
        lastError_ = kErrorWaitTimeout;
        return 0;
    case WriteFault::None:
        break;
    }
    WaitForFrameEnd();
    device_.HostWrite(Buffer, static_cast<size_t>(Count));
    lastError_ = 0;
    return Count;
}

// An output report goes out in the endpoint's next frame: it is through at the
// end of the frame in which it was written, so a writer that wakes a little
// late still catches the next frame instead of pushing every later one back.
void SimReportDevice::WaitForFrameEnd()
{
    const uint64_t frame = device_.WriteDurationUs();
    if (frame == 0)
        return;
    const uint64_t now = clock_.NowUs();
    clock_.SleepUs((now / frame + 1) * frame - now);
}

std::optional<UsbIdentity> SimReportDevice::ReadableIdentity() const
{
    return Readable() ? std::optional<UsbIdentity>(device_.Identity) : std::nullopt;
}

}  // namespace zqk::sim
