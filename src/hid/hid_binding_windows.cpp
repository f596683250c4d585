#include "hid/hid_binding_windows.h"

#include <array>
#include <string_view>

namespace zqk::hid {

namespace {

// Bound entry points are kept untyped and cast to their real type at the
// call; void(*)() is the one function type that casts to any other cleanly.
using GenericProc = void (*)();

enum class Needs { Always, Nt50, Nt51 };

struct Name {
    const char* Text;
    Needs Applies;
};

// The HID class library's names in the order they are resolved. Two pairs
// exist only from Windows 2000 and Windows XP on; elsewhere they are not
// looked up and their absence is no failure.
constexpr Name kHidNames[] = {
    {"HidD_Hello", Needs::Always},
    {"HidD_GetHidGuid", Needs::Always},
    {"HidD_GetPreparsedData", Needs::Always},
    {"HidD_FreePreparsedData", Needs::Always},
    {"HidD_GetConfiguration", Needs::Always},
    {"HidD_SetConfiguration", Needs::Always},
    {"HidD_FlushQueue", Needs::Always},
    {"HidD_GetFeature", Needs::Always},
    {"HidD_SetFeature", Needs::Always},
    {"HidD_GetNumInputBuffers", Needs::Always},
    {"HidD_SetNumInputBuffers", Needs::Always},
    {"HidD_GetAttributes", Needs::Always},
    {"HidD_GetManufacturerString", Needs::Always},
    {"HidD_GetProductString", Needs::Always},
    {"HidD_GetSerialNumberString", Needs::Always},
    {"HidD_GetPhysicalDescriptor", Needs::Always},
    {"HidD_GetIndexedString", Needs::Always},
    {"HidD_GetInputReport", Needs::Nt51},
    {"HidD_SetOutputReport", Needs::Nt51},
    {"HidP_GetCaps", Needs::Always},
    {"HidP_GetLinkCollectionNodes", Needs::Always},
    {"HidP_GetSpecificButtonCaps", Needs::Always},
    {"HidP_GetSpecificValueCaps", Needs::Always},
    {"HidP_GetData", Needs::Always},
    {"HidP_SetData", Needs::Always},
    {"HidP_MaxDataListLength", Needs::Always},
    {"HidP_GetUsages", Needs::Always},
    {"HidP_GetUsagesEx", Needs::Always},
    {"HidP_SetUsages", Needs::Always},
    {"HidP_UnsetUsages", Needs::Always},
    {"HidP_MaxUsageListLength", Needs::Always},
    {"HidP_GetUsageValue", Needs::Always},
    {"HidP_GetScaledUsageValue", Needs::Always},
    {"HidP_GetUsageValueArray", Needs::Always},
    {"HidP_SetUsageValue", Needs::Always},
    {"HidP_SetScaledUsageValue", Needs::Always},
    {"HidP_SetUsageValueArray", Needs::Always},
    {"HidP_UsageListDifference", Needs::Always},
    {"HidP_TranslateUsagesToI8042ScanCodes", Needs::Always},
    {"HidP_GetExtendedAttributes", Needs::Nt50},
    {"HidP_InitializeReportForID", Needs::Nt50},
};

// Of the device-installation library only what enumeration calls is bound:
// every further name would be one more way for the library not to load.
constexpr const char* kSetupNames[] = {
    "SetupDiGetClassDevsA",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiGetDeviceInterfaceDetailA",
    "SetupDiDestroyDeviceInfoList",
};

constexpr size_t kHidNameCount = std::size(kHidNames);
constexpr size_t kSetupNameCount = std::size(kSetupNames);

constexpr size_t HidIndex(std::string_view Text)
{
    for (size_t i = 0; i < kHidNameCount; ++i) {
        if (Text == kHidNames[i].Text)
            return i;
    }
    return kHidNameCount;
}

constexpr size_t SetupIndex(std::string_view Text)
{
    for (size_t i = 0; i < kSetupNameCount; ++i) {
        if (Text == kSetupNames[i])
            return i;
    }
    return kSetupNameCount;
}

// Written only while the library starts (or by tests), read at every call.
// Constant-initialised, so usable from DllMain before any constructor ran.
struct Binding {
    HMODULE Module = nullptr;
    ModuleSource* Source = nullptr;
    int32_t Requests = 0;
};
Binding g_hid;
std::array<GenericProc, kHidNameCount> g_hidSlots {};
Binding g_setup;
std::array<GenericProc, kSetupNameCount> g_setupSlots {};

class SystemModuleSource final : public ModuleSource {
public:
    HMODULE Load(const char* FileName) override { return LoadLibraryA(FileName); }
    FARPROC Find(HMODULE Module, const char* Name) override { return GetProcAddress(Module, Name); }
    void Free(HMODULE Module) override { FreeLibrary(Module); }
};

// A missing library file must not put up a dialog in the host application:
// the load fails quietly and start-up reports it.
class QuietLoadErrors {
public:
    QuietLoadErrors() : previous_(SetErrorMode(SEM_NOOPENFILEERRORBOX)) {}
    ~QuietLoadErrors() { SetErrorMode(previous_); }
    QuietLoadErrors(const QuietLoadErrors&) = delete;
    QuietLoadErrors& operator=(const QuietLoadErrors&) = delete;

private:
    UINT previous_;
};

bool LoadQuietly(Binding& Target, const char* FileName, ModuleSource& Source)
{
    if (Target.Module)
        return true;
    QuietLoadErrors quiet;
    Target.Module = Source.Load(FileName);
    Target.Source = &Source;
    return Target.Module != nullptr;
}

template <size_t N>
void Forget(Binding& Target, std::array<GenericProc, N>& Slots)
{
    if (Target.Module)
        Target.Source->Free(Target.Module);
    Target.Module = nullptr;
    Slots.fill(nullptr);
}

// Every name is looked up even after one is missing, so that a failed
// binding is the same however many names are missing.
bool Resolve(const Binding& From, const char* Text, GenericProc& Slot)
{
    Slot = reinterpret_cast<GenericProc>(From.Source->Find(From.Module, Text));
    return Slot != nullptr;
}

bool AtLeast(const WindowsVersion& Version, DWORD Major, DWORD Minor)
{
    return Version.PlatformId == VER_PLATFORM_WIN32_NT &&
           (Version.Major > Major || (Version.Major == Major && Version.Minor >= Minor));
}

bool Applies(Needs Condition, const WindowsVersion& Version)
{
    switch (Condition) {
    case Needs::Nt50: return AtLeast(Version, 5, 0);
    case Needs::Nt51: return AtLeast(Version, 5, 1);
    case Needs::Always: break;
    }
    return true;
}

template <typename Function>
Function HidEntry(size_t Index)
{
    return reinterpret_cast<Function>(g_hidSlots[Index]);
}

template <typename Function>
Function SetupEntry(size_t Index)
{
    return reinterpret_cast<Function>(g_setupSlots[Index]);
}

// The typed entry point of a bound name, checked at compile time.
#define ZQK_HID_ENTRY(name)                                           \
    ([] {                                                             \
        constexpr size_t index = HidIndex(#name);                     \
        static_assert(index < kHidNameCount, #name " is not bound"); \
        return HidEntry<decltype(&::name)>(index);                    \
    }())
#define ZQK_SETUP_ENTRY(name)                                           \
    ([] {                                                               \
        constexpr size_t index = SetupIndex(#name);                     \
        static_assert(index < kSetupNameCount, #name " is not bound"); \
        return SetupEntry<decltype(&::name)>(index);                    \
    }())

}  // namespace

WindowsVersion RunningWindows()
{
    OSVERSIONINFOA info {};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info))
        return {};
    return {info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion};
}

ModuleSource& SystemModules()
{
    static SystemModuleSource source;
    return source;
}

bool BindHidApi()
{
    return BindHidApiFrom(kHidLibraryFile, RunningWindows(), SystemModules());
}

bool BindHidApiFrom(const char* FileName, const WindowsVersion& Version, ModuleSource& Source)
{
    if (++g_hid.Requests > 1)
        return g_hid.Module != nullptr;  // bound by the first request
    // A failed first request is undone completely (count included), so the
    // binding is as if never tried and a later request may try again.
    if (!LoadQuietly(g_hid, FileName, Source)) {
        UnbindHidApi();
        return false;
    }
    bool complete = true;
    for (size_t i = 0; i < kHidNameCount; ++i) {
        if (Applies(kHidNames[i].Applies, Version) && !Resolve(g_hid, kHidNames[i].Text, g_hidSlots[i]))
            complete = false;
    }
    if (!complete)
        UnbindHidApi();
    return complete;
}

void UnbindHidApi()
{
    if (--g_hid.Requests > 0)
        return;
    g_hid.Requests = 0;
    Forget(g_hid, g_hidSlots);
}

bool BindSetupApi()
{
    return BindSetupApiFrom(kSetupLibraryFile, SystemModules());
}

bool BindSetupApiFrom(const char* FileName, ModuleSource& Source)
{
    if (!LoadQuietly(g_setup, FileName, Source))
        return false;
    bool complete = true;
    for (size_t i = 0; i < kSetupNameCount; ++i) {
        if (!Resolve(g_setup, kSetupNames[i], g_setupSlots[i]))
            complete = false;
    }
    if (!complete)
        Forget(g_setup, g_setupSlots);
    return complete;
}

void UnbindSetupApi()
{
    Forget(g_setup, g_setupSlots);
}

int32_t HidBindRequests() { return g_hid.Requests; }
bool HidApiBound() { return g_hid.Module != nullptr; }
bool SetupApiBound() { return g_setup.Module != nullptr; }

int32_t HidNamesBound()
{
    int32_t bound = 0;
    for (GenericProc slot : g_hidSlots)
        bound += slot != nullptr;
    return bound;
}

bool GetHidGuid(GUID& Guid)
{
    auto call = ZQK_HID_ENTRY(HidD_GetHidGuid);
    if (!call)
        return false;
    call(&Guid);
    return true;
}

bool GetAttributes(HANDLE Device, HIDD_ATTRIBUTES& Attributes)
{
    auto call = ZQK_HID_ENTRY(HidD_GetAttributes);
    Attributes.Size = sizeof Attributes;
    return call && call(Device, &Attributes);
}

bool GetPreparsedData(HANDLE Device, PHIDP_PREPARSED_DATA& Data)
{
    auto call = ZQK_HID_ENTRY(HidD_GetPreparsedData);
    Data = nullptr;
    return call && call(Device, &Data) && Data != nullptr;
}

void FreePreparsedData(PHIDP_PREPARSED_DATA Data)
{
    if (auto call = ZQK_HID_ENTRY(HidD_FreePreparsedData))
        call(Data);
}

bool GetCaps(PHIDP_PREPARSED_DATA Data, HIDP_CAPS& Caps)
{
    auto call = ZQK_HID_ENTRY(HidP_GetCaps);
    return call && call(Data, &Caps) == HIDP_STATUS_SUCCESS;
}

bool SetNumInputBuffers(HANDLE Device, ULONG Reports)
{
    auto call = ZQK_HID_ENTRY(HidD_SetNumInputBuffers);
    return call && call(Device, Reports);
}

bool GetManufacturerString(HANDLE Device, void* Buffer, ULONG Bytes)
{
    auto call = ZQK_HID_ENTRY(HidD_GetManufacturerString);
    return call && call(Device, Buffer, Bytes);
}

bool GetProductString(HANDLE Device, void* Buffer, ULONG Bytes)
{
    auto call = ZQK_HID_ENTRY(HidD_GetProductString);
    return call && call(Device, Buffer, Bytes);
}

bool GetSerialNumberString(HANDLE Device, void* Buffer, ULONG Bytes)
{
    auto call = ZQK_HID_ENTRY(HidD_GetSerialNumberString);
    return call && call(Device, Buffer, Bytes);
}

bool GetIndexedString(HANDLE Device, ULONG Index, void* Buffer, ULONG Bytes)
{
    auto call = ZQK_HID_ENTRY(HidD_GetIndexedString);
    return call && call(Device, Index, Buffer, Bytes);
}

HDEVINFO GetClassDevs(const GUID& ClassGuid, HWND Parent, DWORD Flags)
{
    auto call = ZQK_SETUP_ENTRY(SetupDiGetClassDevsA);
    return call ? call(&ClassGuid, nullptr, Parent, Flags) : INVALID_HANDLE_VALUE;
}

bool EnumDeviceInterfaces(HDEVINFO Set, const GUID& ClassGuid, DWORD Index, SP_DEVICE_INTERFACE_DATA& Interface)
{
    auto call = ZQK_SETUP_ENTRY(SetupDiEnumDeviceInterfaces);
    Interface.cbSize = sizeof Interface;
    return call && call(Set, nullptr, &ClassGuid, Index, &Interface);
}

bool GetDeviceInterfaceDetail(HDEVINFO Set, SP_DEVICE_INTERFACE_DATA& Interface,
                              SP_DEVICE_INTERFACE_DETAIL_DATA_A* Detail, DWORD DetailSize, DWORD* RequiredSize,
                              SP_DEVINFO_DATA* DeviceInfo)
{
    auto call = ZQK_SETUP_ENTRY(SetupDiGetDeviceInterfaceDetailA);
    return call && call(Set, &Interface, Detail, DetailSize, RequiredSize, DeviceInfo);
}

void DestroyDeviceInfoList(HDEVINFO Set)
{
    if (auto call = ZQK_SETUP_ENTRY(SetupDiDestroyDeviceInfoList))
        call(Set);
}

}  // namespace zqk::hid
