#include "panel/widgets/system_tray.h"

#include <cwchar>

namespace q407::panel {
namespace {

constexpr wchar_t kTrayWindowClass[] = L"Q407TrayMessageWindow";
constexpr size_t kTipChars = 128;

}  // namespace

CSystemTray::~CSystemTray() {
    Remove();
}

bool CSystemTray::Create(HINSTANCE instance, HWND mainWindow, UINT callbackMessage,
                         const wchar_t* tip, HICON icon, UINT iconId, UINT menuId) {
    instance_ = instance;
    menuId_ = menuId;
    if (Handle() == nullptr) {
        RegisterWindowClass(instance, kTrayWindowClass, 0, nullptr);
        // Without a message window the icon still works when it reports to the main window.
        Window::Create(0, kTrayWindowClass, L"", WS_POPUP, 0, 0, 10, 10, nullptr, 0, instance);
    }
    record_ = NOTIFYICONDATAW{};
    record_.cbSize = kNotifyIconRecordSize;
    record_.hWnd = mainWindow != nullptr ? mainWindow : Handle();
    record_.uID = iconId;
    record_.hIcon = icon;
    record_.uCallbackMessage = callbackMessage;
    record_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    if (tip != nullptr) {
        size_t i = 0;
        for (; i + 1 < kTipChars && tip[i] != L'\0'; ++i) record_.szTip[i] = tip[i];
        record_.szTip[i] = L'\0';
    }
    enabled_ = Shell_NotifyIconW(NIM_ADD, &record_) != FALSE;
    hidden_ = !enabled_;
    return enabled_;
}

HWND CSystemTray::MainWindow() const {
    return record_.hWnd;
}

HMENU CSystemTray::LoadTrayPopup(HMENU* menu) const {
    *menu = LoadMenuW(instance_, MAKEINTRESOURCEW(menuId_));
    if (*menu == nullptr) return nullptr;
    HMENU popup = GetSubMenu(*menu, 0);
    if (popup == nullptr) {
        DestroyMenu(*menu);
        *menu = nullptr;
    }
    return popup;
}

LRESULT CSystemTray::OnTrayNotification(WPARAM wParam, LPARAM lParam) {
    if (wParam != record_.uID) return 0;
    const UINT mouse = LOWORD(lParam);
    if (mouse != WM_LBUTTONUP && mouse != WM_LBUTTONDBLCLK && mouse != WM_RBUTTONUP) return 1;
    HMENU menu = nullptr;
    HMENU popup = LoadTrayPopup(&menu);
    if (popup == nullptr) return 0;
    const HWND main = MainWindow();
    if (mouse == WM_RBUTTONUP) {
        SetMenuDefaultItem(popup, defaultItem_, defaultByPosition_ ? TRUE : FALSE);
        POINT cursor{};
        GetCursorPos(&cursor);
        SetForegroundWindow(main);
        TrackPopupMenu(popup, TPM_LEFTBUTTON, cursor.x, cursor.y, 0, main, nullptr);
        // Lets the menu close when the user clicks elsewhere.
        PostMessageW(main, WM_NULL, 0, 0);
    } else {
        SetForegroundWindow(main);
        const UINT command = defaultByPosition_
                                 ? GetMenuItemID(popup, static_cast<int>(defaultItem_))
                                 : defaultItem_;
        SendMessageW(main, WM_COMMAND, command, 0);
    }
    DestroyMenu(menu);
    return 1;
}

void CSystemTray::AddAgain() {
    if (record_.cbSize == 0) return;
    if (Shell_NotifyIconW(NIM_MODIFY, &record_) != FALSE) return;
    enabled_ = Shell_NotifyIconW(NIM_ADD, &record_) != FALSE;
    hidden_ = !enabled_;
}

void CSystemTray::Remove() {
    if (enabled_) {
        record_.uFlags = 0;
        Shell_NotifyIconW(NIM_DELETE, &record_);
        enabled_ = false;
        hidden_ = true;
    }
    if (Handle() != nullptr) Destroy();
}

bool CSystemTray::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (record_.uCallbackMessage != 0 && message == record_.uCallbackMessage) {
        *result = OnTrayNotification(wParam, lParam);
        return true;
    }
    return Window::HandleMessage(message, wParam, lParam, result);
}

}  // namespace q407::panel
