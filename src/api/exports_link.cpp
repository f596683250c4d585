// Connection, raw link, identity, callback and diagnostic exports, for the
// classic functions' device and for handles.
#include "api/export_names.h"
#include "api/found_devices.h"
#include "transport/device_watcher.h"
#include "transport/hid_transport.h"
#include "transport/opener.h"
#include "zqkAPI.h"

namespace {

constexpr int32_t kDebugStatus = 0x8000;
constexpr int32_t kDebugReadPending = 0x0001;

zqk::MatchValues MatchingOf(Library& Lib)
{
    const zqk::TzqComms& comms = Lib.Default().Comms;
    return {comms.MatchValue(0), comms.MatchValue(1), comms.MatchValue(2), comms.MatchValue(3)};
}

void NoteSilence(TzqkDevice& Dev, int32_t Timeout)
{
    zqk::NoteSilenceOf(Dev, "nothing came from the device within " + std::to_string(Timeout) + " ms");
}

int32_t IsOpenOn(TzqkDevice& Dev)
{
    return Dev.Comms.IsOpen() ? 1 : 0;
}

int32_t PollOn(TzqkDevice& Dev, int32_t Timeout)
{
    if (Dev.Comms.Poll(Timeout))
        return 0;
    NoteSilence(Dev, Timeout);
    return -1;
}

int32_t TermTxOn(TzqkDevice& Dev, const char* Data, int32_t Count, int32_t Timeout)
{
    if (Count <= 0)
        return Dev.Comms.Send(std::string(), 0, 0, Timeout) ? 1 : 0;
    if (Data == nullptr) {  // nothing to send from: refuse rather than send garbage
        NoteFailure(Failure::Argument, "no data given for " + std::to_string(Count) + " bytes");
        return 0;
    }
    const std::string bytes(Data, static_cast<size_t>(Count));
    return Dev.Comms.Send(bytes, 0, 0, Timeout) ? 1 : 0;
}

int32_t TermRxOn(TzqkDevice& Dev, char* Buffer, int32_t Size, int32_t Timeout)
{
    std::string bytes;
    if (!Dev.Comms.Receive(0, Timeout, -1, bytes))
        NoteSilence(Dev, Timeout);
    return ReturnText(bytes, Buffer, Size);
}

std::string UsbDetailText(TzqkDevice& Dev, int32_t Type)
{
    zqk::TzqComms& comms = Dev.Comms;
    if (!comms.IsOpen())
        NoteFailure(Failure::NotOpen, "the device is not open");
    switch (Type) {
    case 0: return comms.SerialNumber();
    case 1: return comms.Manufacturer();
    case 2: return comms.Product();
    default: break;
    }
    if (Type >= 200 && Type <= 255) {
        std::string text = comms.IndexedString(Type);
        // A closed device keeps the problem of its last open, which says nothing now.
        const std::string problem = text.empty() && comms.IsOpen() ? comms.IndexedStringProblem() : std::string();
        if (!problem.empty())
            NoteFailure(Failure::Access, "indexed USB strings could not be read: " + problem);
        return text;
    }
    NoteFailure(Failure::Argument, "no USB string has type " + std::to_string(Type) + " (0, 1, 2 or 200 to 255)");
    return {};
}

int32_t UsbDetailOn(TzqkDevice& Dev, int32_t Type, char* Buffer, int32_t Size)
{
    return ReturnText(UsbDetailText(Dev, Type), Buffer, Size);
}

int32_t LastErrorOn(TzqkDevice& Dev)
{
    return Dev.Comms.LastError();
}

int32_t SetTraceOn(TzqkDevice& Dev, const char* Path)
{
    return Dev.Comms.SetTrace(zqk::TextArg(Path)) ? 0 : -1;
}

bool IsMatchIndex(int32_t Index)
{
    if (Index >= 0 && Index < 4)
        return true;
    NoteFailure(Failure::Argument, "no matching value has index " + std::to_string(Index) + " (0 to 3)");
    return false;
}

// The link's own open of the first matching device. A device that only its
// path reaches is never found so: the platform's transport takes its place
// first. The caller has the default device's turn.
bool OpenFirstOnLink(Library& Lib)
{
    zqk::TzqComms& comms = Lib.Default().Comms;
    if (!comms.HoldsDeviceFoundByMatching())
        comms.Attach(zqk::NewPlatformDevice());
    if (comms.Open())
        return true;
    // Opening again notes why none opened; a device that came meanwhile is
    // opened then, and kept.
    std::unique_ptr<zqk::ReportDevice> arrived = zqk::OpenFirstMatching(MatchingOf(Lib));
    if (!arrived)
        return false;
    comms.Attach(std::move(arrived));
    return true;
}

// The default device's transport changes only in its turn: a conversation
// of another thread's is waited for (at most 1000 ms, else BUSY), and one of
// this thread's (from a progress callback) is never carried on to another
// transport (IN_TRANSFER). Then Change runs; otherwise Fallback is the result.
template <typename Change>
int32_t ChangeDefaultTransport(Library& Lib, int32_t Fallback, Change&& Run)
{
    const zqk::TransportTurn turn(Lib.Default());
    if (!turn)
        return Fallback;
    return Run();
}

// Opens the classic functions' device on what Open gives, closing the one
// open before: 1 or 0.
template <typename Opener>
int32_t OpenDefaultWith(Library& Lib, Opener&& Open)
{
    return ChangeDefaultTransport(Lib, 0, [&] {
        TzqkDevice& dev = Lib.Default();
        dev.Comms.Close();
        std::unique_ptr<zqk::ReportDevice> opened = Open();
        if (!opened)
            return 0;
        dev.UseOpened(std::move(opened));
        return 1;
    });
}

// zqkOpen on a device that is open changes no transport, so it waits for no
// one: string 204 is read again when the lock is free at once. When it is
// not, its holder talks to this very device, whose flag was learned when it
// was opened, or is changing the transport and learns the new device's flag
// itself; the result then only says whether the device is open.
int32_t OpenDefault(Library& Lib)
{
    TzqkDevice& dev = Lib.Default();
    const zqk::TransportTurn turn(dev, dev.Comms.IsOpen() ? 0 : zqk::kExportLockTimeout);
    if (!turn) {
        if (!dev.Comms.IsOpen())
            return 0;
        zqk::TakeFailure();  // nothing needed doing
        return 1;
    }
    if (!dev.Comms.IsOpen())
        OpenFirstOnLink(Lib);
    if (dev.Comms.IsOpen()) {
        dev.LearnNameQuoting();
        return 1;
    }
    dev.Comms.Close();
    return 0;
}

// Closing waits for another thread's conversation like any change (a device
// that is closed already waits for nothing); from a progress callback it is
// the caller's own transfer that it ends (its next write fails), which is
// how a caller of the classic functions cancels one.
int32_t CloseDefault(TzqkDevice& Dev)
{
    if (!Dev.Comms.IsOpen())
        return 0;
    if (const zqk::LinkTurnHold turn {Dev.Comms, zqk::kExportLockTimeout})
        Dev.Comms.Close();
    return 0;
}

}  // namespace

