#include "panel/widgets/fader_law.h"

#include <cstdio>

namespace q407::panel {

int FaderLaw::Clamp(int position) const {
    if (position < minimum) return minimum;
    if (position > maximum) return maximum;
    return position;
}

int FaderLaw::PositionAt(int y) const {
    const int travel = trackHeight - knobHeight;
    if (travel <= 0) return minimum;
    return Clamp((knobHeight / 2 + travel - y) * (maximum - minimum) / travel);
}

int FaderLaw::KnobTop(int position) const {
    const int travel = trackHeight - knobHeight;
    const int range = maximum - minimum;
    if (range <= 0) return travel;
    return travel - travel * Clamp(position) / range;
}

int FaderLaw::Step(int position, int delta) const {
    return Clamp(position + (delta > 0 ? 1 : -1));
}

void FaderDbText(int position, char* text, std::size_t size) {
    if (text == nullptr || size == 0) return;
    std::snprintf(text, size, "%.1fdB", (position - 127) * 0.5);
}

}  // namespace q407::panel
