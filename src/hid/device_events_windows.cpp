// Device changes on Windows: CM_Register_Notification for the HID interface
// class, bound at run time (it exists from Windows 8 on); where it is
// missing or refuses, a message-only window that RegisterDeviceNotification
// tells. Either only says that something changed: interface paths in the
// notifications need not be spelt as enumeration spells them, so the
// watcher looks at every device again (as zqkFindDevices finds them).
#include "hid/device_events.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <dbt.h>

#include "base/failure_note.h"
#include "base/platform_text.h"
#include "hid/hid_binding_windows.h"

namespace zqk {

namespace {

using RegisterNotification = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK, PHCMNOTIFICATION);
using UnregisterNotification = CONFIGRET(WINAPI*)(HCMNOTIFICATION);

constexpr const wchar_t* kWindowClass = L"zqkAPI device watch";

// The configuration manager's two names, or null where it lacks them. The
// library stays loaded: a notification may still be on its way out.
struct ConfigManager {
    RegisterNotification Register = nullptr;
    UnregisterNotification Unregister = nullptr;
};

template <typename Function>
Function Entry(HMODULE Module, const char* Name)
{
    using Generic = void (*)();
    return reinterpret_cast<Function>(reinterpret_cast<Generic>(hid::SystemModules().Find(Module, Name)));
}

ConfigManager BindConfigManager()
{
    HMODULE module = hid::SystemModules().Load("cfgmgr32.dll");
    if (module == nullptr)
        return {};
    ConfigManager bound {Entry<RegisterNotification>(module, "CM_Register_Notification"),
                         Entry<UnregisterNotification>(module, "CM_Unregister_Notification")};
    if (bound.Register == nullptr || bound.Unregister == nullptr)
        return {};
    return bound;
}

DWORD CALLBACK OnInterfaceChange(HCMNOTIFICATION, PVOID Changed, CM_NOTIFY_ACTION, PCM_NOTIFY_EVENT_DATA, DWORD)
{
    SetEvent(static_cast<HANDLE>(Changed));
    return ERROR_SUCCESS;
}

LRESULT CALLBACK OnWindowMessage(HWND Window, UINT Message, WPARAM What, LPARAM Data)
{
    if (Message == WM_DEVICECHANGE && (What == DBT_DEVICEARRIVAL || What == DBT_DEVICEREMOVECOMPLETE)) {
        SetEvent(reinterpret_cast<HANDLE>(GetWindowLongPtrW(Window, GWLP_USERDATA)));
        return TRUE;
    }
    return DefWindowProcW(Window, Message, What, Data);
}

class NotificationListener final : public DeviceEvents {
public:
    NotificationListener()
        : changed_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), wake_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }

    ~NotificationListener() override
    {
        if (notification_ != nullptr)
            manager_.Unregister(notification_);  // waits for a callback under way
        if (windowNotification_ != nullptr)
            UnregisterDeviceNotification(windowNotification_);
        if (window_ != nullptr)
            DestroyWindow(window_);
        for (HANDLE event : {changed_, wake_}) {
            if (event != nullptr)
                CloseHandle(event);
        }
    }
    NotificationListener(const NotificationListener&) = delete;
    NotificationListener& operator=(const NotificationListener&) = delete;

    // Either way of being told; false with the reason noted.
    bool Listen(const GUID& HidClass)
    {
        if (changed_ == nullptr || wake_ == nullptr)
            return Refused("no event");
        manager_ = BindConfigManager();
        if (manager_.Register != nullptr && RegisterWithConfigManager(HidClass))
            return true;
        return ListenWithWindow(HidClass);
    }

    bool Wait(std::vector<DeviceChange>& Changes) override
    {
        const HANDLE events[2] = {wake_, changed_};
        // The window's thread is this one: its messages are handled here.
        const DWORD wakeMask = window_ != nullptr ? QS_ALLINPUT : 0;
        const DWORD woken = MsgWaitForMultipleObjects(2, events, FALSE, INFINITE, wakeMask);
        if (woken == WAIT_OBJECT_0 + 2)
            HandleMessages();
        else if (woken == WAIT_FAILED)
            return false;
        if (WaitForSingleObject(wake_, 0) == WAIT_OBJECT_0)
            return true;
        if (WaitForSingleObject(changed_, 0) == WAIT_OBJECT_0)
            Changes.push_back({DeviceChange::Kind::Unknown, {}});
        return true;
    }

    void Wake() override { SetEvent(wake_); }

private:
    bool RegisterWithConfigManager(const GUID& HidClass)
    {
        CM_NOTIFY_FILTER filter {};
        filter.cbSize = sizeof filter;
        filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
        filter.u.DeviceInterface.ClassGuid = HidClass;
        return manager_.Register(&filter, changed_, OnInterfaceChange, &notification_) == CR_SUCCESS;
    }

    bool ListenWithWindow(const GUID& HidClass)
    {
        WNDCLASSEXW windowClass {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = OnWindowMessage;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kWindowClass;
        if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
            return Refused("no window class");
        window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
        if (window_ == nullptr)
            return Refused("no message window");
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(changed_));
        DEV_BROADCAST_DEVICEINTERFACE_W wanted {};
        wanted.dbcc_size = sizeof wanted;
        wanted.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        wanted.dbcc_classguid = HidClass;
        windowNotification_ = RegisterDeviceNotificationW(window_, &wanted, DEVICE_NOTIFY_WINDOW_HANDLE);
        if (windowNotification_ == nullptr)
            return Refused("no device notification");
        return true;
    }

    void HandleMessages()
    {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    static bool Refused(const char* What)
    {
        NoteFailure(Failure::NoDevice, std::string("cannot watch for devices: ") + What + ": " +
                                           PlatformErrorText(static_cast<int32_t>(GetLastError())));
        return false;
    }

    HANDLE changed_;  // auto-reset: the changes since the last look are one
    HANDLE wake_;     // manual reset: a watch that is woken ends
    ConfigManager manager_;
    HCMNOTIFICATION notification_ = nullptr;
    HWND window_ = nullptr;
    HDEVNOTIFY windowNotification_ = nullptr;
};

}  // namespace

std::unique_ptr<DeviceEvents> ListenForDeviceChanges()
{
    GUID hidClass {};
    if (!hid::GetHidGuid(hidClass)) {
        NoteFailure(Failure::NoDevice, "cannot watch for devices: the HID class is not known");
        return nullptr;
    }
    auto listener = std::make_unique<NotificationListener>();
    if (!listener->Listen(hidClass))
        return nullptr;
    return listener;
}

}  // namespace zqk
