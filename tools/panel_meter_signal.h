// What the panel's input meters show when q407 panel starts its own machine: on every input a
// tone whose level swells from near silence to just under full scale and back, each input a step
// later than the one before, so that at any moment the meters stand at different heights and
// move. The clip loops without a seam (whole cycles of every tone and of the swell).
#pragma once

#include <cstdint>

#include "tools/wav_io.h"

namespace q407::tools {

inline constexpr double kMeterSignalFloorDb = -48.0;  // the quietest point of a swell
inline constexpr double kMeterSignalTopDb = -1.0;     // the loudest point of a swell

// seconds of the signal (one swell) for channels inputs at rate; whole seconds keep it seamless.
AudioClip MeterSignalClip(uint32_t rate, int channels, int seconds);

}  // namespace q407::tools
