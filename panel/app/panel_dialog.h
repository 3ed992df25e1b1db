// The control panel's main window: a dialog that lives hidden behind its notification-area icon.
// It owns the settings state (current record, mixer settings copy, device, port, status record)
// and the widgets that show it, drives the meters from the device's status record, and carries out
// the menu commands. Settings reach the device through one SettingsApplier; device arrival and
// removal through one DeviceAttachment, both over the dialog's state.
#pragma once

#include <cstdint>

#include "panel/app/device_attachment.h"
#include "panel/app/panel_config.h"
#include "panel/app/panel_view.h"
#include "panel/app/settings_applier.h"
#include "panel/app/usb_device.h"
#include "panel/app/zel_controller.h"
#include "panel/widgets/panel_interface.h"
#include "panel/widgets/panel_owner.h"
#include "panel/widgets/system_tray.h"
#include "platform/framework/bitmap_button.h"
#include "platform/framework/dialog.h"
#include "platform/framework/profile_store.h"
#include "shared/engine_status.h"
#include "shared/mixer_settings.h"

namespace q407::panel {

inline constexpr UINT kTrayCallbackMessage = 0x464;
inline constexpr UINT kHideMessage = 0x465;
inline constexpr UINT_PTR kMeterTimer = 1;
inline constexpr UINT_PTR kRefreshTimer = 2;
inline constexpr UINT kMeterPeriodMs = 50;
inline constexpr UINT kRefreshPeriodMs = 5000;
inline constexpr UINT kTrayIconId = 163;
inline constexpr int kMeterBytes = 32;
// Where the meters come from in the status record: input peaks, then output peaks.
inline constexpr size_t kInputPeaksOffset = 80;
inline constexpr size_t kOutputPeaksOffset = 64;
inline constexpr int kMaxPages = 4;
inline constexpr wchar_t kSupportAddress[] = L"https://support.zel-audio.example/q407lx";

// A two-picture button that stays pressed while on (level and digital format buttons).
class OnOffButton : public framework::BitmapButton {
  public:
    void SetOn(bool on);
    bool On() const { return on_; }

  protected:
    HBITMAP ChoosePicture(UINT itemState) const override;

  private:
    bool on_ = false;
};

// The 32 meter bytes from a status record (zero without one). The driver takes the record's
// pages away when the device is removed, before the removal reaches the window: a record that
// can no longer be read gives zeros and false instead of a fault.
bool CopyMeters(const EngineStatus* status, uint8_t* meters32);

class CZELPanelDlg : public framework::Dialog, public PanelView, public PanelOwner {
  public:
    CZELPanelDlg(HINSTANCE instance, framework::ProfileStore& profile, bool defaultRequested);
    ~CZELPanelDlg() override;

    // The device watcher's callback (context = the dialog).
    static void OnDeviceEvent(void* context, USBDevice* device, int event);

    USBDevice* Device() const { return device_; }
    const PanelConfig& Current() const { return current_; }
    bool AlwaysOnTop() const { return alwaysOnTop_; }
    CSystemTray& Tray() { return tray_; }
    // Shows the dialog normally and in front (the "&Open" command, a second start, the ASIO
    // driver's request through the message window).
    void ShowPanel();
    // Adds a page (the dialog calls every page's operations); false when the list is full.
    bool AddPage(IPanelInterface* page);

    // PanelView
    void ApplyConfigToPages(const PanelConfig& config) override;
    void ShowDigitalFormat(bool professional) override;
    void ShowLevelMode(int pair, bool unbalanced) override;
    void ShowLevelAndFormatButtons(bool visible) override;
    void SetRateLabel(const wchar_t* text) override;
    void SetMenuCheck(unsigned command, bool checked) override;
    void ShowError(const wchar_t* text) override;
    void SaveSettings() override;
    void HideRoutingViews() override;
    void Wait(unsigned milliseconds) override;
    void SetTitle(const wchar_t* text) override;
    void PagesShowAll(int flag) override;
    void PagesSetDevice(USBDevice* device) override;
    void StartTimers() override;
    void StopMeterTimer() override;
    void ReAddTrayIcon() override;

    // PanelOwner
    void applyOutputLevels(PanelConfig config, int delayMs) override;
    void applyDigitalSettings(PanelConfig config) override;

  protected:
    bool OnInitDialog() override;
    bool OnCommand(WORD id, WORD code, HWND control) override;
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

  private:
    void SizeAndCentre();
    void CreateRoutingViews();
    void CreateButtons();
    void OnMeterTimer();
    void OnPaint();
    void ShowFromTray();
    void ToggleAlwaysOnTop();
    void SetLatency(uint32_t samples);
    void ShowAbout();
    void OnDestroy();

    HINSTANCE instance_;
    framework::ProfileStore& profile_;
    bool defaultRequested_;

    CSystemTray tray_;
    IPanelInterface* pages_[kMaxPages] = {};
    int pageCount_ = 0;
    HFONT boldFont_ = nullptr;
    HBRUSH background_ = nullptr;
    HBRUSH labelBrush_ = nullptr;
    HWND rateLabel_ = nullptr;
    OnOffButton levelButtons_[8];
    OnOffButton formatButtons_[2];  // consumer, professional
    ZELController port_;
    PanelConfig current_{};
    bool alwaysOnTop_ = false;
    // False until the dialog is asked to show: the modal loop's own first show is refused, so
    // the panel starts in the notification area only.
    bool mayShow_ = false;
    USBDevice* device_ = nullptr;
    EngineStatus* status_ = nullptr;
    uint64_t statusKey_ = 0;
    HWND flexPath_ = nullptr;
    HWND outputRouting_ = nullptr;
    MixerSettings copy_{};
    HICON icon_ = nullptr;

    SettingsApplier applier_;
    DeviceAttachment attachment_;
};

}  // namespace q407::panel
