#pragma once
// A stand-in for a HID interface on Windows: the server end of a
// message-mode named pipe, played by the test. The transport opens the other
// end by path exactly as it opens a device (CreateFileA, overlapped) and
// moves whole messages with real overlapped reads and writes; only the HID
// queries (attributes, strings, input queue) are refused.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zqk::testing {

class PipeDevice {
public:
    // BufferBytes bounds what the host may write before its writes pend.
    explicit PipeDevice(DWORD BufferBytes = 65 * 64);
    ~PipeDevice();
    PipeDevice(const PipeDevice&) = delete;
    PipeDevice& operator=(const PipeDevice&) = delete;

    const std::string& Path() const { return path_; }
    bool Created() const { return pipe_ != INVALID_HANDLE_VALUE; }

    // One message to the host, as the platform delivers an input report.
    bool Send(const std::vector<uint8_t>& Message, DWORD TimeoutMs = 5000);
    // An input report: report number 0, then the 64 data bytes.
    bool SendReport(const std::vector<uint8_t>& Data, DWORD TimeoutMs = 5000);
    // The next message the host wrote; empty on time-out or when it is gone.
    std::vector<uint8_t> Receive(DWORD TimeoutMs = 5000);
    // True once the host has closed its end.
    bool HostClosed(DWORD TimeoutMs = 2000);
    // Like an unplugged device: the host's outstanding read ends with an
    // error and its next requests are refused.
    void Vanish();

private:
    bool Transfer(bool Write, void* Data, DWORD Size, DWORD TimeoutMs, DWORD& Done, DWORD& Error);

    std::string path_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
};

// 64 data bytes of a numbered test report: the number in the first two bytes,
// then a pattern derived from it.
std::vector<uint8_t> NumberedReport(uint16_t Number);
// The number of such a report, or -1 when its pattern does not match.
int32_t ReportNumber(const uint8_t* Data);

}  // namespace zqk::testing
