// A small Win32 program for the Wine test harness: one top-level window that reports the screen
// rectangle of its client area on its ready line, reports every left-button press and release in
// client coordinates, and obeys a few commands read from standard input:
//   quit          close the window; the program exits with code 0
//   exit N        leave at once with exit code N
//   fill R G B    paint the client area in that colour, then answer "filled"
// After the ready line it prints "title T", T from its string table.
// Started with the argument "hang", it stops answering before its ready line (for the timeout
// tests).
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Wine's header after the standard ones.
// clang-format off
#include <windows.h>
// clang-format on

namespace {

const UINT kCommandMessage = WM_APP + 1;
COLORREF g_fill = RGB(255, 255, 255);

// Commands travel from the reader thread to the window as heap copies of the line.
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

void RunCommand(HWND window, const char* line) {
    int r = 0, g = 0, b = 0, code = 0;
    if (std::strncmp(line, "quit", 4) == 0) {
        PostMessageW(window, WM_CLOSE, 0, 0);
    } else if (std::sscanf(line, "exit %d", &code) == 1) {
        std::fflush(stdout);
        ExitProcess(static_cast<UINT>(code));
    } else if (std::sscanf(line, "fill %d %d %d", &r, &g, &b) == 3) {
        g_fill = RGB(r, g, b);
        InvalidateRect(window, nullptr, TRUE);
        UpdateWindow(window);
        GdiFlush();
        std::printf("filled\n");
    } else {
        std::printf("unknown command\n");
    }
    std::fflush(stdout);
}

LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP:
            std::printf("%s %d %d\n", message == WM_LBUTTONDOWN ? "press" : "release",
                        static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)));
            std::fflush(stdout);
            return 0;
        case WM_ERASEBKGND: {
            RECT client;
            GetClientRect(window, &client);
            HBRUSH brush = CreateSolidBrush(g_fill);
            FillRect(reinterpret_cast<HDC>(wParam), &client, brush);
            DeleteObject(brush);
            return 1;
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

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
    if (commandLine != nullptr && lstrcmpW(commandLine, L"hang") == 0) {
        for (;;) Sleep(1000);
    }
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = ProbeProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.lpszClassName = L"Q407ProbeWindow";
    if (RegisterClassW(&windowClass) == 0) return 2;
    HWND window = CreateWindowExW(0, L"Q407ProbeWindow", L"Probe", WS_OVERLAPPEDWINDOW, 40, 60, 320,
                                  240, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 3;
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);

    RECT client;
    GetClientRect(window, &client);
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    std::printf("ready probe %ld %ld %ld %ld\n", static_cast<long>(origin.x),
                static_cast<long>(origin.y), static_cast<long>(client.right),
                static_cast<long>(client.bottom));
    std::fflush(stdout);

    // The title from the program's string table.
    WCHAR title[64] = {};
    char utf8[128] = {};
    LoadStringW(instance, 1, title, 64);
    WideCharToMultiByte(CP_UTF8, 0, title, -1, utf8, sizeof utf8, nullptr, nullptr);
    std::printf("title %s\n", utf8);
    std::fflush(stdout);

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
