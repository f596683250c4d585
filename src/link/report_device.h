#pragma once
#include <cstdint>
#include <string>

#include "link/device_lock.h"
#include "base/platform_text.h"

namespace zqk {

// What the channel link needs of the device that moves its 64-byte reports:
// the HID transport in the product, the simulated device in tests and tools.
class ReportDevice {
public:
    virtual ~ReportDevice() = default;

    // Finds and opens the first device matching the four values (a negative
    // value matches anything). True when a device was opened.
    virtual bool Open(int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // True once a read or write found that the device went away. The
    // transport does not close itself then (another thread may be writing
    // through it): reports stop moving and IsOpen is false until its owner
    // closes it while no other thread uses it.
    virtual bool Gone() const { return false; }

    // One input report's data bytes: above 0 the count copied, 0 or -1 when
    // nothing came. A read that times out stays pending and the next call
    // goes on waiting for the same report. A negative time-out means the
    // device's default (0 ms).
    virtual int32_t ReadReport(uint8_t* Buffer, int32_t Count, int32_t TimeoutMs) = 0;
    // One output report: the data bytes written, 0 on time-out, -1 on failure.
    virtual int32_t WriteReport(const uint8_t* Buffer, int32_t Count, int32_t TimeoutMs) = 0;
    // Throws away every input report that has reached the host and not been
    // read yet. Here: what reads at once, within a bound, so that a device
    // that never stops sending cannot hold the caller.
    virtual void DiscardInput()
    {
        constexpr int kMaxDiscarded = 4096;
        uint8_t report[520];
        for (int i = 0; i < kMaxDiscarded && ReadReport(report, sizeof report, 0) > 0; ++i) {
        }
    }

    // USB strings as UTF-16; empty when the device does not give them.
    virtual std::u16string GetManufacturerString() = 0;
    virtual std::u16string GetProductString() = 0;
    virtual std::u16string GetSerialNumberString() = 0;
    virtual std::u16string GetIndexedString(int32_t Index) = 0;
    // Why the last GetIndexedString could not ask the device, for instance
    // "permission denied on /dev/bus/usb/001/002"; empty when it could (a
    // string the device does not have is no problem) or none was asked for.
    virtual std::string IndexedStringProblem() const { return {}; }

    // Path of the interface opened last (kept after Close).
    virtual std::string DevicePath() const = 0;
    // What names the device's own lock: empty for its serial number (its
    // path when it has none). A device whose serial number is not its own,
    // such as a simulated one, gives its path.
    virtual std::string LockKey() const { return {}; }
    // Where the device's lock is kept where locks are files' (see LockPlace):
    // its node, a folder of its own, or neither.
    virtual LockPlace LockedAt() const { return {}; }
    // A simulated device opened by its own path, which no program of the
    // classic library can reach, so that their lock is not taken for it.
    virtual bool Simulated() const { return false; }
    // Platform error code recorded at the last report read or write.
    virtual int32_t LastError() const = 0;
    // One of its error codes in words.
    virtual std::string ErrorText(int32_t Code) const { return PlatformErrorText(Code); }
    // True while a report read is outstanding.
    virtual bool ReadPending() const = 0;
};

}  // namespace zqk
