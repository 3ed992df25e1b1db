// The device watcher: one per process. A hidden "DeviceListener" window registered for the
// device-interface notifications of the driver's class; every arrival or removal enumerates the
// devices again into one shared USBDevice and reports to a callback (the main dialog) on the
// user-interface thread. Event codes: 1 arrival, 2 removal, 4 the initial check at start
// (the device attachment names them).
#pragma once

#include "panel/app/usb_device.h"

namespace q407::panel {

inline constexpr wchar_t kDeviceListenerClassName[] = L"DeviceListener";

using DeviceEventCallback = void (*)(void* context, USBDevice* device, int event);

// Starts watching (nothing when the watcher already runs) and reports the devices present at once
// (handleDeviceChange(4)). 0, or the Win32 error of the class registration.
DWORD startWatcher(DeviceEventCallback callback, void* context, const GUID& interfaceClass);
// Ends the watcher: its window, and the current device's handles and reference.
void stopWatcher();
// Enumerates again and reports the event (see device_watcher.cpp).
void handleDeviceChange(int event);

// The watcher's window while it runs (tests post device-change messages to it).
HWND watcherWindow();

}  // namespace q407::panel
