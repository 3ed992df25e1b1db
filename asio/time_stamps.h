// The two-word forms of the host's time stamps and sample positions.
#pragma once

#include <cstdint>

#include "platform/asio/asio_interface.h"

namespace q407::asio {

// Nanoseconds of a millisecond time: hi = trunc(t / 2^32), lo = the rest, modulo 2^32.
ASIOTimeStamp NanosecondStamp(uint32_t milliseconds);
// A frame count: hi and lo words of its integer part.
ASIOSamples SamplePosition(double frames);

}  // namespace q407::asio
