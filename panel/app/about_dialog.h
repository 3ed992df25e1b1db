// The About box: the program's picture with the driver and firmware versions, an OK area that
// closes it and a link area that opens the maker's support page.
#pragma once

#include "platform/framework/dialog.h"

namespace q407::panel {

inline constexpr RECT kAboutCloseArea = {117, 184, 162, 195};
inline constexpr RECT kAboutSupportArea = {74, 163, 203, 171};

// Which area of the About box a client point lies in: 1 close, 2 support page, 0 none (the
// rectangles' edges included).
int AboutAreaAt(int x, int y);

class CAboutDlg : public framework::Dialog {
  public:
    // The texts are the driver's version and the firmware's short version (UTF-8 from the
    // version records, ASCII in practice).
    CAboutDlg(HINSTANCE instance, HICON icon, const char* driverText, const char* firmwareText,
              const wchar_t* supportAddress);
    ~CAboutDlg() override;

  protected:
    bool OnInitDialog() override;
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

  private:
    void Paint();

    HINSTANCE instance_;
    HICON icon_;
    WCHAR driver_[64] = {};
    WCHAR firmware_[16] = {};
    const wchar_t* supportAddress_;
    HBRUSH textBrush_ = nullptr;
    int pressedArea_ = 0;
};

}  // namespace q407::panel
