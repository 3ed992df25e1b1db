#include "panel/widgets/mixer_page_model.h"

namespace q407::panel {

MixerPageModel::MixerPageModel(PanelOwner* owner) : owner_(owner) {
    fillInvalid(&config_);
    for (int& position : faders_) position = law_.maximum;
}

void MixerPageModel::SelectAnalog() {
    buttons_.analogOn = true;
    buttons_.digitalOn = false;  // never both sources shown selected
    buttons_.digitalDisabled = true;
    config_.spdifInput = 0;
}

void MixerPageModel::ApplyConfig(const PanelConfig& config) {
    config_ = config;
    live_ = true;
    buttons_.internalOn = false;
    buttons_.autoOn = false;
    if (config_.autoClock == 1) {
        buttons_.autoOn = true;
    } else {
        buttons_.internalOn = true;
        config_.autoClock = 0;
    }
    buttons_.analogOn = false;
    buttons_.digitalOn = false;
    buttons_.digitalDisabled = false;
    if (config_.spdifInput == 1) {
        buttons_.digitalOn = true;
    } else {
        buttons_.analogOn = true;
        config_.spdifInput = 0;
    }
    // S/PDIF input only with the clock taken from it.
    if (config_.autoClock == 0) SelectAnalog();
    for (int k = 0; k < kPanelOutputs; ++k) {
        buttons_.muteOn[k] = config_.mute[k] != 0;
        faders_[k] = law_.Clamp(config_.volume[k]);
    }
    for (int p = 0; p < kPanelOutputPairs; ++p) buttons_.linkOn[p] = config_.pairLink[p] != 0;
}

int MixerPageModel::FaderMoved(int output, int position) {
    if (output < 0 || output >= kPanelOutputs) return -1;
    const int p = law_.Clamp(position);
    faders_[output] = p;
    config_.volume[output] = static_cast<uint8_t>(p);
    int partner = -1;
    if (buttons_.linkOn[output / 2]) {
        partner = Partner(output);
        faders_[partner] = p;
        config_.volume[partner] = static_cast<uint8_t>(p);
    }
    PassLevels();
    return partner;
}

int MixerPageModel::MuteClicked(int output) {
    if (output < 0 || output >= kPanelOutputs) return -1;
    const bool on = !buttons_.muteOn[output];
    buttons_.muteOn[output] = on;
    config_.mute[output] = on ? 1 : 0;
    int partner = -1;
    if (buttons_.linkOn[output / 2]) {
        partner = Partner(output);
        buttons_.muteOn[partner] = on;
        config_.mute[partner] = on ? 1 : 0;
    }
    PassLevels();
    return partner;
}

void MixerPageModel::LinkClicked(int pair) {
    if (pair < 0 || pair >= kPanelOutputPairs) return;
    const bool on = !buttons_.linkOn[pair];
    buttons_.linkOn[pair] = on;
    config_.pairLink[pair] = on ? 1 : 0;
    PassDigital();
}

void MixerPageModel::InputSourceClicked(bool digital) {
    buttons_.analogOn = false;
    buttons_.digitalOn = false;
    buttons_.digitalDisabled = false;
    if (digital) {
        buttons_.digitalOn = true;
        config_.spdifInput = 1;
    } else {
        buttons_.analogOn = true;
        config_.spdifInput = 0;
    }
    if (config_.autoClock == 0) SelectAnalog();
    PassDigital();
}

void MixerPageModel::ClockSourceClicked(bool automatic) {
    buttons_.internalOn = false;
    buttons_.autoOn = false;
    buttons_.digitalDisabled = false;
    if (automatic) {
        buttons_.autoOn = true;
        config_.autoClock = 1;
    } else {
        buttons_.internalOn = true;
        config_.autoClock = 0;
        SelectAnalog();
    }
    PassDigital();
}

void MixerPageModel::PassLevels() {
    if (!live_ || owner_ == nullptr) return;
    owner_->applyOutputLevels(config_, 0);
    owner_->applyDigitalSettings(config_);
}

void MixerPageModel::PassDigital() {
    if (!live_ || owner_ == nullptr) return;
    owner_->applyDigitalSettings(config_);
}

}  // namespace q407::panel
