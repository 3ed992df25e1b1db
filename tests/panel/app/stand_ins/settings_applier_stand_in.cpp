// Placeholder settings operations for builds that do not have the real ones yet: they change
// nothing on the device.
#include "panel/app/settings_applier.h"

namespace q407::panel {

SettingsApplier::SettingsApplier(PanelConfig& current, MixerSettings& copy, USBDevice*& device,
                                 ZELController& port, framework::ProfileStore& profile,
                                 PanelView& view)
    : current_(current),
      copy_(copy),
      device_(device),
      port_(port),
      profile_(profile),
      view_(view) {}

void SettingsApplier::applySampleRate(PanelConfig) {}
void SettingsApplier::applyOutputLevels(PanelConfig, unsigned) {}
void SettingsApplier::applyDigitalSettings(PanelConfig) {}
void SettingsApplier::refreshFromDevice(PanelConfig) {}
void SettingsApplier::showSettings(PanelConfig) {}
void SettingsApplier::factoryDefault() {
    view_.HideRoutingViews();
}
void SettingsApplier::sendRouteTable() {}
void SettingsApplier::sendOutputMap() {}
void SettingsApplier::loadOutputMap() {}
void SettingsApplier::levelButtonClicked(unsigned) {}
void SettingsApplier::digitalFormatClicked(unsigned) {}

}  // namespace q407::panel
