// The one include through which the ASIO driver and the control panel reach a device: device
// setup enumeration of an interface class, CreateFileW, DeviceIoControl, CloseHandle, events,
// threads, timeGetTime and the timer resolution, device-interface notifications, finding and
// starting another program's window, under their Win32 names. The Windows build takes them from
// Win32 itself; the bench from its emulated machine. A winelib program (Q407_WINELIB) takes Wine's
// Win32, except the device calls, which reach a running machine through the device bridge
// (platform/user/winelib/bridge_win32.h): include this header after any other Windows header.
#pragma once

#if defined(Q407_WINELIB)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: these rely on its types.
#include <dbt.h>
#include <mmsystem.h>
#include <setupapi.h>
#include <shellapi.h>

#include "platform/user/winelib/bridge_win32.h"
#define SetupDiGetClassDevsW Q407BridgeSetupDiGetClassDevsW
#define SetupDiEnumDeviceInterfaces Q407BridgeSetupDiEnumDeviceInterfaces
#define SetupDiGetDeviceInterfaceDetailW Q407BridgeSetupDiGetDeviceInterfaceDetailW
#define SetupDiDestroyDeviceInfoList Q407BridgeSetupDiDestroyDeviceInfoList
#define CreateFileW Q407BridgeCreateFileW
#define DeviceIoControl Q407BridgeDeviceIoControl
#define CloseHandle Q407BridgeCloseHandle
#define RegisterDeviceNotificationW Q407BridgeRegisterDeviceNotificationW
#define UnregisterDeviceNotification Q407BridgeUnregisterDeviceNotification
#elif defined(Q407_REAL_KITS)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: these rely on its types.
#include <dbt.h>
#include <mmsystem.h>
#include <setupapi.h>
#include <shellapi.h>
#else
#include "platform/user/bench_shell.h"
#include "platform/user/bench_win32.h"
using namespace q407::win32;
#endif
