#include "panel/app/device_watcher.h"

#include <new>

#include "platform/user/device_access.h"

namespace q407::panel {
namespace {

// Event codes handed to the callback.
constexpr int kDeviceArrived = 1;
constexpr int kDeviceRemoved = 2;
constexpr int kDeviceInitialCheck = 4;
// An announced device that does not answer yet is looked for again this often, this many times:
// its driver may still be starting when the arrival reaches us.
constexpr UINT_PTR kArrivalRetryTimer = 1;
constexpr UINT kArrivalRetryMs = 250;
constexpr int kArrivalRetries = 40;

// dbt.h's DBT_USERDEFINED, which not every Win32 header set declares.
constexpr WPARAM kUserDefinedChange = 0xFFFF;

// One watcher per process, used only on the user-interface thread.
struct Watcher {
    DeviceEventCallback callback = nullptr;
    void* context = nullptr;
    GUID interfaceClass{};
    HWND window = nullptr;
    HDEVNOTIFY notification = nullptr;
    USBDevice* devices = nullptr;  // the shared object, created on the first event
    USBDevice* current = nullptr;  // the one reported to the callback
    int arrivalRetriesLeft = 0;
};

Watcher watcher;

void Report(USBDevice* device, int event) {
    if (watcher.callback != nullptr) watcher.callback(watcher.context, device, event);
}

LRESULT CALLBACK WatcherProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER && wParam == kArrivalRetryTimer) {
        KillTimer(window, kArrivalRetryTimer);
        handleDeviceChange(kDeviceArrived);
        return 0;
    }
    if (message == WM_DEVICECHANGE) {
        if (wParam == DBT_DEVICEARRIVAL) watcher.arrivalRetriesLeft = kArrivalRetries;
        switch (wParam) {
            case DBT_DEVICEARRIVAL:
                handleDeviceChange(kDeviceArrived);
                break;
            case DBT_DEVICEREMOVECOMPLETE:
                handleDeviceChange(kDeviceRemoved);
                break;
            case DBT_QUERYCHANGECONFIG:
                OutputDebugStringA("DBT_QUERYCHANGECONFIG\n");
                break;
            case DBT_CONFIGCHANGED:
                OutputDebugStringA("DBT_CONFIGCHANGED\n");
                break;
            case DBT_CONFIGCHANGECANCELED:
                OutputDebugStringA("DBT_CONFIGCHANGECANCELED\n");
                break;
            case DBT_DEVICEQUERYREMOVEFAILED:
                OutputDebugStringA("DBT_DEVICEQUERYREMOVEFAILED\n");
                break;
            case DBT_DEVICEREMOVEPENDING:
                OutputDebugStringA("DBT_DEVICEREMOVEPENDING\n");
                break;
            case DBT_DEVICETYPESPECIFIC:
                OutputDebugStringA("DBT_DEVICETYPESPECIFIC\n");
                break;
            case kUserDefinedChange:
                OutputDebugStringA("DBT_USERDEFINED\n");
                break;
            default:
                break;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

HWND watcherWindow() {
    return watcher.window;
}

DWORD startWatcher(DeviceEventCallback callback, void* context, const GUID& interfaceClass) {
    if (watcher.window != nullptr) return 0;
    watcher.callback = callback;
    watcher.context = context;
    watcher.current = nullptr;
    watcher.interfaceClass = interfaceClass;

    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WatcherProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kDeviceListenerClassName;
    if (RegisterClassExW(&windowClass) == 0) {
        const DWORD error = GetLastError();
        if (error != ERROR_CLASS_ALREADY_EXISTS) return error;
    }
    watcher.window = CreateWindowExW(0, kDeviceListenerClassName, L"", 0, 0, 0, 0, 0, nullptr,
                                     nullptr, instance, nullptr);
    if (watcher.window == nullptr) return GetLastError();

    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32);
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = watcher.interfaceClass;
    // Without the registration no change is seen later; the devices present are still reported.
    watcher.notification =
        RegisterDeviceNotificationW(watcher.window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    handleDeviceChange(kDeviceInitialCheck);
    return 0;
}

void stopWatcher() {
    if (watcher.notification != nullptr) {
        // A registration that is already gone has nothing left to end.
        (void)UnregisterDeviceNotification(watcher.notification);
        watcher.notification = nullptr;
    }
    if (watcher.window != nullptr) {
        const HWND window = watcher.window;
        watcher.window = nullptr;
        DestroyWindow(window);
    }
    if (watcher.current != nullptr) {
        USBDevice* current = watcher.current;
        watcher.current = nullptr;
        current->closeAll();
        if (current->release() == 0 && current == watcher.devices) watcher.devices = nullptr;
    }
}

void handleDeviceChange(int event) {
    if (watcher.devices == nullptr) watcher.devices = new (std::nothrow) USBDevice();
    if (watcher.devices == nullptr) return;
    USBDevice* devices = watcher.devices;
    if (devices->count() == 0) devices->open();
    if (devices->count() == 0) {
        // An arrival whose device does not open yet is not a removal: ending the watcher here
        // would leave the device unseen until the program starts again. Look again shortly.
        if (event == kDeviceArrived && watcher.window != nullptr &&
            watcher.arrivalRetriesLeft > 0) {
            --watcher.arrivalRetriesLeft;
            if (SetTimer(watcher.window, kArrivalRetryTimer, kArrivalRetryMs, nullptr) != 0) return;
        }
        if (watcher.current != nullptr) {
            USBDevice* current = watcher.current;
            Report(current, event == kDeviceInitialCheck ? kDeviceRemoved : event);
            current->closeAll();
            watcher.current = nullptr;
            // The last reference frees the object: the shared slot must not free it again.
            if (current->release() == 0 && current == watcher.devices) watcher.devices = nullptr;
            stopWatcher();
        }
        // An object still referenced (by the dialog) is freed by its last release instead.
        if (watcher.devices != nullptr && watcher.devices->refCount() == 0) delete watcher.devices;
        watcher.devices = nullptr;
        return;
    }
    if (watcher.arrivalRetriesLeft > 0 && watcher.window != nullptr)
        KillTimer(watcher.window, kArrivalRetryTimer);
    watcher.arrivalRetriesLeft = 0;
    if (watcher.current == nullptr) {
        watcher.current = devices;
        devices->addRef();
        devices->selectUnit(0);
    }
    Report(devices, event);
    Report(devices, event == kDeviceInitialCheck ? kDeviceArrived : event);
}

}  // namespace q407::panel
