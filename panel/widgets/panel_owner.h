// What a panel page calls on the dialog that owns it when the user changes something; each call
// carries a whole copy of the page's settings record.
#pragma once

#include "panel/app/panel_config.h"

namespace q407::panel {

class PanelOwner {
  public:
    virtual void applyOutputLevels(PanelConfig config, int delayMs) = 0;
    virtual void applyDigitalSettings(PanelConfig config) = 0;

  protected:
    ~PanelOwner() = default;
};

}  // namespace q407::panel
