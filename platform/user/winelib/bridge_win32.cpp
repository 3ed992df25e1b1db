// The winelib side of the device bridge: Wine-typed device calls over the host-side client
// (device_bridge.h), and the threads that turn queued device changes into WM_DEVICECHANGE.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// Wine's headers after the standard ones, windows.h first: the others rely on its types.
// clang-format off
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
// clang-format on

#include "platform/user/winelib/bridge_win32.h"
#include "platform/user/winelib/device_bridge.h"

namespace {

static_assert(sizeof(GUID) == sizeof(q407_bridge_guid));

// The longest device path the bridge passes on (a machine's paths are far shorter).
constexpr int kMaxPath = 1024;
// How long a notification waits for a window that does not answer before it moves on.
constexpr UINT kSendTimeoutMs = 10000;

q407_bridge_guid BridgeGuid(const GUID& guid) {
    q407_bridge_guid out;
    std::memcpy(&out, &guid, sizeof out);
    return out;
}

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

uint64_t ValueOf(HANDLE handle) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
}

HANDLE HandleOf(uint64_t value) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::vector<WCHAR> Widen(const char* text) {
    std::vector<WCHAR> out;
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 0) return std::vector<WCHAR>(1, 0);
    out.resize(static_cast<size_t>(length));
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), length);
    return out;
}

// UTF-8 of a terminated wide string; false when it does not convert.
bool Narrow(LPCWSTR text, std::string* out) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return false;
    out->resize(static_cast<size_t>(length));
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out->data(), length, nullptr, nullptr);
    out->pop_back();  // the terminator
    return true;
}

// The window class other processes of the machine look for: the panel's message window, which
// the ASIO driver finds (FindWindowW) and posts "show the main dialog" to.
constexpr WCHAR kSharedClass[] = L"Q407 Class";
constexpr char kSharedClassUtf8[] = "Q407 Class";
constexpr DWORD kShareLookMs = 250;
constexpr DWORD kShareRetryMs = 1000;

// This process's window of the shared class, if it has one.
HWND OwnSharedWindow() {
    HWND window = FindWindowW(kSharedClass, nullptr);
    DWORD process = 0;
    if (window == nullptr || GetWindowThreadProcessId(window, &process) == 0 ||
        process != GetCurrentProcessId())
        return nullptr;
    return window;
}

// A thread of Wine's for the program's whole life: once the program has created its window of
// the shared class, registers it with the machine and posts on to it what other processes post
// there. Registers again after the machine came back or the window was made anew.
DWORD WINAPI ShareWindow(LPVOID) {
    HWND window = nullptr;
    uint64_t registration = 0;
    for (;;) {
        if (registration == 0) {
            window = OwnSharedWindow();
            uint32_t error = 0;
            if (window == nullptr) {
                Sleep(kShareLookMs);
            } else if (q407_bridge_window_register(kSharedClassUtf8, &registration, &error) == 0) {
                registration = 0;
                Sleep(kShareRetryMs);
            }
            continue;
        }
        uint32_t message = 0;
        uint64_t wParam = 0;
        int64_t lParam = 0;
        const int took =
            q407_bridge_window_take(registration, kShareLookMs, &message, &wParam, &lParam);
        if (took == 1) {
            // A window that has just gone loses the message, as on Windows.
            (void)PostMessageW(window, message, static_cast<WPARAM>(wParam),
                               static_cast<LPARAM>(lParam));
        } else if (took < 0 || !IsWindow(window)) {
            q407_bridge_window_unregister(registration);
            registration = 0;
        }
    }
}

// Tells the host side this program's name once, before its first call, and starts sharing the
// program's window with the machine. Not std::call_once: optimised winelib code that inlines it
// overflows the stack of Wine's main thread.
void NameProgram() {
    static std::mutex mutex;
    static bool named = false;
    std::lock_guard lock(mutex);
    if (named) return;
    named = true;
    HANDLE sharing = CreateThread(nullptr, 0, ShareWindow, nullptr, 0, nullptr);
    // Without the thread the program works all the same; only other processes miss its window.
    if (sharing != nullptr) CloseHandle(sharing);
    WCHAR path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const WCHAR* name = path;
    for (DWORD i = 0; i < length; ++i)
        if (path[i] == L'\\' || path[i] == L'/') name = path + i + 1;
    std::string utf8;
    if (length > 0 && Narrow(name, &utf8)) q407_bridge_set_program(utf8.c_str());
}

