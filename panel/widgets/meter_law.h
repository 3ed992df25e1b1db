// The level meters' laws: the raw peak byte to a meter level on a log curve with a slow fall,
// the bar's acceptance of a level, and the peak-hold marker with its colour and timed fall.
#pragma once

#include <cstdint>

namespace q407::panel {

inline constexpr int kMeterInputs = 16;
inline constexpr int kMeterOutputs = 8;
inline constexpr int kMeterMinimum = 0;
inline constexpr int kMeterMaximum = 127;
// The largest raw byte the curve takes; anything above reads as this (level 126). Bytes of
// 128..255 are out of the driver's range and are read as a full-scale signal, not as silence.
inline constexpr int kMeterRawLimit = 123;

// Colours as COLORREF values (red in the low byte).
constexpr uint32_t MeterRgb(int r, int g, int b) {
    return static_cast<uint32_t>(r) | (static_cast<uint32_t>(g) << 8) |
           (static_cast<uint32_t>(b) << 16);
}
inline constexpr uint32_t kHoldColourNormal = MeterRgb(94, 212, 42);
inline constexpr uint32_t kHoldColourHigh = MeterRgb(253, 95, 89);
inline constexpr int kHoldHighAbove = 115;
inline constexpr int kHoldFallEvery = 6;

// The level for raw byte r after previous level q: 0 for r = 0; else trunc(ln(min(r,123) + 1) x
// 26.33745), which when below q falls to q - 2 (q > 2) or q - 1 instead.
int MeterLevel(uint8_t raw, int previous);

// What one meter gets on one update: hold marker first, then bar.
struct MeterUpdate {
    int hold;
    int bar;
};

// Previous levels of every input and output meter, shared by the page.
struct MeterHistory {
    uint8_t inputs[kMeterInputs] = {};
    uint8_t outputs[kMeterOutputs] = {};
    void Clear();
};

// One update of all 24 meters from the peak bytes (0..15 inputs, 16..23 outputs; null reads as
// silence): a meter whose previous level was 0 gets 0 for this update; every previous level
// becomes the new level.
void UpdateMeterLevels(const uint8_t* peaks24, MeterHistory& history,
                       MeterUpdate (&updates)[kMeterInputs + kMeterOutputs]);

// A bar's range and current level.
struct BarLevel {
    int minimum = kMeterMinimum;
    int maximum = kMeterMaximum;
    int level = 0;
    // Takes the level and returns true (repaint) unless both old and new are 0 or it lies
    // outside minimum..maximum - 1.
    bool Set(int value);
    // The first lit row of a bar of the given height: H - H x level / range.
    int LitTop(int height) const;
};

// The peak-hold marker: level, colour and the counter that slows its fall.
struct HoldMarker {
    int minimum = kMeterMinimum;
    int maximum = kMeterMaximum;
    int hold = 0;
    uint32_t colour = kHoldColourNormal;
    int counter = 0;
    // True when the marker is to be repainted. 0 clears it; a value at or above the hold
    // raises it (red above 115); a lower one lets it fall by 4, 2 or 1 on every sixth call.
    bool Set(int value);
    // The marker's row within a bar of the given height; meaningful only while hold > 0.
    int Row(int height) const;
};

}  // namespace q407::panel
