// platform/user's Win32 calls when this Linux process is linked to a machine in another process
// (ClientLink::Current() not null). Device calls go to the machine; events and waits stay local on
// the eventfds that carry the events' state; threads, Sleep and the clock are local. When the
// machine is gone, calls fail with ERROR_NO_SUCH_DEVICE and waits on its objects return
// WAIT_FAILED with that error instead of hanging.
#pragma once

#include <string>
#include <vector>

#include "platform/user/bench_win32.h"
#include "platform/user/remote/client_link.h"

namespace q407::win32::linked {

using remote::ClientLink;

// The interface paths of a class, for the caller's snapshot. False with the last error set.
bool GetClassDevs(ClientLink& link, const GUID& classGuid, DWORD flags,
                  std::vector<std::wstring>* paths);
HANDLE CreateFileW(ClientLink& link, LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes);
BOOL DeviceIoControl(ClientLink& link, HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                     DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                     LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL CloseHandle(ClientLink& link, HANDLE hObject);
HANDLE CreateEventW(ClientLink& link, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName);
BOOL SetEvent(ClientLink& link, HANDLE hEvent);
BOOL ResetEvent(ClientLink& link, HANDLE hEvent);
DWORD WaitForMultipleObjects(ClientLink& link, DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds);
HANDLE CreateThread(ClientLink& link, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId);
void Sleep(DWORD dwMilliseconds);
DWORD timeGetTime();
HDEVNOTIFY RegisterDeviceNotificationW(ClientLink& link, HANDLE hRecipient,
                                       LPVOID NotificationFilter, DWORD Flags);
BOOL UnregisterDeviceNotification(ClientLink& link, HDEVNOTIFY Handle);
HANDLE BenchDeviceChangeEvent(ClientLink& link, HDEVNOTIFY Handle);
BOOL BenchTakeDeviceChange(ClientLink& link, HDEVNOTIFY Handle, HANDLE* recipient, WPARAM* wParam,
                           PDEV_BROADCAST_HDR Record, DWORD RecordSize, LPDWORD RequiredSize);

// Handles this process makes up itself (threads, notification events) have this bit set, so they
// never collide with the machine's.
inline constexpr uint64_t kLocalHandleBit = uint64_t{1} << 62;

}  // namespace q407::win32::linked
