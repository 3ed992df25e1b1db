#include "panel/widgets/slider_scale.h"

#include <algorithm>
#include <cmath>

namespace q407::panel {

namespace {
int ClampInt(double value, int a, int b) {
    double lo = std::min(a, b);
    double hi = std::max(a, b);
    // Clamped in double before the conversion, so that a far pointer cannot overflow int.
    return static_cast<int>(std::clamp(value, lo, hi));
}
}  // namespace

int LinearSliderValue(double p, double low, double high, int minimum, int maximum) {
    if (high == low) {
        return minimum;
    }
    double value = static_cast<double>(minimum) +
                   (static_cast<double>(maximum) - minimum) * (p - low) / (high - low);
    return ClampInt(std::trunc(value), minimum, maximum);
}

int VerticalTravel::ValueAt(int y) const {
    return LinearSliderValue(static_cast<double>(bottom) - y, 0.0,
                             static_cast<double>(bottom) - top, minimum, maximum);
}

int VerticalTravel::ThumbRow(int position) const {
    if (maximum == minimum) {
        return bottom;
    }
    double row = static_cast<double>(bottom) - (static_cast<double>(position) - minimum) *
                                                   (static_cast<double>(bottom) - top) /
                                                   (static_cast<double>(maximum) - minimum);
    return ClampInt(std::trunc(row), top, bottom);
}

int DoubleSliderPart(int x, int firstSplit, int secondSplit) {
    if (x < firstSplit) {
        return 0;
    }
    return x < secondSplit ? 1 : 2;
}

int VerticalTravel::Clamp(int position) const {
    return ClampInt(position, minimum, maximum);
}

}  // namespace q407::panel