// A snapshot of a class's interfaces, behind an HDEVINFO.
struct DeviceSet {
    GUID classGuid;
    std::vector<std::vector<WCHAR>> paths;  // each terminated
};

std::mutex g_setsMutex;
std::set<DeviceSet*> g_sets;

DeviceSet* SetOf(HDEVINFO handle) {
    auto* set = static_cast<DeviceSet*>(handle);
    std::lock_guard lock(g_setsMutex);
    return g_sets.count(set) != 0 ? set : nullptr;
}

bool IsDevicePath(LPCWSTR path) {
    return path != nullptr && path[0] == L'\\' && path[1] == L'\\' &&
           (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\';
}

// What the delivery thread of one registration needs.
struct Delivery {
    uint64_t registration;
    HWND window;
};

void Deliver(const Delivery& delivery, uint32_t event, const GUID& classGuid, const char* name) {
    std::vector<WCHAR> path = Widen(name);
    const size_t size =
        offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + path.size() * sizeof(WCHAR);
    std::vector<uint64_t> storage((size + sizeof(uint64_t) - 1) / sizeof(uint64_t) + 1);
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(storage.data());
    record->dbcc_size = static_cast<DWORD>(size);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_reserved = 0;
    record->dbcc_classguid = classGuid;
    std::memcpy(record->dbcc_name, path.data(), path.size() * sizeof(WCHAR));
    DWORD_PTR result = 0;
    // A window that is gone or hung loses this message, as on Windows.
    SendMessageTimeoutW(delivery.window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record),
                        SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
}

// A thread of Wine's: blocks in the host side until changes are queued, then sends each to the
// window. Ends with the registration or the machine.
DWORD WINAPI DeliverDeviceChanges(LPVOID parameter) {
    auto* delivery = static_cast<Delivery*>(parameter);
    while (q407_bridge_wait_change(delivery->registration) == 1) {
        for (;;) {
            uint32_t event = 0, required = 0, error = 0;
            q407_bridge_guid classGuid{};
            char name[kMaxPath];
            const int took = q407_bridge_take_change(delivery->registration, &event, &classGuid,
                                                     name, sizeof name, &required, &error);
            if (took == 0 && error != ERROR_INSUFFICIENT_BUFFER) break;  // none left, or ended
            GUID guid;
            std::memcpy(&guid, &classGuid, sizeof guid);
            Deliver(*delivery, event, guid, name);
        }
    }
    q407_bridge_release(delivery->registration);
    delete delivery;
    return 0;
}

}  // namespace

HDEVINFO WINAPI Q407BridgeSetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator,
                                               HWND hwndParent, DWORD Flags) {
    (void)Enumerator;  // interfaces of every enumerator
    (void)hwndParent;  // nothing to show
    if (ClassGuid == nullptr || (Flags & DIGCF_DEVICEINTERFACE) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    NameProgram();
    const q407_bridge_guid guid = BridgeGuid(*ClassGuid);
    uint32_t required = 0, error = 0;
    std::vector<char> paths(256);
    while (q407_bridge_class_paths(&guid, Flags, paths.data(), static_cast<uint32_t>(paths.size()),
                                   &required, &error) == 0) {
        if (error != ERROR_INSUFFICIENT_BUFFER || required <= paths.size()) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        paths.resize(required);
    }
    auto* set = new DeviceSet{*ClassGuid, {}};
    for (const char* p = paths.data(); *p != '\0'; p += std::strlen(p) + 1)
        set->paths.push_back(Widen(p));
    std::lock_guard lock(g_setsMutex);
    g_sets.insert(set);
    return set;
}

BOOL WINAPI Q407BridgeSetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet,
                                                  PSP_DEVINFO_DATA DeviceInfoData,
                                                  const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                                  PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    (void)DeviceInfoData;  // interfaces of every device of the set
    DeviceSet* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr ||
        DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!SameGuid(*InterfaceClassGuid, set->classGuid) || MemberIndex >= set->paths.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    DeviceInterfaceData->InterfaceClassGuid = set->classGuid;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = MemberIndex + 1;
    return TRUE;
}

