// A level meter bar: the unlit picture with the lit picture's rows shown from its level down,
// composed off-screen. A bar and its hold marker share one rectangle; each draws the whole
// meter (bar and marker) so that whichever is on top shows both.
#pragma once

#include "panel/widgets/meter_law.h"
#include "platform/framework/window.h"

namespace q407::panel {

class CPeakCtl : public framework::Window {
  public:
    // A child of parent at (x, y), the size of the unlit picture; creates nothing without both
    // picture names or when a picture is missing.
    bool Create(HWND parent, int x, int y, int id, HINSTANCE module, const wchar_t* unlit,
                const wchar_t* lit);
    // The bar's level rule; repaints when the level is taken.
    void SetLevel(int level);
    int Level() const { return bar_.level; }
    // The meter drawn over this one on the same rectangle (its hold marker), repainted with it.
    void PairOverlay(CPeakCtl* overlay, const HoldMarker* marker) {
        overlay_ = overlay;
        overlayMarker_ = marker;
    }

  protected:
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
    // The meter's picture: bar of barLevel and, for a hold above 0, the marker line.
    void PaintMeter(int barLevel, const HoldMarker* marker);
    virtual void Paint();

    HBITMAP unlit_ = nullptr;
    HBITMAP lit_ = nullptr;
    BarLevel bar_;
    CPeakCtl* overlay_ = nullptr;
    const HoldMarker* overlayMarker_ = nullptr;
};

}  // namespace q407::panel
