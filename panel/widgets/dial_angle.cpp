#include "panel/widgets/dial_angle.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "panel/widgets/slider_scale.h"

namespace q407::panel {

double NormaliseDegrees(double degrees) {
    if (!std::isfinite(degrees)) {
        return 0.0;
    }
    double result = std::fmod(degrees, 360.0);
    if (result < 0.0) {
        result += 360.0;
    }
    // fmod of a tiny negative angle plus 360 rounds to 360 itself.
    return result >= 360.0 ? 0.0 : result;
}

double DialDegrees(int dx, int dy, double startDegrees) {
    if (dx == 0 && dy == 0) {
        return 0.0;
    }
    double degrees =
        std::atan2(static_cast<double>(dy), static_cast<double>(dx)) * 180.0 / std::numbers::pi;
    return NormaliseDegrees(degrees - startDegrees);
}

int DialPosition(double degrees, int minimum, int maximum) {
    return LinearSliderValue(NormaliseDegrees(degrees), 0.0, 360.0, minimum, maximum);
}

int DialFrame(int position, int minimum, int maximum, int frames) {
    if (frames <= 1 || maximum == minimum) {
        return 0;
    }
    double frame = (static_cast<double>(position) - minimum) * (frames - 1) /
                   (static_cast<double>(maximum) - minimum);
    return static_cast<int>(std::clamp(std::trunc(frame), 0.0, static_cast<double>(frames - 1)));
}

}  // namespace q407::panel
