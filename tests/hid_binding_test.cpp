// Run-time binding of the HID class and device-installation libraries, against
// Wine's implementations, stand-in libraries that lack a name, and a source
// of modules that watches or withholds names.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "hid/hid_binding_windows.h"
#include "hid/raw_hid.h"

namespace zqk {
namespace {

using hid::WindowsVersion;

const std::vector<std::string> kHidNamesBefore51 = {
    "HidD_Hello", "HidD_GetHidGuid", "HidD_GetPreparsedData", "HidD_FreePreparsedData", "HidD_GetConfiguration",
    "HidD_SetConfiguration", "HidD_FlushQueue", "HidD_GetFeature", "HidD_SetFeature", "HidD_GetNumInputBuffers",
    "HidD_SetNumInputBuffers", "HidD_GetAttributes", "HidD_GetManufacturerString", "HidD_GetProductString",
    "HidD_GetSerialNumberString", "HidD_GetPhysicalDescriptor", "HidD_GetIndexedString"};
const std::vector<std::string> kHidNamesFrom51 = {"HidD_GetInputReport", "HidD_SetOutputReport"};
const std::vector<std::string> kHidPNames = {
    "HidP_GetCaps", "HidP_GetLinkCollectionNodes", "HidP_GetSpecificButtonCaps", "HidP_GetSpecificValueCaps",
    "HidP_GetData", "HidP_SetData", "HidP_MaxDataListLength", "HidP_GetUsages", "HidP_GetUsagesEx",
    "HidP_SetUsages", "HidP_UnsetUsages", "HidP_MaxUsageListLength", "HidP_GetUsageValue",
    "HidP_GetScaledUsageValue", "HidP_GetUsageValueArray", "HidP_SetUsageValue", "HidP_SetScaledUsageValue",
    "HidP_SetUsageValueArray", "HidP_UsageListDifference", "HidP_TranslateUsagesToI8042ScanCodes"};
const std::vector<std::string> kHidNamesFrom50 = {"HidP_GetExtendedAttributes", "HidP_InitializeReportForID"};
const std::vector<std::string> kSetupNames = {"SetupDiGetClassDevsA", "SetupDiEnumDeviceInterfaces",
                                              "SetupDiGetDeviceInterfaceDetailA", "SetupDiDestroyDeviceInfoList"};

constexpr WindowsVersion kWindows95 {VER_PLATFORM_WIN32_WINDOWS, 4, 0};
constexpr WindowsVersion kWindowsNt4 {VER_PLATFORM_WIN32_NT, 4, 0};
constexpr WindowsVersion kWindows2000 {VER_PLATFORM_WIN32_NT, 5, 0};
constexpr WindowsVersion kWindowsXp {VER_PLATFORM_WIN32_NT, 5, 1};
constexpr WindowsVersion kWindows7 {VER_PLATFORM_WIN32_NT, 6, 1};

std::vector<std::string> ExpectedHidNames(bool From50, bool From51)
{
    std::vector<std::string> names = kHidNamesBefore51;
    if (From51)
        names.insert(names.end(), kHidNamesFrom51.begin(), kHidNamesFrom51.end());
    names.insert(names.end(), kHidPNames.begin(), kHidPNames.end());
    if (From50)
        names.insert(names.end(), kHidNamesFrom50.begin(), kHidNamesFrom50.end());
    return names;
}

// The system loader, watched: which names are asked for, in which order,
// with which error mode the library is loaded; names can be withheld.
class WatchedModules final : public hid::ModuleSource {
public:
    std::set<std::string> Withheld;
    std::vector<std::string> Looked;
    int Loads = 0;
    int Frees = 0;
    UINT ErrorModeAtLoad = 0;

    HMODULE Load(const char* FileName) override
    {
        ++Loads;
        ErrorModeAtLoad = GetErrorMode();
        return hid::SystemModules().Load(FileName);
    }
    FARPROC Find(HMODULE Module, const char* Name) override
    {
        Looked.push_back(Name);
        return Withheld.count(Name) ? nullptr : hid::SystemModules().Find(Module, Name);
    }
    void Free(HMODULE Module) override
    {
        ++Frees;
        hid::SystemModules().Free(Module);
    }
};

void UnbindEverything()
{
    while (hid::HidBindRequests() > 0)
        hid::UnbindHidApi();
    hid::UnbindSetupApi();
}

class Binding : public ::testing::Test {
protected:
    void SetUp() override { UnbindEverything(); }
    void TearDown() override { UnbindEverything(); }

