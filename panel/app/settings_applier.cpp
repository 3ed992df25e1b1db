#include "panel/app/settings_applier.h"

#include <cstring>

#include "panel/app/usb_device.h"
#include "panel/app/zel_controller.h"

namespace q407::panel {
namespace {

// The texts are shown as they are: the variants without a space are the ones users have seen.
constexpr wchar_t kSetConfigurationError[] = L"Function error USBDevice::setConfiguration()";
constexpr wchar_t kSetOutVolumeError[] = L"Function error Q407Controller::setOutVolume()";
constexpr wchar_t kSetOutVolumeBalancedError[] = L"Function errorQ407Controller::setOutVolume()";
constexpr wchar_t kSetDigitalFormatError[] = L"Function errorQ407Controller::setDigitalFormat()";
constexpr wchar_t kNoRateText[] = L"KHz";

constexpr int32_t kBalanced = 0;
constexpr int32_t kUnbalanced = 1;
// The unbalanced outputs sit this many steps below the balanced level.
constexpr int32_t kUnbalancedOffset = 10;

// "%d Hz" by hand: the window code's wide strings are not the C library's in every build.
void FormatRate(wchar_t* out, size_t capacity, int32_t rate) {
    wchar_t digits[12];
    size_t n = 0;
    const bool negative = rate < 0;
    uint32_t magnitude = negative ? 0u - static_cast<uint32_t>(rate) : static_cast<uint32_t>(rate);
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t pos = 0;
    if (negative && pos + 1 < capacity) out[pos++] = L'-';
    while (n > 0 && pos + 1 < capacity) out[pos++] = digits[--n];
    for (const wchar_t* s = L" Hz"; *s != 0 && pos + 1 < capacity; ++s) out[pos++] = *s;
    out[pos] = 0;
}

template <size_t N>
void ShowMenuChecks(PanelView& view, const MenuCheckItem (&items)[N], bool attached,
                    int32_t value) {
    for (const MenuCheckItem& item : items) view.SetMenuCheck(item.command, false);
    if (!attached) return;
    for (const MenuCheckItem& item : items) {
        if (item.value == value) view.SetMenuCheck(item.command, true);
    }
}

// An entry naming no client channel (a negative one too: the block comes from the device)
// means the output plays its own channel.
void NormaliseOutputMap(OutputMap* map) {
    for (int32_t i = 0; i < kPanelOutputs; ++i) {
        if (static_cast<uint32_t>(map->entries[i]) > static_cast<uint32_t>(kPanelOutputs))
            map->entries[i] = i;
    }
}

}  // namespace

SettingsApplier::SettingsApplier(PanelConfig& current, MixerSettings& copy, USBDevice*& device,
                                 ZELController& port, framework::ProfileStore& /*profile*/,
                                 PanelView& view)
    : current_(current), copy_(copy), device_(device), port_(port), view_(view) {}

void SettingsApplier::applySampleRate(PanelConfig config) {
    if (!attached() || config.sampleRate == current_.sampleRate) return;
    if (!device_->setConfiguration(static_cast<uint32_t>(config.sampleRate)))
        view_.ShowError(kSetConfigurationError);
    current_.sampleRate = config.sampleRate;
}

bool SettingsApplier::outputValue(const PanelConfig& config, int32_t output, uint32_t* value) {
    const int32_t mode = config.levelMode[output / 2];
    int32_t level = config.volume[output];
    if (mode == kUnbalanced) {
        level -= kUnbalancedOffset;
        if (level > kMaxOutputLevel || level < 0) level = 0;
    } else if (mode != kBalanced) {
        return false;
    }
    // A balanced level above the codec's range is passed on: the port refuses it and says so.
    *value = config.mute[output] != 0 ? 0u : static_cast<uint32_t>(level);
    return true;
}

void SettingsApplier::applyOutputLevels(PanelConfig config, unsigned delayMs) {
    if (!attached()) return;
    // Outputs whose pair changed mode first, so a pair never plays at the other mode's level.
    for (int32_t i = 0; i < kPanelOutputs; ++i) {
        const int32_t pair = i / 2;
        if (config.levelMode[pair] == current_.levelMode[pair]) continue;
        if (config.levelMode[pair] == kBalanced) view_.Wait(delayMs);
        uint32_t value = 0;
        if (!outputValue(config, i, &value)) continue;
        if (!port_.setOutVolume(static_cast<uint32_t>(i), value))
            view_.ShowError(kSetOutVolumeError);
    }
    for (int32_t i = 0; i < kPanelOutputs; ++i) {
        const int32_t pair = i / 2;
        if (config.levelMode[pair] != current_.levelMode[pair]) continue;
        if (config.volume[i] == current_.volume[i] && config.mute[i] == current_.mute[i]) continue;
        const bool balanced = config.levelMode[pair] == kBalanced;
        if (balanced) view_.Wait(delayMs);
        uint32_t value = 0;
        if (!outputValue(config, i, &value)) continue;
        if (!port_.setOutVolume(static_cast<uint32_t>(i), value))
            view_.ShowError(balanced ? kSetOutVolumeBalancedError : kSetOutVolumeError);
    }
    std::memcpy(current_.pairLink, config.pairLink, sizeof(current_.pairLink));
    std::memcpy(current_.mute, config.mute, sizeof(current_.mute));
    std::memcpy(current_.volume, config.volume, sizeof(current_.volume));
    std::memcpy(current_.levelMode, config.levelMode, sizeof(current_.levelMode));
    view_.SaveSettings();
}

void SettingsApplier::applyDigitalSettings(PanelConfig config) {
    bool changed = false;
    if (attached() && config.digitalFormat != current_.digitalFormat) {
        if (!port_.setDigitalFormat(static_cast<uint32_t>(config.digitalFormat)))
            view_.ShowError(kSetDigitalFormatError);
        current_.digitalFormat = config.digitalFormat;
        changed = true;
    }
    if (attached() &&
        (config.autoClock != current_.autoClock || config.spdifInput != current_.spdifInput)) {
        const uint8_t options = static_cast<uint8_t>((config.autoClock == 1 ? 0x80 : 0) |
                                                     (config.spdifInput == 1 ? 0x01 : 0));
        // Not reported: the next refresh shows what the device took.
        (void)device_->setDigitalOptions(options);
        current_.autoClock = config.autoClock;
        current_.spdifInput = config.spdifInput;
        changed = true;
    }
    refreshFromDevice(config);
    showSettings(config);
    if (changed) view_.SaveSettings();
}

void SettingsApplier::refreshFromDevice(PanelConfig config) {
    int32_t rate = config.sampleRate;
    int32_t latency = config.latency;
    int32_t buffers = config.usbBufferCount;
    bool rateChanged = false;
    if (attached()) {
        uint32_t read = 0;
        if (device_->readRate(&read)) {
            rate = static_cast<int32_t>(read);
            rateChanged = rate != current_.sampleRate;
        }
        current_.sampleRate = rate;
        const uint32_t samples = device_->getLatency();
        // A size outside the engine's range is a failed or garbled answer.
        if (samples >= 32 && samples <= 2048) {
            latency = static_cast<int32_t>(samples);
            current_.latency = latency;
        }
        buffers = device_->readUsbBuffer();
        current_.usbBufferCount = buffers;
    }
    if (attached()) {
        wchar_t text[24];
        FormatRate(text, sizeof(text) / sizeof(text[0]), rate);
        view_.SetRateLabel(text);
    } else {
        view_.SetRateLabel(kNoRateText);
    }
    ShowMenuChecks(view_, kRateMenuItems, attached(), rate);
    ShowMenuChecks(view_, kLatencyMenuItems, attached(), latency);
    ShowMenuChecks(view_, kUsbBufferMenuItems, attached(), buffers);
    if (rateChanged) view_.SaveSettings();
}

void SettingsApplier::showSettings(PanelConfig config) {
    view_.ApplyConfigToPages(config);
    view_.ShowDigitalFormat(config.digitalFormat == 1);
    for (int p = 0; p < kPanelOutputPairs; ++p) view_.ShowLevelMode(p, config.levelMode[p] == 1);
}

void SettingsApplier::factoryDefault() {
    if (attached()) {
        PanelConfig defaults;
        makeDefaultConfig(&defaults, device_);
        applySampleRate(defaults);
        if (defaults.latency != current_.latency) {
            // Forced, so not refused while another application records; not reported.
            (void)device_->setLatency(static_cast<uint32_t>(kFactoryLatency), 1);
            current_.latency = kFactoryLatency;
        }
        applyOutputLevels(defaults, kFactoryLevelDelayMs);
        applyDigitalSettings(defaults);
        (void)device_->setUsbBuffer(kFactoryUsbBuffers);
        MixerSettings block = copy_;
        // Without the device's block nothing is written: a guessed block would overwrite its
        // rate and buffers.
        const bool read = device_->readSettings(&block);
        if (!read) block = copy_;
        resetOutputMap(&block);
        clearRouteTable(&block);
        copy_ = block;
        if (read) (void)device_->writeSettings(&copy_);
        showSettings(current_);
    }
    view_.HideRoutingViews();
}

void SettingsApplier::sendRouteTable() {
    OutputDebugStringA("SendFlexPathToDriver\n");
    if (!attached()) return;
    MixerSettings block{};
    if (!device_->readSettings(&block)) return;
    block.routeTable = copy_.routeTable;
    (void)device_->writeSettings(&block);
}

void SettingsApplier::sendOutputMap() {
    OutputDebugStringA("SendOutputRoutingToDriver\n");
    if (!attached()) return;
    NormaliseOutputMap(&copy_.outputMap);
    MixerSettings block{};
    if (!device_->readSettings(&block)) return;
    block.outputMap = copy_.outputMap;
    (void)device_->writeSettings(&block);
}

void SettingsApplier::loadOutputMap() {
    if (!attached()) return;
    MixerSettings block{};
    if (!device_->readSettings(&block)) return;
    NormaliseOutputMap(&block.outputMap);
    copy_.outputMap = block.outputMap;
}

void SettingsApplier::levelButtonClicked(unsigned id) {
    if (id < kLevelButtonFirst || id > kLevelButtonLast) return;
    const unsigned k = id - kLevelButtonFirst;
    const int pair = static_cast<int>(k / 2);
    const bool unbalanced = (k % 2) != 0;
    PanelConfig copy = current_;
    view_.ShowLevelMode(pair, unbalanced);
    copy.levelMode[pair] = unbalanced ? kUnbalanced : kBalanced;
    if (!attached()) return;
    applyOutputLevels(copy, 0);
    showSettings(copy);
}

void SettingsApplier::digitalFormatClicked(unsigned id) {
    if (id != kProfessionalButton && id != kConsumerButton) return;
    const bool professional = id == kProfessionalButton;
    view_.ShowDigitalFormat(professional);
    PanelConfig copy = current_;
    copy.digitalFormat = professional ? 1 : 0;
    if (!attached()) return;
    applyDigitalSettings(copy);
    showSettings(copy);
}

}  // namespace q407::panel
