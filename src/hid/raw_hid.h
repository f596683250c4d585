#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/report_device.h"

namespace zqk {

// Makes the platform's HID access available; run once at library start-up
// before anything else. False means the library cannot work ("Could not load
// HID").
bool HidStartUp();
// The link's constructor asks again; the outcome is not needed.
void HidBindAgain();

// UTF-16 text from the device as 8-bit text: on Windows in the calling
// thread's ANSI code page, elsewhere in the current locale's encoding.
// Characters that cannot be represented become '?'.
std::string AnsiFromUtf16(const std::u16string& Text);

// The device's HID interface: finds, opens, moves single reports with
// time-outs and reads USB strings. One implementation file per platform.
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

    bool Open(int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage) override;
    bool OpenPath(const std::string& Path);
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
    int32_t LastError() const override;
    bool ReadPending() const override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zqk
