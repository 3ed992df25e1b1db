// A winelib program that stands in for the control panel in the launcher's tests: one window
// titled like the panel that looks for the device through the Win32 device calls four times a
// second and paints what it finds (green: a device, red: "No Device"). Each change of state is
// appended as a line ("device present" or "device absent") to the file named by
// $Q407_STAND_IN_LOG, so that a test sees what the program saw. Like the panel it has a hidden
// message window of the class "Q407 Class"; "show" is logged each time that window is posted
// WM_SHOWWINDOW with 9 (show the main dialog), which then comes to the front.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/user/device_access.h"
#include "shared/device_interface.h"

namespace {

constexpr UINT_PTR kLookTimer = 1;
int g_present = -1;  // unknown until the first look
HWND g_main = nullptr;

GUID DeviceClass() {
    GUID guid;
    static_assert(sizeof guid == sizeof q407::GUID_DEVINTERFACE_Q407);
    std::memcpy(&guid, &q407::GUID_DEVINTERFACE_Q407, sizeof guid);
    return guid;
}

// Whether an interface of the class is there and opens.
bool DevicePresent() {
    const GUID guid = DeviceClass();
    HDEVINFO set =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    bool opened = false;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    DWORD required = 0;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data) &&
        !SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER && required < 4096) {
        alignas(8) unsigned char storage[4096];
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr)) {
            HANDLE device = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
            if (device != INVALID_HANDLE_VALUE) {
                opened = true;
                CloseHandle(device);
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return opened;
}

void Record(const char* line) {
    const char* path = std::getenv("Q407_STAND_IN_LOG");
    if (path == nullptr || *path == '\0') return;
    if (FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, "%s\n", line);
        std::fclose(file);
    }
}

void Look(HWND window) {
    const int present = DevicePresent() ? 1 : 0;
    if (present == g_present) return;
    g_present = present;
    Record(present ? "device present" : "device absent");
    InvalidateRect(window, nullptr, TRUE);
}

LRESULT CALLBACK StandInProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            if (wParam == kLookTimer) Look(window);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            RECT client;
            GetClientRect(window, &client);
            HBRUSH brush = CreateSolidBrush(g_present == 1 ? RGB(0, 160, 0) : RGB(200, 0, 0));
            FillRect(dc, &client, brush);
            DeleteObject(brush);
            SetBkMode(dc, TRANSPARENT);
            const wchar_t* text = g_present == 1 ? L"Q407 LX" : L"No Device";
            DrawTextW(dc, text, -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_DESTROY:
            KillTimer(window, kLookTimer);
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

LRESULT CALLBACK MessageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SHOWWINDOW && wParam == 9) {
        Record("show");
        ShowWindow(g_main, SW_SHOWNORMAL);
        SetForegroundWindow(g_main);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = StandInProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.lpszClassName = L"Q407PanelStandIn";
    if (RegisterClassW(&windowClass) == 0) return 2;
    HWND window =
        CreateWindowExW(0, L"Q407PanelStandIn", L"Q407 LX Control Panel", WS_OVERLAPPEDWINDOW, 40,
                        40, 320, 200, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 3;
    g_main = window;
    WNDCLASSW messageClass = {};
    messageClass.style = CS_HREDRAW | CS_VREDRAW;
    messageClass.lpfnWndProc = MessageProc;
    messageClass.hInstance = instance;
    messageClass.lpszClassName = L"Q407 Class";
    if (RegisterClassW(&messageClass) == 0) return 4;
    if (CreateWindowExW(0, L"Q407 Class", L"", 0, 0, 0, 0, 0, nullptr, nullptr, instance,
                        nullptr) == nullptr)
        return 5;
    Look(window);
    SetTimer(window, kLookTimer, 250, nullptr);
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
