// A winelib program that reaches the machine's devices with plain Win32 device calls through
// platform/user/device_access.h, as the control panel does. Commands on standard input, one
// answer line each:
//   enumerate      "paths N" then "path P" for each interface of the device class
//   version        opens the first interface, sends QueryInterfaceVersion: "version MAJOR MINOR"
//   handles        CloseHandle of a Wine event, of a bogus device handle, twice of a device
//   files          CreateFileW/CloseHandle of an ordinary file still reach Wine's own
//   register       RegisterDeviceNotificationW for the class, to the window: "registered 1"
//   unregister     "unregistered 1", then the same handle again: "again 0 ERROR"
//   quit
// WM_DEVICECHANGE prints "arrival PATH gui|other" or "removal PATH gui|other" (the thread the
// window procedure ran on). Any failure prints "error WHAT CODE".
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/user/device_access.h"
#include "shared/control_message.h"
#include "shared/device_interface.h"

namespace {

const UINT kCommandMessage = WM_APP + 1;
DWORD g_guiThread = 0;
HDEVNOTIFY g_notify = nullptr;

GUID DeviceClass() {
    GUID guid;
    static_assert(sizeof guid == sizeof q407::GUID_DEVINTERFACE_Q407);
    std::memcpy(&guid, &q407::GUID_DEVINTERFACE_Q407, sizeof guid);
    return guid;
}

std::string Utf8(const WCHAR* text) {
    char buffer[1024];
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr) <= 0)
        return "?";
    return buffer;
}

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

// The interface paths of the class, through device setup.
std::vector<std::vector<WCHAR>> Enumerate() {
    std::vector<std::vector<WCHAR>> paths;
    const GUID guid = DeviceClass();
    HDEVINFO set =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        Say("error SetupDiGetClassDevsW %lu", static_cast<unsigned long>(GetLastError()));
        return paths;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) break;
        DWORD required = 0;
        if (SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            Say("error size %lu", static_cast<unsigned long>(GetLastError()));
            break;
        }
        std::vector<unsigned char> storage(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr)) {
            Say("error detail %lu", static_cast<unsigned long>(GetLastError()));
            break;
        }
        const WCHAR* path = detail->DevicePath;
        paths.emplace_back(path, path + lstrlenW(path) + 1);
    }
    if (!SetupDiDestroyDeviceInfoList(set))
        Say("error SetupDiDestroyDeviceInfoList %lu", static_cast<unsigned long>(GetLastError()));
    if (SetupDiDestroyDeviceInfoList(set) || GetLastError() != ERROR_INVALID_HANDLE)
        Say("error destroyed twice");
    return paths;
}

HANDLE OpenFirst() {
    std::vector<std::vector<WCHAR>> paths = Enumerate();
    // With nothing present, a device path that names no device.
    const WCHAR* path = paths.empty() ? L"\\\\?\\q407#absent" : paths[0].data();
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void Version() {
    HANDLE device = OpenFirst();
    if (device == INVALID_HANDLE_VALUE) {
        Say("error open %lu", static_cast<unsigned long>(GetLastError()));
        return;
    }
    q407::ControlMessage m =
        q407::MakeControlMessage(q407::DeviceServicesType::QueryInterfaceVersion);
    q407::SetU32(m, q407::cm::kVersionMajor, 0xFF);
    q407::SetU32(m, q407::cm::kVersionMinor, 0xFF);
    DWORD returned = 0;
    if (!DeviceIoControl(device, q407::IOCTL_Q407_CONTROL_MESSAGE, &m, sizeof m, &m, sizeof m,
                         &returned, nullptr)) {
        Say("error control %lu", static_cast<unsigned long>(GetLastError()));
    } else {
        Say("version %u %u returned %lu", q407::GetU32(m, q407::cm::kVersionMajor),
            q407::GetU32(m, q407::cm::kVersionMinor), static_cast<unsigned long>(returned));
    }
    if (!CloseHandle(device)) Say("error close %lu", static_cast<unsigned long>(GetLastError()));
}

void Handles() {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const BOOL eventClosed = CloseHandle(event);
    SetLastError(0);
    const BOOL againClosed = CloseHandle(event);
    const DWORD againError = GetLastError();
    Say("event %d again %d %lu", eventClosed, againClosed, static_cast<unsigned long>(againError));

    HANDLE device = OpenFirst();
    const BOOL deviceClosed = CloseHandle(device);
    SetLastError(0);
    const BOOL deviceAgain = CloseHandle(device);
    const DWORD deviceError = GetLastError();
    DWORD returned = 0;
    char buffer[128] = {};
    SetLastError(0);
    const BOOL controlAfter =
        DeviceIoControl(device, q407::IOCTL_Q407_CONTROL_MESSAGE, buffer, sizeof buffer, buffer,
                        sizeof buffer, &returned, nullptr);
    const DWORD controlError = GetLastError();
    Say("device %d again %d %lu control %d %lu", deviceClosed, deviceAgain,
        static_cast<unsigned long>(deviceError), controlAfter,
        static_cast<unsigned long>(controlError));
}

void Files() {
    WCHAR folder[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"brg", 0, path);
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD wrote = 0;
    const BOOL written = file != INVALID_HANDLE_VALUE && WriteFile(file, "abc", 3, &wrote, nullptr);
    const BOOL closed = CloseHandle(file);
    const BOOL deleted = DeleteFileW(path);
    Say("file %d %lu %d %d", written, static_cast<unsigned long>(wrote), closed, deleted);
}

void Register(HWND window) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = DeviceClass();
    g_notify = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (g_notify == nullptr)
        Say("error register %lu", static_cast<unsigned long>(GetLastError()));
    else
        Say("registered 1");
}

