#include "support/pipe_device.h"

#include <atomic>

namespace zqk::testing {

namespace {

std::string UniquePipeName()
{
    static std::atomic<int> counter {0};
    return "\\\\.\\pipe\\zqk_test_device_" + std::to_string(GetCurrentProcessId()) + "_" +
           std::to_string(counter++);
}

}  // namespace

PipeDevice::PipeDevice(DWORD BufferBytes) : path_(UniquePipeName())
{
    pipe_ = CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, BufferBytes, BufferBytes, 0,
                             nullptr);
    event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

PipeDevice::~PipeDevice()
{
    if (pipe_ != INVALID_HANDLE_VALUE)
        CloseHandle(pipe_);
    if (event_)
        CloseHandle(event_);
}

bool PipeDevice::Transfer(bool Write, void* Data, DWORD Size, DWORD TimeoutMs, DWORD& Done, DWORD& Error)
{
    OVERLAPPED overlapped {};
    overlapped.hEvent = event_;
    ResetEvent(event_);
    Done = 0;
    Error = 0;
    const BOOL started = Write ? WriteFile(pipe_, Data, Size, nullptr, &overlapped)
                               : ReadFile(pipe_, Data, Size, nullptr, &overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        Error = GetLastError();
        return false;
    }
    if (!started && WaitForSingleObject(event_, TimeoutMs) != WAIT_OBJECT_0)
        CancelIo(pipe_);  // the request is collected below either way
    const BOOL ok = GetOverlappedResult(pipe_, &overlapped, &Done, TRUE);
    Error = ok ? 0 : GetLastError();
    return ok;
}

bool PipeDevice::Send(const std::vector<uint8_t>& Message, DWORD TimeoutMs)
{
    std::vector<uint8_t> copy = Message;
    DWORD done = 0, error = 0;
    return Transfer(true, copy.data(), static_cast<DWORD>(copy.size()), TimeoutMs, done, error) &&
           done == copy.size();
}

bool PipeDevice::SendReport(const std::vector<uint8_t>& Data, DWORD TimeoutMs)
{
    std::vector<uint8_t> message(1, 0);
    message.insert(message.end(), Data.begin(), Data.end());
    return Send(message, TimeoutMs);
}

std::vector<uint8_t> PipeDevice::Receive(DWORD TimeoutMs)
{
    std::vector<uint8_t> message(4096);
    DWORD done = 0, error = 0;
    if (!Transfer(false, message.data(), static_cast<DWORD>(message.size()), TimeoutMs, done, error))
        done = 0;
    message.resize(done);
    return message;
}

bool PipeDevice::HostClosed(DWORD TimeoutMs)
{
    const DWORD deadline = GetTickCount() + TimeoutMs;
    do {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr))
            return GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_PIPE_NOT_CONNECTED;
        Sleep(10);
    } while (static_cast<int32_t>(deadline - GetTickCount()) > 0);
    return false;
}

void PipeDevice::Vanish()
{
    DisconnectNamedPipe(pipe_);
}

std::vector<uint8_t> NumberedReport(uint16_t Number)
{
    std::vector<uint8_t> data(64);
    data[0] = static_cast<uint8_t>(Number & 0xFF);
    data[1] = static_cast<uint8_t>(Number >> 8);
    for (size_t i = 2; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(Number * 7 + i);
    return data;
}

int32_t ReportNumber(const uint8_t* Data)
{
    const uint16_t number = static_cast<uint16_t>(Data[0] | (Data[1] << 8));
    const std::vector<uint8_t> expected = NumberedReport(number);
    for (size_t i = 0; i < expected.size(); ++i) {
        if (Data[i] != expected[i])
            return -1;
    }
    return number;
}

}  // namespace zqk::testing
