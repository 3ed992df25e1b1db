// The mixer page's state without windows: its copy of the settings record, the live flag, the
// on/disabled flags its buttons show and the fader positions, and the rules by which a click or
// a fader move changes them and reaches the owner.
#pragma once

#include "panel/app/panel_config.h"
#include "panel/widgets/fader_law.h"
#include "panel/widgets/panel_owner.h"

namespace q407::panel {

struct MixerButtons {
    bool muteOn[kPanelOutputs] = {};
    bool linkOn[kPanelOutputPairs] = {};
    bool analogOn = true;  // selected at start
    bool digitalOn = false;
    bool digitalDisabled = false;
    bool internalOn = true;  // selected at start
    bool autoOn = false;
};

class MixerPageModel {
  public:
    // Until the first ApplyConfig the record is all 0xFF and nothing reaches the owner.
    explicit MixerPageModel(PanelOwner* owner);

    // Copies the record, goes live and sets every flag and fader from it; calls nothing.
    void ApplyConfig(const PanelConfig& config);

    // Each returns the other output of the pair when the change was copied to it, else -1.
    int FaderMoved(int output, int position);
    int MuteClicked(int output);
    void LinkClicked(int pair);
    void InputSourceClicked(bool digital);
    void ClockSourceClicked(bool automatic);

    const PanelConfig& Config() const { return config_; }
    const MixerButtons& Buttons() const { return buttons_; }
    int FaderPosition(int output) const { return faders_[output]; }
    bool Live() const { return live_; }

    static int Partner(int output) { return output % 2 == 0 ? output + 1 : output - 1; }

  private:
    void PassLevels();
    void PassDigital();
    void SelectAnalog();

    PanelOwner* owner_;
    PanelConfig config_;
    MixerButtons buttons_;
    int faders_[kPanelOutputs];
    bool live_ = false;
    FaderLaw law_;
};

}  // namespace q407::panel