BOOL WINAPI Q407BridgeSetupDiGetDeviceInterfaceDetailW(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
    (void)DeviceInfoData;  // the device record is not kept
    DeviceSet* set = SetOf(DeviceInfoSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->Reserved == 0 ||
        DeviceInterfaceData->Reserved > set->paths.size())
        return Fail(ERROR_INVALID_PARAMETER);
    const std::vector<WCHAR>& path = set->paths[DeviceInterfaceData->Reserved - 1];
    const auto required = static_cast<DWORD>(
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + path.size() * sizeof(WCHAR));
    if (RequiredSize != nullptr) *RequiredSize = required;
    if (DeviceInterfaceDetailData == nullptr) {
        if (DeviceInterfaceDetailDataSize != 0) return Fail(ERROR_INVALID_PARAMETER);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DeviceInterfaceDetailDataSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.data(), path.size() * sizeof(WCHAR));
    return TRUE;
}

BOOL WINAPI Q407BridgeSetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    auto* set = static_cast<DeviceSet*>(DeviceInfoSet);
    {
        std::lock_guard lock(g_setsMutex);
        if (g_sets.erase(set) == 0) return Fail(ERROR_INVALID_HANDLE);
    }
    delete set;
    return TRUE;
}

HANDLE WINAPI Q407BridgeCreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                    LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                    DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                    HANDLE hTemplateFile) {
    if (!IsDevicePath(lpFileName))
        return CreateFileW(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                           dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
    NameProgram();
    std::string path;
    if (!Narrow(lpFileName, &path)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    uint64_t handle = 0;
    uint32_t error = 0;
    if (q407_bridge_open(path.c_str(), dwDesiredAccess, dwShareMode, dwCreationDisposition,
                         dwFlagsAndAttributes, &handle, &error) == 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return HandleOf(handle);
}

BOOL WINAPI Q407BridgeDeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                      DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                      LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    if (!Q407_BRIDGE_IS_OURS(ValueOf(hDevice)))
        return DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                               nOutBufferSize, lpBytesReturned, lpOverlapped);
    // Device handles of the bridge are opened for synchronous I/O only.
    if (lpOverlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER);
    uint32_t returned = 0, error = 0;
    const int done =
        q407_bridge_control(ValueOf(hDevice), dwIoControlCode, lpInBuffer, nInBufferSize,
                            lpOutBuffer, nOutBufferSize, &returned, &error);
    if (lpBytesReturned != nullptr) *lpBytesReturned = returned;
    if (done == 0) return Fail(error);
    return TRUE;
}

BOOL WINAPI Q407BridgeCloseHandle(HANDLE hObject) {
    if (!Q407_BRIDGE_IS_OURS(ValueOf(hObject))) return CloseHandle(hObject);
    uint32_t error = 0;
    if (q407_bridge_close(ValueOf(hObject), &error) == 0) return Fail(error);
    return TRUE;
}

HDEVNOTIFY WINAPI Q407BridgeRegisterDeviceNotificationW(HANDLE hRecipient,
                                                        LPVOID NotificationFilter, DWORD Flags) {
    auto* filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(NotificationFilter);
    if (hRecipient == nullptr || filter == nullptr || (Flags & DEVICE_NOTIFY_SERVICE_HANDLE) != 0 ||
        !IsWindow(static_cast<HWND>(hRecipient))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    NameProgram();
    const q407_bridge_guid guid = BridgeGuid(filter->dbcc_classguid);
    uint64_t registration = 0;
    uint32_t error = 0;
    if (q407_bridge_register(ValueOf(hRecipient), filter->dbcc_size, filter->dbcc_devicetype, &guid,
                             Flags, &registration, &error) == 0) {
        SetLastError(error);
        return nullptr;
    }
    auto* delivery = new Delivery{registration, static_cast<HWND>(hRecipient)};
    HANDLE thread = CreateThread(nullptr, 0, DeliverDeviceChanges, delivery, 0, nullptr);
    if (thread == nullptr) {
        const DWORD failed = GetLastError();
        uint32_t ignored = 0;  // the registration goes either way
        q407_bridge_unregister(registration, &ignored);
        q407_bridge_release(registration);
        delete delivery;
        SetLastError(failed);
        return nullptr;
    }
    CloseHandle(thread);
    return HandleOf(registration);
}

BOOL WINAPI Q407BridgeUnregisterDeviceNotification(HDEVNOTIFY Handle) {
    if (!Q407_BRIDGE_IS_OURS(ValueOf(Handle))) return Fail(ERROR_INVALID_HANDLE);
    uint32_t error = 0;
    if (q407_bridge_unregister(ValueOf(Handle), &error) == 0) return Fail(error);
    return TRUE;
}
