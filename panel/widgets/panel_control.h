// The mixer page: a child page of the main dialog (template 154, empty) holding sixteen input
// and eight output meters with hold markers, eight faders with dB labels, mute and link
// buttons, and the input-source and clock-source buttons. Its state and rules are a
// MixerPageModel; this class keeps the windows in step with it.
#pragma once

#include "panel/widgets/fader_ctl.h"
#include "panel/widgets/meter_law.h"
#include "panel/widgets/mixer_page_model.h"
#include "panel/widgets/panel_interface.h"
#include "panel/widgets/panel_owner.h"
#include "panel/widgets/peak_max_ctl.h"
#include "panel/widgets/zel_bitmap_button.h"
#include "panel/widgets/zel_static.h"
#include "platform/framework/dialog.h"

namespace q407::panel {

inline constexpr int kPageTemplateId = 154;

class CPanelControl : public framework::Dialog, public IPanelInterface {
  public:
    explicit CPanelControl(PanelOwner* owner);
    ~CPanelControl() override;

    // Creates the page as a child of the dialog at (0, 0), the background's height and its
    // width less the dialog's 85 right columns; false when the template or picture is missing.
    bool Create(HINSTANCE instance, HWND parentDialog);

    void UpdateMeters(const uint8_t* peaks24) override;
    void ApplyConfig(PanelConfig config) override;
    void Show(int flag) override;
    void SetDevice(USBDevice* device) override { device_ = device; }
    void ClearDevice() override { device_ = nullptr; }
    // Clears the meter history, destroys the window and deletes the page.
    void Release() override;
    void ShowAll(int flag) override { Show(flag); }

    const MixerPageModel& Model() const { return model_; }
    USBDevice* Device() const { return device_; }

  protected:
    bool OnInitDialog() override;
    bool OnCommand(WORD id, WORD code, HWND control) override;
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

  private:
    void CreateControls();
    void FaderScrolled(LPARAM lParam);
    void ShowOutput(int k);
    void ShowButtons();
    void Paint();

    static MeterHistory history_;  // shared by every page

    MixerPageModel model_;
    USBDevice* device_ = nullptr;
    HINSTANCE instance_ = nullptr;
    HBITMAP background_ = nullptr;
    HFONT font_ = nullptr;
    HBRUSH brush_ = nullptr;
    CZELBitmapButton mute_[kPanelOutputs];
    CZELBitmapButton link_[kPanelOutputPairs];
    CZELBitmapButton source_[4];  // analog, S/PDIF, INTERNAL, AUTO
    CPeakCtl inputBar_[kMeterInputs];
    CPeakMaxCtl inputHold_[kMeterInputs];
    CPeakCtl outputBar_[kMeterOutputs];
    CPeakMaxCtl outputHold_[kMeterOutputs];
    CFaderCtl fader_[kPanelOutputs];
    CZELStatic label_[kPanelOutputs];
};

}  // namespace q407::panel
