// Waits for the control panel's main dialog, prints its title, and asks it to exit: the Windows
// checks run it beside Q407Pan.exe under Wine.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>

namespace {

BOOL CALLBACK FindPanel(HWND window, LPARAM context) {
    WCHAR className[16] = {};
    WCHAR title[128] = {};
    GetClassNameW(window, className, 16);
    GetWindowTextW(window, title, 128);
    if (lstrcmpW(className, L"#32770") != 0 || title[0] != L'Z') return TRUE;
    *reinterpret_cast<HWND*>(context) = window;
    return FALSE;
}

}  // namespace

int wmain() {
    HWND panel = nullptr;
    for (int i = 0; i < 600 && panel == nullptr; ++i) {
        EnumWindows(FindPanel, reinterpret_cast<LPARAM>(&panel));
        if (panel == nullptr) Sleep(100);
    }
    if (panel == nullptr) {
        std::printf("no panel window\n");
        return 1;
    }
    // The title is set during start-up; give the device check a moment.
    Sleep(1000);
    WCHAR title[128] = {};
    GetWindowTextW(panel, title, 128);
    char text[256] = {};
    WideCharToMultiByte(CP_UTF8, 0, title, -1, text, sizeof text, nullptr, nullptr);
    std::printf("title %s\n", text);
    PostMessageW(panel, WM_COMMAND, 32773, 0);
    return 0;
}
