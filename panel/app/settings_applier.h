// Carrying the main window's settings to the device and back: each operation takes the wanted
// record whole, sends only what differs from the current record, stores what it sent, and keeps
// the buttons, rate label and menu checks in step. Nothing is sent without a device.
#pragma once

#include <cstdint>

#include "panel/app/panel_config.h"
#include "panel/app/panel_view.h"
#include "platform/framework/profile_store.h"
#include "shared/mixer_settings.h"

namespace q407::panel {

class USBDevice;
class ZELController;

// Command identifiers of the buttons and menu items the operations keep in step.
inline constexpr unsigned kLevelButtonFirst = 16416;  // balanced 0, unbalanced 0, ... pair 3
inline constexpr unsigned kLevelButtonLast = 16423;
inline constexpr unsigned kProfessionalButton = 16432;
inline constexpr unsigned kConsumerButton = 16433;

struct MenuCheckItem {
    int32_t value;
    unsigned command;
};
inline constexpr MenuCheckItem kRateMenuItems[] = {
    {44100, 32776}, {48000, 32777}, {88200, 32778}, {96000, 32779}};
inline constexpr MenuCheckItem kLatencyMenuItems[] = {{32, 32780},  {64, 32781},  {128, 32782},
                                                      {256, 32783}, {512, 32784}, {1024, 32785}};
inline constexpr MenuCheckItem kUsbBufferMenuItems[] = {{2, 32790}, {3, 32791}, {4, 32792},
                                                        {5, 32793}, {6, 32794}, {7, 32795}};

// The factory latency is set even while another application records.
inline constexpr int32_t kFactoryLatency = 512;
inline constexpr uint32_t kFactoryUsbBuffers = 4;
// Per balanced output while the factory levels are written.
inline constexpr unsigned kFactoryLevelDelayMs = 10;

class SettingsApplier {
  public:
    // The settings are saved through the view, which writes both values of the profile; the
    // profile is taken so the dialog builds its operations over one set of members.
    SettingsApplier(PanelConfig& current, MixerSettings& copy, USBDevice*& device,
                    ZELController& port, framework::ProfileStore& profile, PanelView& view);
    SettingsApplier(const SettingsApplier&) = delete;
    SettingsApplier& operator=(const SettingsApplier&) = delete;

    void applySampleRate(PanelConfig config);
    void applyOutputLevels(PanelConfig config, unsigned delayMs);
    void applyDigitalSettings(PanelConfig config);
    void refreshFromDevice(PanelConfig config);
    void showSettings(PanelConfig config);
    void factoryDefault();
    void sendRouteTable();
    void sendOutputMap();
    void loadOutputMap();
    // Identifiers outside the buttons' ranges are ignored.
    void levelButtonClicked(unsigned id);
    void digitalFormatClicked(unsigned id);

  private:
    bool attached() const { return device_ != nullptr; }
    // The value output i is written with in its pair's mode, or false when the mode writes none.
    static bool outputValue(const PanelConfig& config, int32_t output, uint32_t* value);

    PanelConfig& current_;
    MixerSettings& copy_;
    USBDevice*& device_;
    ZELController& port_;
    PanelView& view_;
};

}  // namespace q407::panel
