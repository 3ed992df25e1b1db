#include "panel/widgets/meter_law.h"

#include <cmath>

namespace q407::panel {

int MeterLevel(uint8_t raw, int previous) {
    if (raw == 0) return 0;
    const int r = raw > kMeterRawLimit ? kMeterRawLimit : raw;
    int level = static_cast<int>(std::log(static_cast<double>(r + 1)) * 26.33745);
    if (level < previous) level = previous > 2 ? previous - 2 : previous - 1;
    return level;
}

void MeterHistory::Clear() {
    for (uint8_t& q : inputs) q = 0;
    for (uint8_t& q : outputs) q = 0;
}

namespace {

MeterUpdate Step(uint8_t raw, uint8_t& previous) {
    const int q = previous;
    const int n = MeterLevel(raw, q);
    previous = static_cast<uint8_t>(n);
    if (q == 0) return {0, 0};
    return {n, n};
}

}  // namespace

void UpdateMeterLevels(const uint8_t* peaks24, MeterHistory& history,
                       MeterUpdate (&updates)[kMeterInputs + kMeterOutputs]) {
    for (int i = 0; i < kMeterInputs; ++i) {
        const uint8_t raw = peaks24 != nullptr ? peaks24[i] : 0;
        updates[i] = Step(raw, history.inputs[i]);
    }
    for (int k = 0; k < kMeterOutputs; ++k) {
        const uint8_t raw = peaks24 != nullptr ? peaks24[kMeterInputs + k] : 0;
        updates[kMeterInputs + k] = Step(raw, history.outputs[k]);
    }
}

bool BarLevel::Set(int value) {
    if (value + level == 0) return false;
    if (value < minimum || value >= maximum) return false;
    level = value;
    return true;
}

int BarLevel::LitTop(int height) const {
    const int range = maximum - minimum;
    if (range <= 0) return height;
    return height - height * level / range;
}

bool HoldMarker::Set(int value) {
    if (value == 0) {
        hold = 0;
        counter = 0;
        return true;
    }
    if (value < minimum || value > maximum - 1) return false;
    if (value >= hold) {
        hold = value;
        colour = value > kHoldHighAbove ? kHoldColourHigh : kHoldColourNormal;
    } else if (counter % kHoldFallEvery == 0) {
        counter = 0;
        const int distance = hold - value;
        hold -= distance > 4 ? 4 : (distance >= 3 ? 2 : 1);
    }
    ++counter;
    return true;
}

int HoldMarker::Row(int height) const {
    const int range = maximum - minimum;
    if (range <= 0) return height;
    return height - height * hold / range;
}

}  // namespace q407::panel
