// The panel's icon in the taskbar's notification area: a left click (or double click) sends the
// main window the default item of the icon's menu ("&Open"); a right click opens that menu. The
// object owns a hidden message window; the icon's notifications go to the main window, which
// hands them to OnTrayNotification.
#pragma once

#include "platform/framework/window.h"
// window.h brings windows.h, which shellapi.h needs first.
#include <shellapi.h>

namespace q407::panel {

// NOTIFYICONDATAW as the shell of the panel's platforms takes it.
inline constexpr DWORD kNotifyIconRecordSize = 0x3BC;

class CSystemTray : public framework::Window {
  public:
    CSystemTray() = default;
    ~CSystemTray() override;

    // Adds the icon; its notifications come as callbackMessage to mainWindow (or to the message
    // window without one), with wParam = iconId. The menu resource menuId's first popup is the
    // icon's menu. False when the shell refused the icon (the object stays disabled).
    bool Create(HINSTANCE instance, HWND mainWindow, UINT callbackMessage, const wchar_t* tip,
                HICON icon, UINT iconId, UINT menuId);
    // A notification of the icon: 0 when it was not ours or no menu could be shown.
    LRESULT OnTrayNotification(WPARAM wParam, LPARAM lParam);
    // Adds the icon again when the shell lost it (a restarted taskbar).
    void AddAgain();
    // Removes the icon and the message window.
    void Remove();

    bool Enabled() const { return enabled_; }
    const NOTIFYICONDATAW& Record() const { return record_; }

  protected:
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

  private:
    HWND MainWindow() const;
    HMENU LoadTrayPopup(HMENU* menu) const;

    bool enabled_ = false;
    bool hidden_ = false;
    NOTIFYICONDATAW record_{};
    // The panel never animates its icon: no icon list, timer or period is kept.
    UINT defaultItem_ = 0;
    bool defaultByPosition_ = true;

    HINSTANCE instance_ = nullptr;
    UINT menuId_ = 0;
};

}  // namespace q407::panel
