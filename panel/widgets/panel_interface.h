// The operations through which the main dialog drives a panel page, in their slot order.
#pragma once

#include <cstdint>

#include "panel/app/panel_config.h"

namespace q407::panel {

class USBDevice;

class IPanelInterface {
  public:
    virtual void UpdateMeters(const uint8_t* peaks24) = 0;  // 0..15 inputs, 16..23 outputs
    virtual void ApplyConfig(PanelConfig config) = 0;
    virtual void Show(int flag) = 0;
    virtual void SetDevice(USBDevice* device) = 0;
    virtual void ClearDevice() = 0;
    virtual void Release() = 0;
    virtual void ShowAll(int flag) = 0;

  protected:
    ~IPanelInterface() = default;
};

}  // namespace q407::panel
