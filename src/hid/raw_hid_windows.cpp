// Windows HID transport: SetupDi enumeration, HID.dll queries, and
// overlapped report I/O on the interface's file handle.
#include "hid/raw_hid.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "hid/hid_binding_windows.h"
#include "hid/hid_match.h"

namespace zqk {

namespace {

constexpr size_t kReportBufferSize = kMaxReportReadCount + 1;  // report number + the largest count
constexpr DWORD kEnumerationFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
// Room for 255 code units and the terminator, more than any USB string
// descriptor holds; the platform is told the byte size of half the buffer,
// so the text is always terminated.
constexpr size_t kUsbStringUnits = 512;
constexpr ULONG kUsbStringBytes = 512;
// How long a cancelled read or write may take to finish before its buffer is
// given up for good (drivers finish cancelled requests at once; this only
// bounds a driver that does not).
constexpr DWORD kCancelSettleMs = 1000;

// A kernel handle that closes itself. Both of the platform's "no handle"
// values (null for events, -1 for files) count as empty.
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE Handle) : handle_(Handle) {}
    ~ScopedHandle() { Reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void Reset(HANDLE Handle = INVALID_HANDLE_VALUE)
    {
        if (Valid())
            CloseHandle(handle_);
        handle_ = Handle;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

HANDLE OpenInterface(const std::string& Path)
{
    return CreateFileA(Path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// For questions only (attributes, capabilities, strings): a handle without
// read or write access, which the platform gives also where the node is
// not this user's to use.
HANDLE OpenForQuestions(const std::string& Path)
{
    return CreateFileA(Path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

template <typename Getter>
std::u16string UsbStringOf(HANDLE Device, Getter&& Get)
{
    char16_t text[kUsbStringUnits] {};
    if (!Get(Device, text, kUsbStringBytes))
        return {};
    return std::u16string(text, std::char_traits<char16_t>::length(text));
}

// What one overlapped request needs for as long as the platform may still
// write into it: its event, its overlapped record and its data buffer.
struct IoSlot {
    explicit IoSlot(bool Signalled) : Event(CreateEventA(nullptr, TRUE, Signalled, nullptr)) {}

    // Ready for a new request: event reset, record zeroed and tied to it.
    void Arm()
    {
        ResetEvent(Event.Get());
        Overlapped = OVERLAPPED {};
        Overlapped.hEvent = Event.Get();
    }
    bool Finished() const { return HasOverlappedIoCompleted(&Overlapped); }

    ScopedHandle Event;
    OVERLAPPED Overlapped {};
    uint8_t Data[kReportBufferSize] {};
};

// After a request was cancelled the platform still owns its slot until the
// request has finished. A slot whose request does not finish is left to the
// platform (a small deliberate leak) instead of being reused or freed while
// the driver may still write into it.
void SettleCancelled(std::unique_ptr<IoSlot>& Slot)
{
    if (!Slot)
        return;
    if (WaitForSingleObject(Slot->Event.Get(), kCancelSettleMs) == WAIT_OBJECT_0 && Slot->Finished())
        return;
    (void)Slot.release();
}

// Process-wide: writes are serialised, and all share one slot with one
// event. Created at start-up and never destroyed.
class WriteSide {
public:
    WriteSide() { InitializeCriticalSection(&lock_); }
    ~WriteSide() = delete;
    WriteSide(const WriteSide&) = delete;
    WriteSide& operator=(const WriteSide&) = delete;

    void lock() { EnterCriticalSection(&lock_); }
    void unlock() { LeaveCriticalSection(&lock_); }

    // Only while locked. Created signalled, as the write event is at
    // start-up; replaced when a cancelled write never finished.
    IoSlot& Slot()
    {
        if (!slot_)
            slot_ = std::make_unique<IoSlot>(true);
        return *slot_;
    }
    void SettleCancelledWrite() { SettleCancelled(slot_); }

private:
    CRITICAL_SECTION lock_;
    std::unique_ptr<IoSlot> slot_;
};

WriteSide& Writes()
{
    static WriteSide* writes = new WriteSide;  // lives until the process ends
    return *writes;
}

// ---- enumeration ----

class DeviceInfoSet {
public:
    explicit DeviceInfoSet(HDEVINFO Set) : set_(Set) {}
    ~DeviceInfoSet()
    {
        if (Valid())
            hid::DestroyDeviceInfoList(set_);
    }
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;

    bool Valid() const { return set_ != nullptr && set_ != INVALID_HANDLE_VALUE; }
    HDEVINFO Get() const { return set_; }

private:
    HDEVINFO set_;
};

class PreparsedData {
public:
    explicit PreparsedData(HANDLE Device)
    {
        if (!hid::GetPreparsedData(Device, data_))
            data_ = nullptr;
    }
    ~PreparsedData()
    {
        if (data_)
            hid::FreePreparsedData(data_);
    }
    PreparsedData(const PreparsedData&) = delete;
    PreparsedData& operator=(const PreparsedData&) = delete;

    PHIDP_PREPARSED_DATA Get() const { return data_; }

private:
    PHIDP_PREPARSED_DATA data_ = nullptr;
};

// The interface's device path, or false when the platform gives none.
bool InterfacePath(HDEVINFO Set, SP_DEVICE_INTERFACE_DATA& Interface, std::string& Path)
{
    constexpr size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    DWORD required = 0;
    hid::GetDeviceInterfaceDetail(Set, Interface, nullptr, 0, &required, nullptr);
    if (required <= kPathOffset)  // 0 (no detail), or too small to hold the header
        return false;
    std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD));  // aligned for the record
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA info {};
    info.cbSize = sizeof info;
    if (!hid::GetDeviceInterfaceDetail(Set, Interface, detail, required, nullptr, &info))
        return false;
    const char* text = detail->DevicePath;
    Path.assign(text, strnlen(text, required - kPathOffset));
    return true;
}

// The interface's attributes and top-level collection match.
bool IdentityMatches(HANDLE Device, int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage)
{
    HIDD_ATTRIBUTES attributes {};
    if (!hid::GetAttributes(Device, attributes) ||
        !AttributesMatch(attributes.VendorID, attributes.ProductID, VendorID, ProductID))
        return false;
    PreparsedData data(Device);
    HIDP_CAPS caps {};
    return data.Get() && hid::GetCaps(data.Get(), caps) && CollectionMatches(caps.UsagePage, caps.Usage, UsagePage, Usage);
}

// The device test: the interface opens for reading and writing, and its
// identity matches.
bool DeviceMatches(const std::string& Path, int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage)
{
    ScopedHandle device(OpenInterface(Path));
    return device.Valid() && IdentityMatches(device.Get(), VendorID, ProductID, UsagePage, Usage);
}

// Every present HID interface whose path passes the path test; Seen counts
// all. False when the set of interfaces cannot be had.
template <typename Visit>
bool ForEachCandidate(int32_t VendorID, int32_t ProductID, int32_t& Seen, Visit&& Visit_)
{
    Seen = 0;
    GUID hidClass {};
    if (!hid::GetHidGuid(hidClass))
        return false;
    DeviceInfoSet set(hid::GetClassDevs(hidClass, GetDesktopWindow(), kEnumerationFlags));
    if (!set.Valid())
        return false;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData {};
        if (!hid::EnumDeviceInterfaces(set.Get(), hidClass, index, interfaceData))
            break;
        ++Seen;
        std::string path;
        if (InterfacePath(set.Get(), interfaceData, path) && PathMatches(path, VendorID, ProductID))
            Visit_(path);
    }
    return true;
}

}  // namespace

bool HidStartUp()
{
    if (!hid::BindHidApi())
        return false;
    if (!hid::BindSetupApi()) {
        hid::UnbindHidApi();  // a failed start-up leaves nothing loaded
        return false;
    }
    std::lock_guard<WriteSide> created(Writes());
    Writes().Slot();
    return true;
}

void HidBindAgain()
{
    hid::BindHidApi();
    hid::BindSetupApi();
}

struct TRawHid::Impl {
    // Data bytes of a finished read (Bytes as the platform counted them,
    // report number included) into the caller's buffer, cut to Count.
    int32_t Deliver(uint8_t* Buffer, int32_t Count, DWORD Bytes) const
    {
        if (Bytes == 0)
            return 0;
        const size_t length = std::min<size_t>({Bytes - 1, static_cast<size_t>(Count), kReportBufferSize - 1});
        if (Buffer && length > 0)
            std::memcpy(Buffer, readSlot->Data + 1, length);
        return static_cast<int32_t>(length);
    }

    IoSlot& ReadSlot()
    {
        if (!readSlot)
            readSlot = std::make_unique<IoSlot>(false);
        return *readSlot;
    }

    template <typename Getter>
    std::u16string UsbString(Getter&& Get) const
    {
        return UsbStringOf(handle.Get(), std::forward<Getter>(Get));
    }

    ScopedHandle handle;
    const int32_t readTimeout = 0;
    const int32_t writeTimeout = 0;
    // The outstanding read's event, record and buffer. They belong to the
    // object, not to a call: a read outlives the call that issued it.
    std::unique_ptr<IoSlot> readSlot = std::make_unique<IoSlot>(false);
    // Written by the reading and the writing thread, read by any.
    std::atomic<bool> readPending {false};
};

TRawHid::TRawHid() : impl_(std::make_unique<Impl>()) {}

TRawHid::~TRawHid()
{
    Close();
}

int32_t TRawHid::EnumerateDevices(std::vector<std::string>& List, int32_t VendorID, int32_t ProductID,
                                  int32_t UsagePage, int32_t Usage)
{
    List.clear();
    int32_t seen = 0;
    ForEachCandidate(VendorID, ProductID, seen, [&](const std::string& path) {
        if (DeviceMatches(path, VendorID, ProductID, UsagePage, Usage))
            List.push_back(path);
    });
    return static_cast<int32_t>(List.size());
}

bool TRawHid::IsHidInterface(const std::string& Path)
{
    ScopedHandle device(OpenForQuestions(Path));
    HIDD_ATTRIBUTES attributes {};
    return device.Valid() && hid::GetAttributes(device.Get(), attributes);
}

bool TRawHid::IsAccessError(int32_t Error)
{
    return Error == ERROR_ACCESS_DENIED || Error == ERROR_SHARING_VIOLATION;
}

std::string TRawHid::AccessAdvice()
{
    return "another program may hold the device exclusively; close it and try again";
}

int32_t TRawHid::FindInterfaces(std::vector<FoundInterface>& List, int32_t VendorID, int32_t ProductID,
                                int32_t UsagePage, int32_t Usage, int32_t& Seen)
{
    List.clear();
    const bool listed = ForEachCandidate(VendorID, ProductID, Seen, [&](const std::string& path) {
        ScopedHandle device(OpenForQuestions(path));
        if (!device.Valid() || !IdentityMatches(device.Get(), VendorID, ProductID, UsagePage, Usage))
            return;
        List.push_back({path, UsbStringOf(device.Get(), hid::GetSerialNumberString),
                        UsbStringOf(device.Get(), hid::GetManufacturerString),
                        UsbStringOf(device.Get(), hid::GetProductString)});
    });
    return listed ? static_cast<int32_t>(List.size()) : -1;
}

bool TRawHid::OpenPath(const std::string& Path)
{
    // A handle already held is given up first; taking the new one over it
    // would leak the old handle and leave its read outstanding.
    Close();
    state_.devicePath = Path;
    impl_->handle.Reset(OpenInterface(Path));
    if (!impl_->handle.Valid()) {
        state_.openError = static_cast<int32_t>(GetLastError());
        return false;
    }
    state_.openError = 0;
    // A deep queue in the driver keeps reports that arrive between polls.
    const HANDLE device = impl_->handle.Get();
    EnlargeInputQueue([device](int32_t Reports) { return hid::SetNumInputBuffers(device, static_cast<ULONG>(Reports)); });
    return true;
}

void TRawHid::Close()
{
    const bool readInFlight = impl_->readPending;
    if (readInFlight)
        CancelIo(impl_->handle.Get());
    impl_->readPending = false;
    // Closing the handle also ends a read that another thread issued, which
    // CancelIo (this thread's requests only) leaves alone.
    impl_->handle.Reset();
    if (readInFlight)
        SettleCancelled(impl_->readSlot);
    state_.gone = false;
}

bool TRawHid::IsOpen() const
{
    return impl_->handle.Valid() && !state_.gone;
}

int32_t TRawHid::ReadReport(uint8_t* Buffer, int32_t Count, int32_t TimeoutMs)
{
    Impl& d = *impl_;
    if (TimeoutMs < 0)
        TimeoutMs = d.readTimeout;
    Count = std::clamp(Count, 0, kMaxReportReadCount);
    if (state_.gone)
        return -1;  // lastError still says why
    if (!d.handle.Valid()) {
        // Closed, not gone: a read of a closed handle must not make the link
        // take the device for one that went away.
        state_.lastError = ERROR_INVALID_HANDLE;
        return -1;
    }
    state_.lastError = 0;
    if (!d.readPending) {
        IoSlot& slot = d.ReadSlot();
        slot.Arm();
        if (ReadFile(d.handle.Get(), slot.Data, static_cast<DWORD>(Count + 1), nullptr, &slot.Overlapped)) {
            DWORD bytes = 0;
            GetOverlappedResult(d.handle.Get(), &slot.Overlapped, &bytes, FALSE);
            return d.Deliver(Buffer, Count, bytes);
        }
        state_.lastError = static_cast<int32_t>(GetLastError());
        if (state_.lastError != ERROR_IO_PENDING) {
            // Not closed here: a write of another thread may be using the
            // handle. The link closes it.
            state_.gone = true;
            return -1;
        }
        d.readPending = true;
    }
    // Either the read just issued or one that an earlier call left waiting.
    IoSlot& slot = *d.readSlot;
    const DWORD wait = WaitForSingleObject(slot.Event.Get(), static_cast<DWORD>(TimeoutMs));
    if (wait == WAIT_FAILED) {
        state_.lastError = static_cast<int32_t>(GetLastError());
        state_.gone = true;
        return -1;
    }
    if (wait != WAIT_OBJECT_0 || !slot.Finished())
        return -1;  // still outstanding: the next call collects it
    DWORD bytes = 0;
    GetOverlappedResult(d.handle.Get(), &slot.Overlapped, &bytes, FALSE);  // a failed read counts 0 bytes
    d.readPending = false;
    return d.Deliver(Buffer, Count, bytes);
}

// Reports waiting in the driver's queue complete reads at once, so reading
// them is the way to throw them away without disturbing the read protocol.
void TRawHid::DiscardInput()
{
    ReportDevice::DiscardInput();
}

int32_t TRawHid::WriteReport(const uint8_t* Buffer, int32_t Count, int32_t TimeoutMs)
{
    Impl& d = *impl_;
    if (TimeoutMs < 0)
        TimeoutMs = d.writeTimeout;
    if (Count < 0 || Count > kMaxReportWriteCount || (Buffer == nullptr && Count > 0) || !IsOpen()) {
        state_.lastError = static_cast<int32_t>(GetLastError());
        return -1;
    }
    WriteSide& writes = Writes();
    std::lock_guard<WriteSide> serialised(writes);
    IoSlot& slot = writes.Slot();
    slot.Arm();
    slot.Data[0] = 0;  // report number
    if (Count > 0)
        std::memcpy(slot.Data + 1, Buffer, static_cast<size_t>(Count));

    const HANDLE device = d.handle.Get();
    DWORD bytes = 0;
    if (!WriteFile(device, slot.Data, static_cast<DWORD>(Count + 1), nullptr, &slot.Overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            state_.lastError = static_cast<int32_t>(GetLastError());
            if (state_.lastError == ERROR_DEVICE_NOT_CONNECTED)
                state_.gone = true;
            return -1;
        }
        const DWORD wait = WaitForSingleObject(slot.Event.Get(), static_cast<DWORD>(TimeoutMs));
        const bool finished = wait == WAIT_OBJECT_0 && slot.Finished();
        if (!finished) {
            // The slot may be handed to the next write only when this one is
            // over, so a write that is given up is cancelled in every case.
            state_.lastError = static_cast<int32_t>(GetLastError());
            CancelIo(device);
            writes.SettleCancelledWrite();
            return wait == WAIT_TIMEOUT ? 0 : -1;
        }
    }
    const bool counted = GetOverlappedResult(device, &slot.Overlapped, &bytes, FALSE);
    state_.lastError = static_cast<int32_t>(GetLastError());
    if (!counted && state_.lastError == ERROR_DEVICE_NOT_CONNECTED)
        state_.gone = true;  // the usual way an unplug shows: a pending write that fails
    if (!counted || bytes == 0)
        return -1;
    return static_cast<int32_t>(bytes) - 1;
}

std::u16string TRawHid::GetManufacturerString()
{
    return impl_->UsbString(hid::GetManufacturerString);
}

std::u16string TRawHid::GetProductString()
{
    return impl_->UsbString(hid::GetProductString);
}

std::u16string TRawHid::GetSerialNumberString()
{
    return impl_->UsbString(hid::GetSerialNumberString);
}

std::u16string TRawHid::GetIndexedString(int32_t Index)
{
    return impl_->UsbString([Index](HANDLE Device, void* Text, ULONG Bytes) {
        return hid::GetIndexedString(Device, static_cast<ULONG>(Index), Text, Bytes);
    });
}

// HID.dll asks the device through the driver: nothing the caller could mend
// stands in the way, so there is no problem to tell.
std::string TRawHid::IndexedStringProblem() const
{
    return {};
}

bool TRawHid::ReadPending() const
{
    return impl_->readPending;
}

}  // namespace zqk
