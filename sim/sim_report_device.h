#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_strings_device.h"

namespace zqk::sim {

// The simulated device as the link's report device, in the same process.
// It behaves as the Windows HID transport does: a read that times out stays
// outstanding for the next call, error codes are the Windows ones, and an
// unplugged device completes the outstanding read empty and refuses the
// next one, after which it is gone until closed.
class SimReportDevice final : public SimStringsDevice {
public:
    static constexpr int32_t kErrorInvalidHandle = 6;
    static constexpr int32_t kErrorGenFailure = 31;
    static constexpr int32_t kErrorWaitTimeout = 258;
    static constexpr int32_t kErrorIoPending = 997;
    static constexpr int32_t kErrorDeviceNotConnected = 1167;

    SimReportDevice(SimDevice& Device, Clock& TimeSource);

    bool Open(int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage) override;
    void Close() override;
    bool IsOpen() const override { return open_ && !gone_; }
    bool Gone() const override { return gone_; }
    int32_t ReadReport(uint8_t* Buffer, int32_t Count, int32_t TimeoutMs) override;
    int32_t WriteReport(const uint8_t* Buffer, int32_t Count, int32_t TimeoutMs) override;
    std::string DevicePath() const override { return path_; }
    int32_t LastError() const override { return lastError_; }
    bool ReadPending() const override { return readPending_; }

    // The time-out of every ReadReport call, in order.
    const std::vector<int32_t>& ReadTimeouts() const { return readTimeouts_; }
    // Off for long runs, whose every read would otherwise be remembered.
    void KeepReadTimeouts(bool Keep) { keepReadTimeouts_ = Keep; }
    int32_t OpenCount() const { return openCount_; }

private:
    std::optional<UsbIdentity> ReadableIdentity() const override;
    int32_t ReadUnplugged();
    void WaitForFrameEnd();
    bool Readable() const { return open_ && !device_.Unplugged(); }

    SimDevice& device_;
    Clock& clock_;
    bool open_ = false;
    bool readPending_ = false;
    bool unplugReadCollected_ = false;
    bool gone_ = false;
    int32_t lastError_ = 0;
    int32_t openCount_ = 0;
    std::string path_;
    std::vector<int32_t> readTimeouts_;
    bool keepReadTimeouts_ = true;
};

}  // namespace zqk::sim
