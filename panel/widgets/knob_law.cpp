#include "panel/widgets/knob_law.h"

#include <algorithm>
#include <cmath>

namespace q407::panel {

float KnobLaw::Clamp(float angle) const {
    float lo = std::min(minimumAngle, maximumAngle);
    float hi = std::max(minimumAngle, maximumAngle);
    return std::clamp(angle, lo, hi);
}

float KnobLaw::AngleOf(int position) const {
    if (steps == 0) {
        return Clamp(kStart);
    }
    return Clamp(static_cast<float>(position) / static_cast<float>(steps) * kSpan + kStart);
}

int KnobLaw::PositionOf(float angle) const {
    // A thousandth of a step of allowance, so that the angle of a position (a float) gives that
    // position back rather than the one below it.
    double steps_through = (static_cast<double>(angle) - kStart) / kSpan * steps;
    return static_cast<int>(steps_through + (steps_through >= 0 ? 1e-3 : -1e-3));
}

KnobPoint KnobPointerCentre(int centreX, int centreY, int radius, float angle) {
    double r = radius;
    return KnobPoint{centreX + static_cast<int>(std::lround(r * std::sin(angle))),
                     centreY - static_cast<int>(std::lround(r * std::cos(angle)))};
}

}  // namespace q407::panel
