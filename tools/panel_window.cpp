// q407 panel's look at the control panel under Wine, from inside the panel's prefix: finds the
// panel's main window (the top-level window of no owner whose title holds "Q407 LX Control
// Panel"), with the argument "open" shows it as the notification-area menu's "&Open" does, and
// prints its screen rectangle and title on one line:
//     window X Y WIDTH HEIGHT visible V title TITLE
// or "window none". Exit code 0 when the window was found (and, with "open", became visible), 1
// when it was not found, 2 when it stayed hidden. Every wait is bounded.
#include <cstdio>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h.
#include <shellapi.h>

#include "panel/app/resource.h"

namespace {

constexpr int kFindTries = 300;     // 30 s for the dialog to exist
constexpr int kVisibleTries = 150;  // 15 s for it to show (a loaded machine is slow)

// Whether text holds part (both Windows strings: 2-byte characters, so no wcs* functions).
bool Holds(const WCHAR* text, const WCHAR* part) {
    for (; *text != 0; ++text) {
        int i = 0;
        while (part[i] != 0 && text[i] == part[i]) ++i;
        if (part[i] == 0) return true;
    }
    return false;
}

BOOL CALLBACK Match(HWND window, LPARAM context) {
    // The panel's message boxes carry its name too, but belong to the main window.
    if (GetWindow(window, GW_OWNER) != nullptr) return TRUE;
    WCHAR title[256] = {};
    GetWindowTextW(window, title, 256);
    if (!Holds(title, L"Q407 LX Control Panel")) return TRUE;
    *reinterpret_cast<HWND*>(context) = window;
    return FALSE;
}

HWND FindPanel() {
    for (int i = 0; i < kFindTries; ++i) {
        HWND found = nullptr;
        EnumWindows(Match, reinterpret_cast<LPARAM>(&found));
        if (found != nullptr) return found;
        Sleep(100);
    }
    return nullptr;
}

bool AskedToOpen() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const bool open = argv != nullptr && argc > 1 && lstrcmpW(argv[1], L"open") == 0;
    if (argv != nullptr) LocalFree(argv);
    return open;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    const bool open = AskedToOpen();
    HWND panel = FindPanel();
    if (panel == nullptr) {
        std::printf("window none\n");
        std::fflush(stdout);
        return 1;
    }
    if (open && !IsWindowVisible(panel)) {
        PostMessageW(panel, WM_COMMAND, ID_TRAY_OPEN, 0);
        for (int i = 0; i < kVisibleTries && !IsWindowVisible(panel); ++i) Sleep(100);
    }
    RECT rect{};
    GetWindowRect(panel, &rect);
    const bool visible = IsWindowVisible(panel) != 0;
    WCHAR title[256] = {};
    GetWindowTextW(panel, title, 256);
    char utf8[768] = {};
    if (WideCharToMultiByte(CP_UTF8, 0, title, -1, utf8, sizeof utf8, nullptr, nullptr) <= 0)
        utf8[0] = 0;
    std::printf("window %ld %ld %ld %ld visible %d title %s\n", static_cast<long>(rect.left),
                static_cast<long>(rect.top), static_cast<long>(rect.right - rect.left),
                static_cast<long>(rect.bottom - rect.top), visible ? 1 : 0, utf8);
    std::fflush(stdout);
    return open && !visible ? 2 : 0;
}
