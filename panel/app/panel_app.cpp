#include "panel/app/panel_app.h"

#include "panel/app/panel_config.h"
#include "panel/app/panel_dialog.h"
// After windows.h (through the headers above).
#include <shellapi.h>

namespace q407::panel {
namespace {

// The dialog the message window shows; set while the dialog exists.
CZELPanelDlg* mainDialog = nullptr;

LRESULT CALLBACK MessageWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND dialog = mainDialog != nullptr ? mainDialog->Handle() : nullptr;
    if (dialog != nullptr && IsWindow(dialog)) {
        if (message == WM_SHOWWINDOW) {
            mainDialog->ShowPanel();
        } else if (message == WM_DESTROY) {
            SendMessageW(dialog, WM_DESTROY, 0, 0);
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

bool CZELPanelApp::HandOverToFirstCopy(HANDLE* mutex) {
    *mutex = CreateMutexW(nullptr, TRUE, kSingleInstanceMutex);
    const DWORD error = GetLastError();
    if (*mutex != nullptr && error != ERROR_ALREADY_EXISTS) {
        // Only its existence matters: other copies test for it by name.
        ReleaseMutex(*mutex);
        return false;
    }
    if (*mutex != nullptr) {
        CloseHandle(*mutex);
        *mutex = nullptr;
    }
    // A second copy: the first one's message window shows its dialog. Without one, end silently.
    const HWND first = FindWindowW(kMessageWindowClass, nullptr);
    if (first != nullptr) {
        PostMessageW(first, WM_SHOWWINDOW, kShowRequest, 0);
        SetForegroundWindow(first);
    }
    return true;
}

int CZELPanelApp::Run(int argc, const wchar_t* const* argv) {
    HANDLE mutex = nullptr;
    if (HandOverToFirstCopy(&mutex)) return 0;
    SetRegistryKey(kCompanyKey);

    const bool defaults = defaultRequested(argc, argv);
    int result = 0;
    {
        CZELPanelDlg dialog(Instance(), *this, defaults);
        mainDialog = &dialog;
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.style = CS_HREDRAW | CS_VREDRAW;
        windowClass.lpfnWndProc = MessageWindowProcedure;
        windowClass.hInstance = Instance();
        windowClass.lpszClassName = kMessageWindowClass;
        RegisterClassExW(&windowClass);
        HWND messageWindow = CreateWindowExW(0, kMessageWindowClass, L"", 0, 0, 0, 0, 0, nullptr,
                                             nullptr, Instance(), nullptr);
        result = static_cast<int>(dialog.DoModal(Instance(), nullptr));
        mainDialog = nullptr;
        if (messageWindow != nullptr) DestroyWindow(messageWindow);
    }
    if (mutex != nullptr) CloseHandle(mutex);
    return result < 0 ? 1 : 0;
}

}  // namespace q407::panel
