// What the settings and device operations show on the main window: the pages, buttons, labels,
// menu checks, messages, title and timers. The main dialog implements it; tests record it.
#pragma once

#include "panel/app/panel_config.h"

namespace q407::panel {

class USBDevice;

class PanelView {
  public:
    virtual void ApplyConfigToPages(const PanelConfig& config) = 0;  // every page's ApplyConfig
    virtual void ShowDigitalFormat(bool professional) = 0;           // press one, release other
    virtual void ShowLevelMode(int pair, bool unbalanced) = 0;
    virtual void ShowLevelAndFormatButtons(bool visible) = 0;
    virtual void SetRateLabel(const wchar_t* text) = 0;  // "%d Hz" or "KHz"
    virtual void SetMenuCheck(unsigned command, bool checked) = 0;
    virtual void ShowError(const wchar_t* text) = 0;  // message box, error icon
    virtual void SaveSettings() = 0;                  // both registry values
    virtual void HideRoutingViews() = 0;
    virtual void Wait(unsigned milliseconds) = 0;  // Sleep
    virtual void SetTitle(const wchar_t* text) = 0;
    virtual void PagesShowAll(int flag) = 0;
    virtual void PagesSetDevice(USBDevice* device) = 0;
    virtual void StartTimers() = 0;  // 1 (50 ms) and 2 (5 s)
    virtual void StopMeterTimer() = 0;
    virtual void ReAddTrayIcon() = 0;

  protected:
    ~PanelView() = default;
};

}  // namespace q407::panel
