// The two-digit counter's value rule: a negative value wraps to the upper bound and a value
// above the upper bound to the wrap value, so that stepping below 0 or past the top turns the
// counter round.
#pragma once

#include <cstddef>

namespace q407::panel {

int DigitCounterValue(int requested, int upperBound, int wrapValue);

// The value as "%02d" into out (at least 12 characters); returns the length.
std::size_t FormatTwoDigits(int value, char* out, std::size_t size);

}  // namespace q407::panel
