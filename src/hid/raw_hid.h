#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/platform_text.h"
#include "transport/report_device.h"

namespace zqk {

// Makes the platform's HID access available; run once at library start-up
// before anything else. False means the library cannot work ("Could not load
// HID").
bool HidStartUp();
// The link's constructor asks again; the outcome is not needed.
void HidBindAgain();

// A present HID interface as enumeration finds it, read without opening it.
struct FoundInterface {
    std::string Path;
    std::u16string SerialNumber;
    std::u16string Manufacturer;
    std::u16string Product;
};

// The device's HID interface: finds, opens, moves single reports with
// time-outs and reads USB strings. What the platforms do alike is in
// raw_hid.cpp, the rest in one implementation file per platform.
class TRawHid final : public ReportDevice {
public:
    TRawHid();
    ~TRawHid() override;
    TRawHid(const TRawHid&) = delete;
    TRawHid& operator=(const TRawHid&) = delete;

    // Paths of all present HID interfaces that match, in the platform's
    // enumeration order. A negative value matches anything.
    static int32_t EnumerateDevices(std::vector<std::string>& List, int32_t VendorID, int32_t ProductID,
                                    int32_t UsagePage, int32_t Usage);

    // The present HID interfaces that match, as EnumerateDevices finds them
    // but without the test of opening each, with their USB strings. Seen is
    // the number of HID interfaces looked at. -1 when enumeration failed.
    static int32_t FindInterfaces(std::vector<FoundInterface>& List, int32_t VendorID, int32_t ProductID,
                                  int32_t UsagePage, int32_t Usage, int32_t& Seen);

    // Whether an error of OpenPath means that the platform refused access
    // (rather than that nothing is there), and what a user can do about it.
    static bool IsAccessError(int32_t Error);
    // Whether Path names a HID interface of the platform's at all, so that a
    // path a caller gives is not opened when it is, say, an ordinary file
    // that reports would be written into.
    static bool IsHidInterface(const std::string& Path);
    static std::string AccessAdvice();

    bool Open(int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage) override;
    bool OpenPath(const std::string& Path);
    // The platform's error code of the last OpenPath that failed.
    int32_t OpenError() const;
    void Close() override;
    bool IsOpen() const override;
    bool Gone() const override;

    int32_t ReadReport(uint8_t* Buffer, int32_t Count, int32_t TimeoutMs) override;
    int32_t WriteReport(const uint8_t* Buffer, int32_t Count, int32_t TimeoutMs) override;
    void DiscardInput() override;

    std::u16string GetManufacturerString() override;
    std::u16string GetProductString() override;
    std::u16string GetSerialNumberString() override;
    std::u16string GetIndexedString(int32_t Index) override;
    std::string IndexedStringProblem() const override;

    std::string DevicePath() const override;
    // Its lock is its node's, which only whoever may talk to it can take.
    LockPlace LockedAt() const override { return {DevicePath(), {}}; }
    int32_t LastError() const override;
    bool ReadPending() const override;

private:
    // What every platform's transport keeps of its device alike. Written by
    // the reading and the writing thread, read by any.
    struct State {
        std::string devicePath;  // of the last OpenPath, kept after Close
        int32_t openError = 0;   // the platform's code of the last OpenPath that failed
        std::atomic<int32_t> lastError {0};
        std::atomic<bool> gone {false};  // a read or write found the device gone
    };
    struct Impl;  // the platform's handle and I/O state
    State state_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zqk
