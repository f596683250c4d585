#pragma once
// Run-time binding of the HID class library and the device-installation
// library. Nothing of either is linked at build time: the DLL must load on
// systems where they are missing or incomplete and refuse to start there
// ("Could not load HID") rather than fail inside the loader.
#include <windows.h>

#include <cstdint>

// The headers declare the functions; only their types are used here.
#include <hidsdi.h>  // brings hidusage.h and hidpi.h in the order they need
#include <setupapi.h>

namespace zqk::hid {

// File names of the two libraries. The product links the system's names; a
// test build of the DLL links names of its own (see the library-files unit).
extern const char* const kHidLibraryFile;
extern const char* const kSetupLibraryFile;

// The Windows that the binding runs on: some HID names exist only on later
// NT versions and are looked up only there.
struct WindowsVersion {
    DWORD PlatformId = 0;  // 2: the NT family
    DWORD Major = 0;
    DWORD Minor = 0;
};
WindowsVersion RunningWindows();

// Where the binding gets its modules and names from: the system loader in
// the product; tests watch or withhold names through a source of their own.
class ModuleSource {
public:
    virtual ~ModuleSource() = default;
    virtual HMODULE Load(const char* FileName) = 0;
    virtual FARPROC Find(HMODULE Module, const char* Name) = 0;
    virtual void Free(HMODULE Module) = 0;
};
ModuleSource& SystemModules();

// Counts one request; the first loads the HID library and resolves all its
// names (those that the version applies to). All or nothing: a library that
// cannot be loaded or lacks a name leaves nothing loaded or bound.
bool BindHidApi();
bool BindHidApiFrom(const char* FileName, const WindowsVersion& Version, ModuleSource& Source);
// Drops one request; the last one frees the library and empties every slot.
void UnbindHidApi();

// Loads the device-installation library if it is not loaded and resolves its
// names again; all or nothing as above. No request count.
bool BindSetupApi();
bool BindSetupApiFrom(const char* FileName, ModuleSource& Source);
// Frees the device-installation library and empties its slots. The library
// never does this itself; tests use it to start again.
void UnbindSetupApi();

// For tests: the state of the bindings.
int32_t HidBindRequests();
bool HidApiBound();
bool SetupApiBound();
// Number of HID names that are bound right now.
int32_t HidNamesBound();

// ---- the calls that the transport makes, each through its slot ----
// An empty slot (nothing bound) makes the call fail like the platform would.
bool GetHidGuid(GUID& Guid);
bool GetAttributes(HANDLE Device, HIDD_ATTRIBUTES& Attributes);
bool GetPreparsedData(HANDLE Device, PHIDP_PREPARSED_DATA& Data);
void FreePreparsedData(PHIDP_PREPARSED_DATA Data);
bool GetCaps(PHIDP_PREPARSED_DATA Data, HIDP_CAPS& Caps);
bool SetNumInputBuffers(HANDLE Device, ULONG Reports);
bool GetManufacturerString(HANDLE Device, void* Buffer, ULONG Bytes);
bool GetProductString(HANDLE Device, void* Buffer, ULONG Bytes);
bool GetSerialNumberString(HANDLE Device, void* Buffer, ULONG Bytes);
bool GetIndexedString(HANDLE Device, ULONG Index, void* Buffer, ULONG Bytes);

HDEVINFO GetClassDevs(const GUID& ClassGuid, HWND Parent, DWORD Flags);
bool EnumDeviceInterfaces(HDEVINFO Set, const GUID& ClassGuid, DWORD Index, SP_DEVICE_INTERFACE_DATA& Interface);
bool GetDeviceInterfaceDetail(HDEVINFO Set, SP_DEVICE_INTERFACE_DATA& Interface,
                              SP_DEVICE_INTERFACE_DETAIL_DATA_A* Detail, DWORD DetailSize, DWORD* RequiredSize,
                              SP_DEVINFO_DATA* DeviceInfo);
void DestroyDeviceInfoList(HDEVINFO Set);

}  // namespace zqk::hid
