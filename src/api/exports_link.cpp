// Connection, raw link, identity, callback and diagnostic exports.
#include "api/buffer_return.h"
#include "api/export_guard.h"
#include "zqkAPI.h"

using zqk::BufferReturn;
using zqk::Guarded;
using zqk::Library;

namespace {

constexpr int32_t kDebugStatus = 0x8000;
constexpr int32_t kDebugReadPending = 0x0001;

std::string UsbDetailText(Library& lib, int32_t Type)
{
    zqk::TzqComms& comms = lib.Comms;
    switch (Type) {
    case 0: return comms.SerialNumber();
    case 1: return comms.Manufacturer();
    case 2: return comms.Product();
    default: break;
    }
    if (Type >= 200 && Type <= 255)
        return comms.IndexedString(Type);
    return {};
}

}  // namespace

extern "C" {

ZQK_API int32_t ZQK_CALL zqkOpen(void)
{
    return Guarded<int32_t>(0, [](Library& lib) {
        if (!lib.Comms.IsOpen())
            lib.Comms.Open();
        if (lib.Comms.IsOpen()) {
            // Firmware that understands quoted names says so in string 204.
            lib.Files.QuoteNames = lib.Comms.DeviceString204().find(".nfi.") != std::string::npos;
            return 1;
        }
        lib.Comms.Close();
        return 0;
    });
}

ZQK_API int32_t ZQK_CALL zqkClose(void)
{
    return Guarded<int32_t>(0, [](Library& lib) {
        lib.Comms.Close();
        return 0;
    });
}

ZQK_API int32_t ZQK_CALL zqkIsOpen(void)
{
    return Guarded<int32_t>(0, [](Library& lib) { return lib.Comms.IsOpen() ? 1 : 0; });
}

ZQK_API int32_t ZQK_CALL zqkPoll(int32_t Timeout)
{
    return Guarded<int32_t>(-1, [=](Library& lib) { return lib.Comms.Poll(Timeout) ? 0 : -1; });
}

ZQK_API int32_t ZQK_CALL zqkTermTx(const char* Data, int32_t Count, int32_t Timeout)
{
    return Guarded<int32_t>(0, [=](Library& lib) {
        if (Count <= 0)
            return lib.Comms.Send(std::string(), 0, 0, Timeout) ? 1 : 0;
        if (Data == nullptr)  // nothing to send from: refuse rather than send garbage
            return 0;
        const std::string bytes(Data, static_cast<size_t>(Count));
        return lib.Comms.Send(bytes, 0, 0, Timeout) ? 1 : 0;
    });
}

ZQK_API int32_t ZQK_CALL zqkTermRx(char* Buffer, int32_t Size, int32_t Timeout)
{
    return Guarded<int32_t>(-1, [=](Library& lib) {
        std::string bytes;
        lib.Comms.Receive(0, Timeout, -1, bytes);
        return BufferReturn(bytes, Buffer, Size);
    });
}

ZQK_API int32_t ZQK_CALL zqkUsbPath(char* Buffer, int32_t Size)
{
    return Guarded<int32_t>(-1, [=](Library& lib) {
        if (!lib.Comms.Open())
            return -1;
        return BufferReturn(lib.Comms.DevicePath(), Buffer, Size);
    });
}

ZQK_API int32_t ZQK_CALL zqkUsbDetail(int32_t Type, char* Buffer, int32_t Size)
{
    return Guarded<int32_t>(-1, [=](Library& lib) { return BufferReturn(UsbDetailText(lib, Type), Buffer, Size); });
}

ZQK_API void ZQK_CALL zqkSetVidPid(int32_t Index, int32_t Value)
{
    zqk::GuardedVoid([=](Library& lib) { lib.Comms.SetMatchValue(Index, Value); });
}

ZQK_API int32_t ZQK_CALL zqkGetVidPid(int32_t Index)
{
    return Guarded<int32_t>(0, [=](Library& lib) { return lib.Comms.MatchValue(Index); });
}

ZQK_API int32_t ZQK_CALL zqkSetCallback(zqkProgressCallback Callback, int32_t UserData)
{
    return Guarded<int32_t>(0, [=](Library& lib) {
        lib.CallbackShim.SetCallback(Callback, UserData);
        return 0;
    });
}

ZQK_API int32_t ZQK_CALL zqkLastError(void)
{
    return Guarded<int32_t>(0, [](Library& lib) { return lib.Comms.LastError(); });
}

ZQK_API int32_t ZQK_CALL zqkDebug(void)
{
    return Guarded<int32_t>(kDebugStatus, [](Library& lib) {
        return kDebugStatus | (lib.Comms.ReadPending() ? kDebugReadPending : 0);
    });
}

}  // extern "C"
