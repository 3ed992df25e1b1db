#include "panel/widgets/digit_counter.h"

#include <cstdio>

namespace q407::panel {

int DigitCounterValue(int requested, int upperBound, int wrapValue) {
    if (requested < 0) {
        return upperBound;
    }
    if (requested > upperBound) {
        return wrapValue;
    }
    return requested;
}

std::size_t FormatTwoDigits(int value, char* out, std::size_t size) {
    if (out == nullptr || size == 0) {
        return 0;
    }
    int written = std::snprintf(out, size, "%02d", value);
    if (written < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(written) < size ? static_cast<std::size_t>(written) : size - 1;
}

}  // namespace q407::panel
