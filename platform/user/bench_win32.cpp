// The bench's Win32 device access: each call acts in the emulated process of the calling thread,
// through that process's handle table and the emulated I/O manager; or, when this Linux process
// is linked to a machine running elsewhere, goes there (platform/user/remote/remote_win32.cpp).
#include "platform/user/bench_win32.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/user/remote/client_link.h"
#include "platform/user/remote/remote_win32.h"
#include "sim/host/device_interfaces.h"
#include "sim/host/machine_clock.h"
#include "sim/host/process.h"
#include "sim/host/trace_log.h"

namespace q407::win32 {
namespace {

std::atomic<DWORD> g_nextThreadId{0x1000};

constexpr uint32_t kDeviceInfoSetMagic = 0x51344453;  // "SD4Q"

struct DeviceInfoSet {
    uint32_t magic = kDeviceInfoSetMagic;
    GUID classGuid{};
    std::vector<std::wstring> paths;  // "\\?\..." as Win32 hands them out
};

DeviceInfoSet* SetOf(HDEVINFO handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    auto* set = static_cast<DeviceInfoSet*>(handle);
    return set->magic == kDeviceInfoSetMagic ? set : nullptr;
}

bool SameGuid(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

// "\??\..." as drivers name links becomes "\\?\..." as Win32 hands them out.
std::wstring Win32Path(const std::wstring& link) {
    if (link.size() >= 4 && link.compare(0, 4, L"\\??\\") == 0) return L"\\\\?\\" + link.substr(4);
    return link;
}

// What RtlNtStatusToDosError gives for the statuses the bench produces.
DWORD ErrorOf(NTSTATUS status) {
    switch (static_cast<uint32_t>(status)) {
        case 0xC0000001u:  // STATUS_UNSUCCESSFUL
            return ERROR_GEN_FAILURE;
        case 0xC0000005u:  // STATUS_ACCESS_VIOLATION
            return ERROR_NOACCESS;
        case 0xC0000008u:  // STATUS_INVALID_HANDLE
        case 0xC0000024u:  // STATUS_OBJECT_TYPE_MISMATCH
            return ERROR_INVALID_HANDLE;
        case 0xC000000Du:  // STATUS_INVALID_PARAMETER
            return ERROR_INVALID_PARAMETER;
        case 0xC000000Eu:  // STATUS_NO_SUCH_DEVICE
            return ERROR_NO_SUCH_DEVICE;
        case 0xC0000010u:  // STATUS_INVALID_DEVICE_REQUEST
            return ERROR_INVALID_FUNCTION;
        case 0xC0000022u:  // STATUS_ACCESS_DENIED
            return ERROR_ACCESS_DENIED;
        case 0xC0000034u:  // STATUS_OBJECT_NAME_NOT_FOUND
            return ERROR_FILE_NOT_FOUND;
        case 0xC0000056u:  // STATUS_DELETE_PENDING
            return ERROR_ACCESS_DENIED;
        case 0xC000009Au:  // STATUS_INSUFFICIENT_RESOURCES
            return ERROR_NO_SYSTEM_RESOURCES;
        default:
            return ERROR_MR_MID_NOT_FOUND;
    }
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

sim::Process* Current() {
    return sim::CurrentUserProcess();
}

DWORD WaitResult(NTSTATUS status, DWORD count) {
    if (status >= 0 && static_cast<DWORD>(status) < count) return WAIT_OBJECT_0 + DWORD(status);
    if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
    SetLastError(ErrorOf(status));
    return WAIT_FAILED;
}

constexpr uint32_t kNotificationMagic = 0x4E344451;  // "QD4N"

// One RegisterDeviceNotificationW: its subscription, its recipient and its event in the
// registering process.
struct Notification {
    uint32_t magic = kNotificationMagic;
    HANDLE recipient = nullptr;
    sim::Process* process = nullptr;
    HANDLE eventHandle = nullptr;  // in the process's table
    PVOID eventObject = nullptr;   // referenced: the subscription keeps it signalled
    std::unique_ptr<sim::DeviceInterfaceSubscription> subscription;
    std::mutex mutex;  // takers
};

std::mutex g_notificationsMutex;
std::vector<Notification*>& Notifications() {
    static auto* list = new std::vector<Notification*>();
    return *list;
}

// A live registration of the calling process, or null.
Notification* NotificationOf(HDEVNOTIFY handle) {
    std::lock_guard lock(g_notificationsMutex);
    for (Notification* n : Notifications())
        if (n == handle && n->magic == kNotificationMagic && n->process == Current()) return n;
    return nullptr;
}

}  // namespace

HDEVNOTIFY RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags) {
    if (auto* link = remote::ClientLink::Current())
        return linked::RegisterDeviceNotificationW(*link, hRecipient, NotificationFilter, Flags);
    sim::Process* process = Current();
    if (process == nullptr) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const DWORD allClasses = Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES;
    const DWORD kind = Flags & ~DEVICE_NOTIFY_ALL_INTERFACE_CLASSES;
    if (hRecipient == nullptr || hRecipient == INVALID_HANDLE_VALUE ||
        (kind != DEVICE_NOTIFY_WINDOW_HANDLE && kind != DEVICE_NOTIFY_SERVICE_HANDLE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // The filter is the caller's memory: only its fixed part is read, after its size is checked.
    if (NotificationFilter == nullptr) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    DEV_BROADCAST_HDR header;
    std::memcpy(&header, NotificationFilter, sizeof header);
    if (header.dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        header.dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    std::memcpy(&filter, NotificationFilter, sizeof filter);

    auto n = std::make_unique<Notification>();
    n->recipient = hRecipient;
    n->process = process;
    n->eventHandle = process->CreateEvent(true, false);
    if (n->eventHandle == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    {
        sim::Process::Scope scope(*process);
        if (ObReferenceObjectByHandle(n->eventHandle, 0, *ExEventObjectType, UserMode,
                                      &n->eventObject, nullptr) < 0) {
            process->Close(n->eventHandle);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    n->subscription =
        allClasses != 0 ? std::make_unique<sim::DeviceInterfaceSubscription>()
                        : std::make_unique<sim::DeviceInterfaceSubscription>(filter.dbcc_classguid);
    n->subscription->MirrorTo(static_cast<PKEVENT>(n->eventObject));
    Notification* handle = n.release();
    std::lock_guard lock(g_notificationsMutex);
    Notifications().push_back(handle);
    return handle;
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY Handle) {
    if (auto* link = remote::ClientLink::Current())
        return linked::UnregisterDeviceNotification(*link, Handle);
    Notification* n = NotificationOf(Handle);
    if (n == nullptr) return Fail(ERROR_INVALID_HANDLE);
    {
        std::lock_guard lock(g_notificationsMutex);
        std::erase(Notifications(), n);
    }
    n->subscription.reset();  // no more deliveries into the event
    ObDereferenceObject(n->eventObject);
    n->process->Close(n->eventHandle);
    n->magic = 0;
    delete n;
    return TRUE;
}

HANDLE BenchDeviceChangeEvent(HDEVNOTIFY Handle) {
    if (auto* link = remote::ClientLink::Current())
        return linked::BenchDeviceChangeEvent(*link, Handle);
    Notification* n = NotificationOf(Handle);
    if (n == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return n->eventHandle;
}

BOOL BenchTakeDeviceChange(HDEVNOTIFY Handle, HANDLE* recipient, WPARAM* wParam,
                           PDEV_BROADCAST_HDR Record, DWORD RecordSize, LPDWORD RequiredSize) {
    if (auto* link = remote::ClientLink::Current())
        return linked::BenchTakeDeviceChange(*link, Handle, recipient, wParam, Record, RecordSize,
                                             RequiredSize);
    Notification* n = NotificationOf(Handle);
    if (n == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (wParam == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    // One taker at a time, so that the message sized is the message taken.
    std::lock_guard lock(n->mutex);
    sim::DeviceInterfaceNotice notice;
    if (!n->subscription->Peek(&notice)) return Fail(ERROR_NO_MORE_ITEMS);
    const std::wstring path = Win32Path(notice.symbolicLink);
    const size_t bytes =
        offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * sizeof(WCHAR);
    const DWORD required =
        static_cast<DWORD>(std::max(bytes, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)));
    if (RequiredSize != nullptr) *RequiredSize = required;
    if (Record == nullptr || RecordSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER);
    auto* out = reinterpret_cast<PDEV_BROADCAST_DEVICEINTERFACE_W>(Record);
    std::memset(out, 0, required);
    out->dbcc_size = static_cast<DWORD>(bytes);
    out->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    out->dbcc_classguid = notice.classGuid;
    std::memcpy(out->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    *wParam = notice.kind == sim::DeviceInterfaceNotice::Kind::Arrival ? DBT_DEVICEARRIVAL
                                                                       : DBT_DEVICEREMOVECOMPLETE;
    if (recipient != nullptr) *recipient = n->recipient;
    (void)n->subscription->Next(&notice);  // the one peeked: only this taker removes notices
    return TRUE;
}

HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                              DWORD Flags) {
    (void)Enumerator;
    (void)hwndParent;
    if (ClassGuid == nullptr || (Flags & DIGCF_DEVICEINTERFACE) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::vector<std::wstring> machinePaths;
    remote::ClientLink* machine = remote::ClientLink::Current();
    if (machine != nullptr && !linked::GetClassDevs(*machine, *ClassGuid, Flags, &machinePaths))
        return INVALID_HANDLE_VALUE;
    auto* set = new DeviceInfoSet();
    set->classGuid = *ClassGuid;
    if (machine != nullptr) {
        set->paths = std::move(machinePaths);
        return set;
    }
    for (const std::wstring& link : sim::EnabledDeviceInterfaces(*ClassGuid))
        set->paths.push_back(Win32Path(link));
    return set;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    (void)DeviceInfoData;
    auto* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr ||
        DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!SameGuid(*InterfaceClassGuid, set->classGuid) || MemberIndex >= set->paths.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    DeviceInterfaceData->InterfaceClassGuid = set->classGuid;
    DeviceInterfaceData->Flags = 1;  // SPINT_ACTIVE
    DeviceInterfaceData->Reserved = MemberIndex + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet,
                                      PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    (void)DeviceInfoData;
    auto* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->Reserved == 0 ||
        DeviceInterfaceData->Reserved > set->paths.size())
        return Fail(ERROR_INVALID_PARAMETER);
    const std::wstring& path = set->paths[DeviceInterfaceData->Reserved - 1];
    const DWORD required =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                           (path.size() + 1) * sizeof(WCHAR));
    if (RequiredSize != nullptr) *RequiredSize = required;
    if (DeviceInterfaceDetailData == nullptr) {
        if (DeviceInterfaceDetailDataSize != 0) return Fail(ERROR_INVALID_PARAMETER);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return Fail(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceDetailDataSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER);
    for (size_t i = 0; i < path.size(); ++i) DeviceInterfaceDetailData->DevicePath[i] = path[i];
    DeviceInterfaceDetailData->DevicePath[path.size()] = L'\0';
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    auto* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    set->magic = 0;
    delete set;
    return TRUE;
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (auto* link = remote::ClientLink::Current())
        return linked::CreateFileW(*link, lpFileName, dwDesiredAccess, dwShareMode,
                                   dwCreationDisposition, dwFlagsAndAttributes);
    (void)dwDesiredAccess;
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)dwFlagsAndAttributes;
    (void)hTemplateFile;
    sim::Process* process = Current();
    if (process == nullptr || lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(process == nullptr ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = nullptr;
    const NTSTATUS status = process->OpenDevice(lpFileName, &handle);
    if (status < 0) {
        SetLastError(ErrorOf(status));
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
    if (auto* link = remote::ClientLink::Current())
        return linked::DeviceIoControl(*link, hDevice, dwIoControlCode, lpInBuffer, nInBufferSize,
                                       lpOutBuffer, nOutBufferSize, lpBytesReturned, lpOverlapped);
    sim::Process* process = Current();
    if (process == nullptr) return Fail(ERROR_INVALID_HANDLE);
    // Handles are opened synchronous: an overlapped request is not something this bench serves.
    if (lpOverlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER);
    ULONG returned = 0;
    const NTSTATUS status =
        process->DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                 nOutBufferSize, &returned);
    if (lpBytesReturned != nullptr) *lpBytesReturned = returned;
    if (status < 0) return Fail(ErrorOf(status));
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    if (auto* link = remote::ClientLink::Current()) return linked::CloseHandle(*link, hObject);
    sim::Process* process = Current();
    if (process == nullptr) return Fail(ERROR_INVALID_HANDLE);
    const NTSTATUS status = process->Close(hObject);
    return status < 0 ? Fail(ErrorOf(status)) : TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName) {
    if (auto* link = remote::ClientLink::Current())
        return linked::CreateEventW(*link, bManualReset, bInitialState, lpName);
    (void)lpEventAttributes;
    sim::Process* process = Current();
    // Named events would be shared across processes; no client of ours names one.
    if (process == nullptr || lpName != nullptr) {
        SetLastError(process == nullptr ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE event = process->CreateEvent(bManualReset != FALSE, bInitialState != FALSE);
    if (event == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return event;
}

BOOL SetEvent(HANDLE hEvent) {
    if (auto* link = remote::ClientLink::Current()) return linked::SetEvent(*link, hEvent);
    sim::Process* process = Current();
    if (process == nullptr || !process->SetEvent(hEvent)) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    if (auto* link = remote::ClientLink::Current()) return linked::ResetEvent(*link, hEvent);
    sim::Process* process = Current();
    if (process == nullptr || !process->ResetEvent(hEvent)) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds) {
    if (auto* link = remote::ClientLink::Current())
        return linked::WaitForMultipleObjects(*link, nCount, lpHandles, bWaitAll, dwMilliseconds);
    sim::Process* process = Current();
    if (process == nullptr || lpHandles == nullptr || nCount == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    const NTSTATUS status = process->Wait(lpHandles, nCount, bWaitAll != FALSE, dwMilliseconds);
    if (bWaitAll != FALSE && status == STATUS_SUCCESS) return WAIT_OBJECT_0;
    return WaitResult(status, nCount);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (auto* link = remote::ClientLink::Current())
        return linked::CreateThread(*link, lpStartAddress, lpParameter, dwCreationFlags,
                                    lpThreadId);
    (void)lpThreadAttributes;
    (void)dwStackSize;
    sim::Process* process = Current();
    // Suspended creation is not served: the flag is refused rather than ignored.
    if (process == nullptr || lpStartAddress == nullptr || dwCreationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE thread =
        process->StartThread([lpStartAddress, lpParameter] { (void)lpStartAddress(lpParameter); });
    if (thread == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId != nullptr) *lpThreadId = g_nextThreadId.fetch_add(4);
    return thread;
}

BOOL SetThreadPriority(HANDLE hThread, int nPriority) {
    (void)nPriority;  // the emulated machine schedules by its clock, not by priority
    return hThread != nullptr ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

void Sleep(DWORD dwMilliseconds) {
    if (remote::ClientLink::Current() != nullptr) return linked::Sleep(dwMilliseconds);
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * 10'000;
    const NTSTATUS status = KeDelayExecutionThread(KernelMode, FALSE, &interval);
    (void)status;  // a non-alertable delay ends when its time is up
}

DWORD timeGetTime() {
    if (remote::ClientLink::Current() != nullptr) return linked::timeGetTime();
    return static_cast<DWORD>(sim::MachineClock::Instance().Now() / sim::kTicksPerMillisecond);
}

MMRESULT timeBeginPeriod(UINT uPeriod) {
    return uPeriod >= 1 ? TIMERR_NOERROR : TIMERR_NOCANDO;
}

MMRESULT timeEndPeriod(UINT uPeriod) {
    return uPeriod >= 1 ? TIMERR_NOERROR : TIMERR_NOCANDO;
}

void OutputDebugStringA(LPCSTR lpOutputString) {
    if (lpOutputString != nullptr) sim::OutputDebugStringA(lpOutputString);
}

}  // namespace q407::win32
