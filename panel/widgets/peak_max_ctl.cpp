#include "panel/widgets/peak_max_ctl.h"

#include "panel/widgets/paint_buffer.h"

namespace q407::panel {

void CPeakMaxCtl::SetHold(int value) {
    if (!marker_.Set(value)) return;
    if (Handle() != nullptr) RedrawNow(Handle());
}

void CPeakMaxCtl::PairBar(CPeakCtl* bar) {
    bar_source_ = bar;
    if (bar != nullptr) bar->PairOverlay(this, &marker_);
}

void CPeakMaxCtl::Paint() {
    PaintMeter(bar_source_ != nullptr ? bar_source_->Level() : Level(), &marker_);
}

}  // namespace q407::panel
