// Sample arithmetic of the audio paths. Inside the engine every sample is a signed 32-bit value
// with 24 significant bits left-justified; signals that meet are added with saturation, and the
// meters show the top seven magnitude bits.
#pragma once

#include <cstdint>

namespace q407 {

// Two positive samples whose sum overflows give the largest sample, two negative ones the
// smallest; everything else is the plain sum.
constexpr int32_t SaturatingAdd(int32_t a, int32_t b) {
    const int64_t sum = static_cast<int64_t>(a) + static_cast<int64_t>(b);
    if (sum > INT32_MAX) return INT32_MAX;
    if (sum < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(sum);
}

// Magnitude as the meters take it: the complement for negative samples, so that the smallest
// sample reads as full scale without overflowing.
constexpr int32_t MeterMagnitude(int32_t x) {
    return x >= 0 ? x : ~x;
}

// Peak of count samples spaced stride apart, 0..127.
inline uint8_t PeakOfRun(const int32_t* samples, uint32_t stride, uint32_t count) {
    int32_t peak = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const int32_t magnitude = MeterMagnitude(samples[static_cast<uint64_t>(i) * stride]);
        if (magnitude > peak) peak = magnitude;
    }
    return static_cast<uint8_t>(peak >> 24);
}

}  // namespace q407
