#pragma once
#include <cstdint>
#include <string>

#include "base/platform_text.h"
#include "transport/lock_place.h"

namespace zqk {

// The largest report a report device moves: a read gives at most 516 bytes
// (a count above that reads 516), a write takes at most 515 data bytes (516
// with the report number).
constexpr int32_t kMaxReportReadCount = 516;
constexpr int32_t kMaxReportWriteCount = 515;

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
        uint8_t report[kMaxReportReadCount];
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
    // Whether its serial number tells it from every other device, so that
    // its own lock is named after it; otherwise (or when it has none) the
    // lock is named after its path. Devices that share serial numbers, as
    // the simulated ones do, answer false.
    virtual bool SerialNumberNamesLock() const { return true; }
    // Where the device's lock is kept where locks are files' (see LockPlace):
    // its node, a folder of its own, or neither.
    virtual LockPlace LockedAt() const { return {}; }
    // Whether a conversation with it takes the classic system-wide lock too:
    // false for a device that no program of the classic library can reach
    // (one opened by a path of this library's own).
    virtual bool TakesClassicLock() const { return true; }
    // Whether Open finds it again by the match values. A device that only
    // its name reaches answers false, and gives way to the default
    // transport when the link is to open the first matching device.
    virtual bool FoundByMatching() const { return true; }
    // Platform error code recorded at the last report read or write.
    virtual int32_t LastError() const = 0;
    // One of its error codes in words.
    virtual std::string ErrorText(int32_t Code) const { return PlatformErrorText(Code); }
    // True while a report read is outstanding.
    virtual bool ReadPending() const = 0;
};

}  // namespace zqk
