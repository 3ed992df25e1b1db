// The device calls of a winelib program, under Wine's own types: device_access.h maps the Win32
// names onto these when Q407_WINELIB is defined. Device interfaces, device handles and device
// notifications come from the machine through the bridge; every other file, handle and path
// goes to Wine's own functions, so CloseHandle of an event or a thread, and CreateFileW of an
// ordinary file, behave as Wine has them.
//
// Notifications: RegisterDeviceNotificationW takes a window recipient (a service recipient fails
// with ERROR_INVALID_PARAMETER: a winelib program has no service control) and starts a thread
// known to Wine that sends the window WM_DEVICECHANGE (DBT_DEVICEARRIVAL,
// DBT_DEVICEREMOVECOMPLETE) with a DEV_BROADCAST_DEVICEINTERFACE_W whose dbcc_name is the
// interface's path, valid for the duration of the message, as Windows sends it.
//
// The panel's message window: from the program's first device call on, a thread known to Wine
// looks for the program's own top-level window of the class "Q407 Class"; once there, it is
// registered with the machine, so that other processes of the machine find it (FindWindowW) and
// post to it (PostMessageW, e.g. the ASIO driver's "show the main dialog"), and that thread
// posts each such message on to the real window. The program itself calls nothing for it.
#pragma once

// Wine's windows.h, setupapi.h and dbt.h come first.

HDEVINFO WINAPI Q407BridgeSetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator,
                                               HWND hwndParent, DWORD Flags);
BOOL WINAPI Q407BridgeSetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet,
                                                  PSP_DEVINFO_DATA DeviceInfoData,
                                                  const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                                  PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL WINAPI Q407BridgeSetupDiGetDeviceInterfaceDetailW(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI Q407BridgeSetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
HANDLE WINAPI Q407BridgeCreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                    LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                    DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                    HANDLE hTemplateFile);
BOOL WINAPI Q407BridgeDeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                      DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                      LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL WINAPI Q407BridgeCloseHandle(HANDLE hObject);
HDEVNOTIFY WINAPI Q407BridgeRegisterDeviceNotificationW(HANDLE hRecipient,
                                                        LPVOID NotificationFilter, DWORD Flags);
BOOL WINAPI Q407BridgeUnregisterDeviceNotification(HDEVNOTIFY Handle);
