// A level meter with a peak-hold marker: a one-pixel line in the marker's colour across the
// meter at the hold level, over the bar it is paired with.
#pragma once

#include "panel/widgets/peak_ctl.h"

namespace q407::panel {

class CPeakMaxCtl : public CPeakCtl {
  public:
    // The hold rule; repaints when the hold was taken.
    void SetHold(int value);
    const HoldMarker& Marker() const { return marker_; }
    // The bar shown under this marker; the bar is told to repaint this window with it.
    void PairBar(CPeakCtl* bar);

  protected:
    void Paint() override;

  private:
    HoldMarker marker_;
    const CPeakCtl* bar_source_ = nullptr;
};

}  // namespace q407::panel
