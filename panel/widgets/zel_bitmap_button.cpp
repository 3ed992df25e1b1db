#include "panel/widgets/zel_bitmap_button.h"

namespace q407::panel {

void CZELBitmapButton::SetOn(bool on) {
    on_ = on;
    Invalidate(true);
}

void CZELBitmapButton::SetDisabled(bool disabled) {
    disabled_ = disabled;
    Invalidate(true);
}

HBITMAP CZELBitmapButton::ChoosePicture(UINT) const {
    if (disabled_ && PictureOf(kDisabled) != nullptr) return PictureOf(kDisabled);
    if (on_ && PictureOf(kSelected) != nullptr) return PictureOf(kSelected);
    return PictureOf(kNormal);
}

}  // namespace q407::panel
