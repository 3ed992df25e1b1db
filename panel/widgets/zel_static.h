// The panel's label: one line of text in Arial 12 over a solid background, centred (mode 6),
// left (mode 0) or right aligned (any other mode).
#pragma once

#include "platform/framework/window.h"

namespace q407::panel {

class CZELStatic : public framework::Window {
  public:
    static constexpr int kCentred = 6;
    static constexpr int kLeft = 0;

    ~CZELStatic() override;

    bool Create(HWND parent, const RECT& rect, int id, COLORREF textColour, COLORREF backColour,
                const wchar_t* text);
    // Both repaint the label. Text beyond 63 characters is cut.
    void SetText(const wchar_t* text);
    void SetMode(int mode);
    const wchar_t* Text() const { return text_; }
    int Mode() const { return mode_; }

  protected:
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

  private:
    void Paint();

    wchar_t text_[64] = {};
    int mode_ = kCentred;
    COLORREF textColour_ = 0;
    COLORREF backColour_ = 0;
    HFONT font_ = nullptr;
};

}  // namespace q407::panel
