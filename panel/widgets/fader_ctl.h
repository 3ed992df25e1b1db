// The output fader: a track picture with a knob picture (another while it has the focus) moved
// by dragging, the arrow keys and the wheel. Each move posts WM_VSCROLL (SB_THUMBPOSITION, the
// low word of the fader's handle) to the owner, which reads Position().
#pragma once

#include "panel/widgets/fader_law.h"
#include "platform/framework/window.h"

namespace q407::panel {

class CFaderCtl : public framework::Window {
  public:
    // A child of owner at (x, y), the size of the track picture; creates nothing without a track
    // picture name or when a picture is missing.
    bool Create(HWND owner, int x, int y, int id, HINSTANCE module, const wchar_t* track,
                const wchar_t* knob, const wchar_t* knobFocused);
    // Clamped to the range, repainted; the owner is not told.
    void SetPosition(int position);
    int Position() const { return position_; }
    bool Focused() const { return focused_; }

  protected:
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

  private:
    void Moved(int position);
    void Paint();

    HWND owner_ = nullptr;
    HBITMAP track_ = nullptr;
    HBITMAP knob_ = nullptr;
    HBITMAP knobFocused_ = nullptr;
    SIZE knobSize_{};
    FaderLaw law_;
    int position_ = 127;
    bool focused_ = false;
};

}  // namespace q407::panel