void Unregister() {
    const BOOL done = UnregisterDeviceNotification(g_notify);
    SetLastError(0);
    const BOOL again = UnregisterDeviceNotification(g_notify);
    Say("unregistered %d again %d %lu", done, again, static_cast<unsigned long>(GetLastError()));
}

void RunCommand(HWND window, const char* line) {
    if (std::strncmp(line, "enumerate", 9) == 0) {
        std::vector<std::vector<WCHAR>> paths = Enumerate();
        Say("paths %zu", paths.size());
        for (const auto& path : paths) Say("path %s", Utf8(path.data()).c_str());
    } else if (std::strncmp(line, "version", 7) == 0) {
        Version();
    } else if (std::strncmp(line, "handles", 7) == 0) {
        Handles();
    } else if (std::strncmp(line, "files", 5) == 0) {
        Files();
    } else if (std::strncmp(line, "register", 8) == 0) {
        Register(window);
    } else if (std::strncmp(line, "unregister", 10) == 0) {
        Unregister();
    } else if (std::strncmp(line, "quit", 4) == 0) {
        DestroyWindow(window);
    } else {
        Say("error command");
    }
}

DWORD WINAPI ReadCommands(void* parameter) {
    HWND window = static_cast<HWND>(parameter);
    char line[256];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        char* copy = static_cast<char*>(std::malloc(std::strlen(line) + 1));
        if (copy == nullptr) break;
        std::strcpy(copy, line);
        if (!PostMessageW(window, kCommandMessage, 0, reinterpret_cast<LPARAM>(copy))) {
            std::free(copy);
            break;
        }
    }
    return 0;
}

LRESULT CALLBACK BridgeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DEVICECHANGE: {
            if (wParam != DBT_DEVICEARRIVAL && wParam != DBT_DEVICEREMOVECOMPLETE) return TRUE;
            auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(lParam);
            if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
                Say("error broadcast");
                return TRUE;
            }
            auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
            const GUID guid = DeviceClass();
            const bool sameClass = std::memcmp(&record->dbcc_classguid, &guid, sizeof guid) == 0;
            Say("%s %s %s %s", wParam == DBT_DEVICEARRIVAL ? "arrival" : "removal",
                Utf8(record->dbcc_name).c_str(),
                GetCurrentThreadId() == g_guiThread ? "gui" : "other",
                sameClass ? "class" : "otherclass");
            return TRUE;
        }
        case kCommandMessage: {
            char* line = reinterpret_cast<char*>(lParam);
            RunCommand(window, line);
            std::free(line);
            return 0;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    g_guiThread = GetCurrentThreadId();
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = BridgeProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"Q407BridgeProbe";
    if (RegisterClassW(&windowClass) == 0) return 2;
    HWND window = CreateWindowExW(0, L"Q407BridgeProbe", L"Bridge", WS_OVERLAPPEDWINDOW, 20, 20,
                                  200, 120, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 3;
    ShowWindow(window, SW_SHOW);
    RECT client;
    GetClientRect(window, &client);
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    Say("ready bridge %ld %ld %ld %ld", static_cast<long>(origin.x), static_cast<long>(origin.y),
        static_cast<long>(client.right), static_cast<long>(client.bottom));
    HANDLE reader = CreateThread(nullptr, 0, ReadCommands, window, 0, nullptr);
    if (reader == nullptr) return 4;
    CloseHandle(reader);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