extern "C" {

// ---- the classic functions' device ----

ZQK_API int32_t ZQK_CALL zqkOpen(void)
{
    return zqk::Guarded<int32_t>(0, [](Library& lib) {
        return OpenDefault(lib);
    });
}

ZQK_API int32_t ZQK_CALL zqkClose(void)
{
    return OnDefault<int32_t>(0, CloseDefault);
}

ZQK_API int32_t ZQK_CALL zqkIsOpen(void)
{
    return OnDefault<int32_t>(0, IsOpenOn);
}

ZQK_API int32_t ZQK_CALL zqkPoll(int32_t Timeout)
{
    return OnDefault<int32_t>(-1, [=](TzqkDevice& dev) { return PollOn(dev, Timeout); });
}

ZQK_API int32_t ZQK_CALL zqkTermTx(const char* Data, int32_t Count, int32_t Timeout)
{
    return OnDefault<int32_t>(0, [=](TzqkDevice& dev) { return TermTxOn(dev, Data, Count, Timeout); });
}

ZQK_API int32_t ZQK_CALL zqkTermRx(char* Buffer, int32_t Size, int32_t Timeout)
{
    return OnDefault<int32_t>(-1, [=](TzqkDevice& dev) { return TermRxOn(dev, Buffer, Size, Timeout); });
}

ZQK_API int32_t ZQK_CALL zqkUsbPath(char* Buffer, int32_t Size)
{
    return zqk::Guarded<int32_t>(-1, [=](Library& lib) {
        return ChangeDefaultTransport(lib, -1, [&] {
            if (!OpenFirstOnLink(lib))
                return -1;
            return ReturnText(lib.Default().Comms.DevicePath(), Buffer, Size);
        });
    });
}

ZQK_API int32_t ZQK_CALL zqkUsbDetail(int32_t Type, char* Buffer, int32_t Size)
{
    return OnDefault<int32_t>(-1, [=](TzqkDevice& dev) { return UsbDetailOn(dev, Type, Buffer, Size); });
}

ZQK_API void ZQK_CALL zqkSetVidPid(int32_t Index, int32_t Value)
{
    OnDefault<int32_t>(0, [=](TzqkDevice& dev) {
        if (IsMatchIndex(Index))
            dev.Comms.SetMatchValue(Index, Value);
        return 0;
    });
}

ZQK_API int32_t ZQK_CALL zqkGetVidPid(int32_t Index)
{
    return OnDefault<int32_t>(0, [=](TzqkDevice& dev) { return IsMatchIndex(Index) ? dev.Comms.MatchValue(Index) : 0; });
}

ZQK_API int32_t ZQK_CALL zqkSetCallback(zqkProgressCallback Callback, int32_t UserData)
{
    return OnDefault<int32_t>(0, [=](TzqkDevice& dev) {
        dev.CallbackShim.SetCallback(Callback, UserData);
        return 0;
    });
}

ZQK_API int32_t ZQK_CALL zqkLastError(void)
{
    return OnDefault<int32_t>(0, LastErrorOn);
}

ZQK_API int32_t ZQK_CALL zqkDebug(void)
{
    return OnDefault<int32_t>(kDebugStatus, [](TzqkDevice& dev) {
        return kDebugStatus | (dev.Comms.ReadPending() ? kDebugReadPending : 0);
    });
}

// ---- the status ----

ZQK_API int32_t ZQK_CALL zqkLastStatus(void)
{
    return zqk::LastStatus().Code;
}

ZQK_API int32_t ZQK_CALL zqkStatusText(char* Buffer, int32_t Size)
{
    try {
        return zqk::BufferReturn(zqk::LastStatus().Text, Buffer, Size);
    } catch (...) {
        return -1;
    }
}

// ---- finding devices ----

ZQK_API int32_t ZQK_CALL zqkFindDevices(void)
{
    return zqk::Guarded<int32_t>(-1, [](Library& lib) { return zqk::FindDevicesForThisThread(MatchingOf(lib)); });
}

ZQK_API int32_t ZQK_CALL zqkFoundDevice(int32_t Index, int32_t Type, char* Buffer, int32_t Size)
{
    return zqk::Guarded<int32_t>(-1, [=](Library&) {
        std::string field;
        if (!zqk::FoundDeviceField(Index, Type, field))
            return -1;
        return ReturnText(field, Buffer, Size);
    });
}

ZQK_API int32_t ZQK_CALL zqkOpenPath(const char* Path)
{
    return zqk::Guarded<int32_t>(0, [=](Library& lib) {
        return OpenDefaultWith(lib, [&] { return zqk::OpenPath(zqk::TextArg(Path)); });
    });
}

ZQK_API int32_t ZQK_CALL zqkOpenSerial(const char* Serial)
{
    return zqk::Guarded<int32_t>(0, [=](Library& lib) {
        return OpenDefaultWith(lib, [&] { return zqk::OpenSerial(zqk::TextArg(Serial), MatchingOf(lib)); });
    });
}

ZQK_API int32_t ZQK_CALL zqkSetDeviceCallback(zqkDeviceCallback Callback, intptr_t UserData)
{
    return zqk::Guarded<int32_t>(-1, [=](Library& lib) {
        return zqk::SetDeviceWatch(Callback, UserData, MatchingOf(lib)) ? 0 : -1;
    });
}

ZQK_API int32_t ZQK_CALL zqkWaitForDevice(const char* PathOrSerial, int32_t Timeout)
{
    return zqk::Guarded<int32_t>(0, [=](Library& lib) {
        return zqk::WaitForDevice(zqk::TextArg(PathOrSerial), MatchingOf(lib), Timeout) ? 1 : 0;
    });
}

// ---- handles ----

ZQK_API int32_t ZQK_CALL zqkDevOpen(const char* PathOrSerial)
{
    return zqk::Guarded<int32_t>(0, [=](Library& lib) {
        std::unique_ptr<zqk::ReportDevice> opened = zqk::OpenNamed(zqk::TextArg(PathOrSerial), MatchingOf(lib));
        if (!opened)
            return 0;
        zqk::DeviceOptions options;
        options.Device = std::move(opened);
        options.LockName = lib.HandleLockName;
        options.TakeClassicLock = false;
        const int32_t handle = lib.Handles.Add(std::make_shared<TzqkDevice>(std::move(options)));
        if (handle == 0)
            NoteFailure(Failure::Argument, "every handle of this process has been given once; no new one is left");
        return handle;
    });
}

ZQK_API int32_t ZQK_CALL zqkDevClose(int32_t Device)
{
    return zqk::Guarded<int32_t>(-1, [=](Library& lib) {
        const std::shared_ptr<TzqkDevice> dev = lib.Handles.Remove(Device);
        if (!dev) {
            NoteFailure(Failure::Argument,
                        "no device is open with handle " + std::to_string(Device) + " (closed, or never given)");
            return -1;
        }
        dev->Comms.Close();
        return 0;
    });
}

ZQK_API int32_t ZQK_CALL zqkDevIsOpen(int32_t Device)
{
    return OnHandle<int32_t>(Device, 0, IsOpenOn);
}

ZQK_API int32_t ZQK_CALL zqkDevPoll(int32_t Device, int32_t Timeout)
{
    return OnHandle<int32_t>(Device, -1, [=](TzqkDevice& dev) { return PollOn(dev, Timeout); });
}

ZQK_API int32_t ZQK_CALL zqkDevTermTx(int32_t Device, const char* Data, int32_t Count, int32_t Timeout)
{
    return OnHandle<int32_t>(Device, 0, [=](TzqkDevice& dev) { return TermTxOn(dev, Data, Count, Timeout); });
}

ZQK_API int32_t ZQK_CALL zqkDevTermRx(int32_t Device, char* Buffer, int32_t Size, int32_t Timeout)
{
    return OnHandle<int32_t>(Device, -1, [=](TzqkDevice& dev) { return TermRxOn(dev, Buffer, Size, Timeout); });
}

ZQK_API int32_t ZQK_CALL zqkDevUsbPath(int32_t Device, char* Buffer, int32_t Size)
{
    return OnHandle<int32_t>(Device, -1,
                             [=](TzqkDevice& dev) { return ReturnText(dev.Comms.DevicePath(), Buffer, Size); });
}

ZQK_API int32_t ZQK_CALL zqkDevUsbDetail(int32_t Device, int32_t Type, char* Buffer, int32_t Size)
{
    return OnHandle<int32_t>(Device, -1, [=](TzqkDevice& dev) { return UsbDetailOn(dev, Type, Buffer, Size); });
}

ZQK_API int32_t ZQK_CALL zqkDevLastError(int32_t Device)
{
    return OnHandle<int32_t>(Device, 0, LastErrorOn);
}

ZQK_API int32_t ZQK_CALL zqkDevSetCallback(int32_t Device, zqkDevProgressCallback Callback, intptr_t UserData)
{
    return OnHandle<int32_t>(Device, -1, [=](TzqkDevice& dev) {
        dev.CallbackShim.SetHandleCallback(Callback, UserData);
        return 0;
    });
}

ZQK_API int32_t ZQK_CALL zqkDevSetCommandLog(int32_t Device, zqkDevCommandLogCallback Callback, intptr_t UserData)
{
    return OnHandle<int32_t>(Device, -1, [=](TzqkDevice& dev) {
        dev.CommandLog.Set(Callback, UserData);
        return 0;
    });
}

ZQK_API int32_t ZQK_CALL zqkDevSetTrace(int32_t Device, const char* Path)
{
    return OnHandle<int32_t>(Device, -1, [=](TzqkDevice& dev) { return SetTraceOn(dev, Path); });
}

ZQK_API int32_t ZQK_CALL zqkSetTrace(const char* Path)
{
    return OnDefault<int32_t>(-1, [=](TzqkDevice& dev) { return SetTraceOn(dev, Path); });
}

}  // extern "C"
