// The fader's law: level byte 0..127 (127 = 0.0 dB, 0.5 dB a step), the pointer's row to a
// position, where the knob sits for a position, and the read-out text.
#pragma once

#include <cstddef>

namespace q407::panel {

struct FaderLaw {
    static constexpr int kTrackHeight = 161;
    static constexpr int kKnobHeight = 16;

    int trackHeight = kTrackHeight;
    int knobHeight = kKnobHeight;
    int minimum = 0;
    int maximum = 127;

    // The position under the pointer's row y: (h / 2 + (H - h) - y) x range / (H - h), integer
    // arithmetic, clamped; a track no taller than the knob gives the minimum.
    int PositionAt(int y) const;
    // The knob's top row for a position: (H - h) - (H - h) x p / range.
    int KnobTop(int position) const;
    // A position kept within minimum..maximum.
    int Clamp(int position) const;
    // One step up (delta > 0) or down, kept within the limits.
    int Step(int position, int delta) const;
};

// The read-out of a level byte, "%.1fdB" of (p - 127) x 0.5: 127 "0.0dB", 0 "-63.5dB". Always
// NUL-terminated; the text is cut to fit a smaller buffer.
void FaderDbText(int position, char* text, std::size_t size);

}  // namespace q407::panel
