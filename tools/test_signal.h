// The test signal the ASIO sessions play: on every channel a little silence, an impulse, a
// stretch of silence, then pseudo-random samples that differ per channel. The impulse makes the
// round trip easy to see and to plot; the noise makes every later sample check the path bit by bit.
// All samples carry 24 significant bits (the low byte clear), what the device's converters keep.
#pragma once

#include <cstdint>
#include <vector>

namespace q407::tools {

inline constexpr int32_t kImpulseSample = 0x7FFFFF00;  // full scale in 24 bits
// Silence before the impulse, so that the plot shows what leads up to it, and after it.
inline constexpr uint64_t kImpulseFrame = 1024;
inline constexpr uint64_t kImpulseGapFrames = 4096;

// Sample `frame` of output channel `channel`. Frames past the gap are never 0.
int32_t TestSignalSample(uint64_t frame, int channel);

// `frames` samples of one channel from frame 0.
std::vector<int32_t> TestSignalChannel(int channel, uint64_t frames);

}  // namespace q407::tools