    void ExpectNothingBound()
    {
        EXPECT_FALSE(hid::HidApiBound());
        EXPECT_EQ(hid::HidNamesBound(), 0);
        EXPECT_EQ(hid::HidBindRequests(), 0);
    }

    WatchedModules modules_;
};

// ---- the HID class library ----

TEST_F(Binding, BindsWinesHidLibraryCompletely)
{
    ASSERT_TRUE(hid::BindHidApi());
    EXPECT_TRUE(hid::HidApiBound());
    EXPECT_EQ(hid::HidBindRequests(), 1);
    EXPECT_EQ(hid::HidNamesBound(), 41);  // Wine reports a Windows of the NT family after XP
    GUID guid {};
    EXPECT_TRUE(hid::GetHidGuid(guid));
    EXPECT_EQ(guid.Data1, 0x4D1E55B2u);
}

TEST_F(Binding, RepeatRequestOnlyCountsAndTheLastUnbindFrees)
{
    ASSERT_TRUE(hid::BindHidApiFrom("HID.dll", kWindows7, modules_));
    EXPECT_TRUE(hid::BindHidApiFrom("HID.dll", kWindows7, modules_));
    EXPECT_EQ(modules_.Loads, 1);
    EXPECT_EQ(modules_.Looked.size(), 41u);
    EXPECT_EQ(hid::HidBindRequests(), 2);

    hid::UnbindHidApi();
    EXPECT_TRUE(hid::HidApiBound());
    EXPECT_EQ(hid::HidNamesBound(), 41);
    EXPECT_EQ(modules_.Frees, 0);

    hid::UnbindHidApi();
    ExpectNothingBound();
    EXPECT_EQ(modules_.Frees, 1);
}

TEST_F(Binding, ResolvesTheNamesInOrderForEachVersion)
{
    struct Case {
        WindowsVersion Version;
        bool From50, From51;
    };
    for (const Case& c : {Case {kWindows95, false, false}, Case {kWindowsNt4, false, false},
                          Case {kWindows2000, true, false}, Case {kWindowsXp, true, true},
                          Case {kWindows7, true, true}}) {
        SCOPED_TRACE(testing::Message() << "platform " << c.Version.PlatformId << " version " << c.Version.Major
                                        << "." << c.Version.Minor);
        WatchedModules modules;
        ASSERT_TRUE(hid::BindHidApiFrom("HID.dll", c.Version, modules));
        EXPECT_EQ(modules.Looked, ExpectedHidNames(c.From50, c.From51));
        EXPECT_EQ(hid::HidNamesBound(), static_cast<int32_t>(modules.Looked.size()));
        hid::UnbindHidApi();
    }
}

TEST_F(Binding, MissingNameFailsAfterLookingUpTheRestAndLeavesNothing)
{
    modules_.Withheld = {"HidD_Hello"};  // one the transport never calls
    EXPECT_FALSE(hid::BindHidApiFrom("HID.dll", kWindows7, modules_));
    EXPECT_EQ(modules_.Looked, ExpectedHidNames(true, true));
    EXPECT_EQ(modules_.Frees, 1);
    ExpectNothingBound();
    GUID guid {};
    EXPECT_FALSE(hid::GetHidGuid(guid));  // empty slots fail like the platform, never crash
}

TEST_F(Binding, VersionDependentNamesCountOnlyWhereTheyApply)
{
    modules_.Withheld = {"HidD_GetInputReport"};
    EXPECT_TRUE(hid::BindHidApiFrom("HID.dll", kWindows2000, modules_));
    hid::UnbindHidApi();
    EXPECT_FALSE(hid::BindHidApiFrom("HID.dll", kWindowsXp, modules_));
    ExpectNothingBound();

    modules_.Withheld = {"HidP_InitializeReportForID"};
    EXPECT_TRUE(hid::BindHidApiFrom("HID.dll", kWindowsNt4, modules_));
    hid::UnbindHidApi();
    EXPECT_TRUE(hid::BindHidApiFrom("HID.dll", kWindows95, modules_));
    hid::UnbindHidApi();
    EXPECT_FALSE(hid::BindHidApiFrom("HID.dll", kWindows2000, modules_));
    ExpectNothingBound();
}

TEST_F(Binding, LibraryThatCannotBeLoadedFailsWithoutErrorBoxAndMayBeTriedAgain)
{
    const UINT before = GetErrorMode();
    EXPECT_FALSE(hid::BindHidApiFrom("zqk_no_such_library.dll", kWindows7, modules_));
    EXPECT_EQ(modules_.ErrorModeAtLoad, static_cast<UINT>(SEM_NOOPENFILEERRORBOX));
    EXPECT_EQ(GetErrorMode(), before);
    EXPECT_TRUE(modules_.Looked.empty());
    ExpectNothingBound();

    EXPECT_TRUE(hid::BindHidApiFrom("HID.dll", kWindows7, modules_));
}

TEST_F(Binding, StandInLibraryLackingANameIsUnloadedAgain)
{
    EXPECT_FALSE(hid::BindHidApiFrom("zqk_stand_in_hid.dll", kWindows7, modules_));
    EXPECT_EQ(modules_.Loads, 1);
    EXPECT_EQ(modules_.Looked.size(), 41u);
    EXPECT_EQ(modules_.Frees, 1);
    EXPECT_EQ(GetModuleHandleA("zqk_stand_in_hid.dll"), nullptr);
    ExpectNothingBound();
}

// ---- the device-installation library ----

TEST_F(Binding, BindsWinesSetupLibraryAndResolvesAgainOnRepeat)
{
    ASSERT_TRUE(hid::BindSetupApiFrom("SetupApi.dll", modules_));
    EXPECT_TRUE(hid::SetupApiBound());
    EXPECT_EQ(modules_.Looked, kSetupNames);
    EXPECT_TRUE(hid::BindSetupApiFrom("SetupApi.dll", modules_));
    EXPECT_EQ(modules_.Loads, 1);
    EXPECT_EQ(modules_.Looked.size(), 8u);
}

TEST_F(Binding, SetupLibraryLackingANameIsUnloaded)
{
    EXPECT_FALSE(hid::BindSetupApiFrom("zqk_stand_in_setupapi.dll", modules_));
    EXPECT_EQ(modules_.Looked, kSetupNames);
    EXPECT_EQ(modules_.Frees, 1);
    EXPECT_FALSE(hid::SetupApiBound());
    EXPECT_EQ(GetModuleHandleA("zqk_stand_in_setupapi.dll"), nullptr);
    EXPECT_EQ(hid::GetClassDevs(GUID {}, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
}

TEST_F(Binding, SetupLibraryThatCannotBeLoadedFailsQuietly)
{
    EXPECT_FALSE(hid::BindSetupApiFrom("zqk_no_such_library.dll", modules_));
    EXPECT_EQ(modules_.ErrorModeAtLoad, static_cast<UINT>(SEM_NOOPENFILEERRORBOX));
    EXPECT_FALSE(hid::SetupApiBound());
}

// ---- library start-up ----

TEST_F(Binding, StartUpBindsBothAndTheLinkOnlyCountsAgain)
{
    ASSERT_TRUE(HidStartUp());
    EXPECT_TRUE(hid::HidApiBound());
    EXPECT_TRUE(hid::SetupApiBound());
    HidBindAgain();
    EXPECT_EQ(hid::HidBindRequests(), 2);
    EXPECT_EQ(hid::HidNamesBound(), 41);
}

TEST(LibraryLoad, DllWhoseHidLibraryLacksANameDoesNotLoad)
{
    SetLastError(0);
    HMODULE dll = LoadLibraryA("zqkAPI_hidless.dll");
    EXPECT_EQ(dll, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(GetModuleHandleA("zqkAPI_hidless.dll"), nullptr);
    EXPECT_EQ(GetModuleHandleA("zqk_stand_in_hid.dll"), nullptr);
    if (dll)
        FreeLibrary(dll);
}

TEST(LibraryLoad, ProductDllLoadsWithTheDeviceClosed)
{
    HMODULE dll = LoadLibraryA("zqkAPI.dll");
    ASSERT_NE(dll, nullptr);
    using IsOpenFunction = int32_t(WINAPI*)();
    auto isOpen = reinterpret_cast<IsOpenFunction>(reinterpret_cast<void (*)()>(GetProcAddress(dll, "zqkIsOpen")));
    ASSERT_NE(isOpen, nullptr);
    EXPECT_EQ(isOpen(), 0);
    FreeLibrary(dll);
}

}  // namespace
}  // namespace zqk
