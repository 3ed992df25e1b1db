// What the main window does when the device watcher reports the device: attach it (load the
// saved settings or the factory defaults, carry them to the device, start the meters) or detach
// it (stop, save, forget the settings).
#pragma once

#include <cstdint>

#include "panel/app/panel_config.h"
#include "panel/app/panel_view.h"
#include "platform/framework/profile_store.h"
#include "shared/engine_status.h"
#include "shared/mixer_settings.h"

namespace q407::panel {

class SettingsApplier;
class USBDevice;
class ZELController;

inline constexpr int kDeviceArrived = 1;
inline constexpr int kDeviceRemoved = 2;
inline constexpr int kDeviceInitialCheck = 4;

// The program's version as the title shows it.
inline constexpr int kPanelVersionMajor = 1;
inline constexpr int kPanelVersionMinor = 4;

// The main window's device state, owned by the dialog.
struct DeviceAttachmentState {
    PanelConfig& current;
    MixerSettings& copy;
    USBDevice*& device;
    ZELController& port;
    EngineStatus*& statusRecord;
    uint64_t& statusKey;
    framework::ProfileStore& profile;
    PanelView& view;
    SettingsApplier& applier;
    bool defaultRequested;
};

class DeviceAttachment {
  public:
    explicit DeviceAttachment(const DeviceAttachmentState& state) : s_(state) {}
    DeviceAttachment(const DeviceAttachment&) = delete;
    DeviceAttachment& operator=(const DeviceAttachment&) = delete;

    // Nothing when a device is already attached or device is null.
    void attach(USBDevice* device);
    // The device part only when a device is attached and device is it or null; the settings are
    // saved (when the record holds any) and forgotten in any case.
    void detach(USBDevice* device);
    // 1 attaches, 2 detaches, anything else shows or hides the pages as a device is attached.
    void onDeviceEvent(USBDevice* device, int event);

  private:
    DeviceAttachmentState s_;
};

// "ZEL Q407 LX Control Panel - Ver 1.4" followed by suffix, into out (capacity in characters).
void FormatPanelTitle(wchar_t* out, unsigned capacity, const wchar_t* suffix);

}  // namespace q407::panel
