// The panel's picture button: the framework's bitmap button whose picture follows two flags its
// owner sets, on (selected picture) and disabled (disabled picture, which wins), rather than the
// pressed and focus states. A click is an ordinary BN_CLICKED; the button never changes its flags.
#pragma once

#include "platform/framework/bitmap_button.h"

namespace q407::panel {

class CZELBitmapButton : public framework::BitmapButton {
  public:
    // Each repaints the button (invalidated with erase).
    void SetOn(bool on);
    void SetDisabled(bool disabled);
    bool On() const { return on_; }
    bool Disabled() const { return disabled_; }

  protected:
    HBITMAP ChoosePicture(UINT itemState) const override;

  private:
    bool on_ = false;
    bool disabled_ = false;
};

}  // namespace q407::panel
