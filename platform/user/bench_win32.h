// The bench's backend of user-mode device access: the Win32 types, constants and functions that
// the ASIO driver and the control panel use to reach a device, implemented on the emulated
// machine. The calls act in the emulated process the calling thread runs in (a thread started by
// the process, or inside its scope).
//
// Everything lives in a namespace of ours, so that it never clashes with Wine's Win32 when a
// client is built as a winelib program; client code includes platform/user/device_access.h and
// calls the names unqualified, as Win32 code.
#pragma once

#include <cstddef>
#include <cstdint>

// As Win32 has them: macros.
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// The same record as the kernel's declarations and guiddef.h: one GUID for every caller.
#ifndef GUID_DEFINED
#define GUID_DEFINED
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
#endif

namespace q407::win32 {

using BOOL = int;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = unsigned int;
using LONG = int32_t;
using ULONG_PTR = uintptr_t;
using SIZE_T = size_t;
using WCHAR = wchar_t;
using LPCWSTR = const WCHAR*;
using PCWSTR = const WCHAR*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using PVOID = void*;
using HANDLE = void*;
using HWND = struct HWND__*;
using HDEVINFO = void*;
using LPDWORD = DWORD*;
using PDWORD = DWORD*;
using MMRESULT = UINT;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using HDEVNOTIFY = void*;

using ::GUID;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
using PSP_DEVICE_INTERFACE_DATA = SP_DEVICE_INTERFACE_DATA*;

struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[1];
};
using PSP_DEVICE_INTERFACE_DETAIL_DATA_W = SP_DEVICE_INTERFACE_DETAIL_DATA_W*;

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID lpThreadParameter);

// Device-change notification records, as the kit lays them out: the header every broadcast starts
// with, and the device-interface broadcast (the filter a client registers with, and the record
// an arrival or removal message points at, its name running on past the record).
struct DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
};
using PDEV_BROADCAST_HDR = DEV_BROADCAST_HDR*;

struct DEV_BROADCAST_DEVICEINTERFACE_W {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    WCHAR dbcc_name[1];
};
using PDEV_BROADCAST_DEVICEINTERFACE_W = DEV_BROADCAST_DEVICEINTERFACE_W*;
static_assert(sizeof(DEV_BROADCAST_HDR) == 12);
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid) == 12);
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) == 28);
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32);

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t(0));
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

inline constexpr DWORD DIGCF_PRESENT = 0x00000002;
inline constexpr DWORD DIGCF_DEVICEINTERFACE = 0x00000010;

inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD FILE_SHARE_READ = 0x00000001;
inline constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_DELETE_PENDING = 303;
inline constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr DWORD ERROR_NO_SUCH_DEVICE = 433;
inline constexpr DWORD ERROR_NOACCESS = 998;
inline constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;

inline constexpr UINT WM_DEVICECHANGE = 0x0219;
inline constexpr DWORD DBT_DEVICEARRIVAL = 0x8000;
inline constexpr DWORD DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr DWORD DBT_DEVTYP_DEVICEINTERFACE = 0x00000005;
inline constexpr DWORD DEVICE_NOTIFY_WINDOW_HANDLE = 0x00000000;
inline constexpr DWORD DEVICE_NOTIFY_SERVICE_HANDLE = 0x00000001;
inline constexpr DWORD DEVICE_NOTIFY_ALL_INTERFACE_CLASSES = 0x00000004;

inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;
inline constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
inline constexpr MMRESULT TIMERR_NOERROR = 0;
inline constexpr MMRESULT TIMERR_NOCANDO = 97;

// Device setup: the enabled interfaces of a class, as a snapshot.
HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                              DWORD Flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet,
                                      PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

// Files on devices, device I/O control (synchronous only), handles.
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);
BOOL CloseHandle(HANDLE hObject);

// Events, waits, threads.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId);
BOOL SetThreadPriority(HANDLE hThread, int nPriority);
void Sleep(DWORD dwMilliseconds);

// The millisecond clock and the timer resolution.
DWORD timeGetTime();
MMRESULT timeBeginPeriod(UINT uPeriod);
MMRESULT timeEndPeriod(UINT uPeriod);

// Device-interface arrival and removal. RegisterDeviceNotificationW takes a
// DEV_BROADCAST_DEVICEINTERFACE_W filter (size at least the record's, type
// DBT_DEVTYP_DEVICEINTERFACE, the class; with DEVICE_NOTIFY_ALL_INTERFACE_CLASSES any class) and
// a recipient (a window handle, or a service handle with DEVICE_NOTIFY_SERVICE_HANDLE).
//
// On Windows the system posts WM_DEVICECHANGE to the window. On the bench the recipient is only a
// name: the bench never calls into a window system, because the interface changes happen on
// whatever thread a driver runs on, and a window's messages belong to its GUI thread (a winelib
// panel must not be called into from a library thread). Each registration instead queues its
// messages in order and keeps a waitable event (manual reset, in the registering process)
// signalled while any is queued. The GUI thread takes them when it pumps its own messages (on a
// timer, or after BenchDeviceChangeEvent signalled) and hands each to its window procedure as
// WM_DEVICECHANGE(wParam, lParam = the record).
HDEVNOTIFY RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags);
// Ends the registration: queued messages are dropped and its event handle is closed.
BOOL UnregisterDeviceNotification(HDEVNOTIFY Handle);
// The registration's event (owned by the registration; do not close it).
HANDLE BenchDeviceChangeEvent(HDEVNOTIFY Handle);
// Takes the oldest queued message: *wParam receives DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE,
// *recipient the registered recipient, and Record a DEV_BROADCAST_DEVICEINTERFACE_W with the
// interface class and the interface's path ("\\?\..." as SetupDi gives it), dbcc_size covering
// the name and its terminator. FALSE with ERROR_NO_MORE_ITEMS when nothing is queued; with
// ERROR_INSUFFICIENT_BUFFER when RecordSize is too small (*RequiredSize says how much; the
// message stays queued).
BOOL BenchTakeDeviceChange(HDEVNOTIFY Handle, HANDLE* recipient, WPARAM* wParam,
                           PDEV_BROADCAST_HDR Record, DWORD RecordSize, LPDWORD RequiredSize);

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
void OutputDebugStringA(LPCSTR lpOutputString);

}  // namespace q407::win32
