// Test-side packing of the streaming units, bit by bit from the layout, to feed and read the
// device independently of its own codec.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace q407::sim::test {

// frames: 20 frames x 8 outputs of 24-bit samples.
inline std::vector<std::uint8_t> PackPlaybackUnit(
    const std::array<std::array<std::int32_t, 8>, 20>& frames, std::uint8_t midi1 = 0xFD,
    std::uint8_t codec1 = 0xFF, std::uint8_t midi2 = 0xFD, std::uint8_t codec2 = 0xFF) {
    std::vector<std::uint8_t> unit(964, 0);
    std::size_t pos = 0;
    for (int f = 0; f < 20; ++f) {
        if (f == 9) {
            unit[pos++] = midi1;
            unit[pos++] = codec1;
        }
        if (f == 19) {
            unit[pos++] = midi2;
            unit[pos++] = codec2;
        }
        for (int half = 0; half < 2; ++half)
            for (int k = 0; k < 24; ++k) {
                std::uint8_t b = 0;
                for (int line = 0; line < 4; ++line) {
                    std::uint32_t engineSample = std::uint32_t(frames[f][2 * line + half]) << 8;
                    if (engineSample & (0x80000000u >> k)) b = std::uint8_t(b | (1u << line));
                }
                unit[pos++] = b;
            }
    }
    return unit;
}

// Returns 16 frames x 16 inputs of sign-extended 24-bit samples.
inline std::array<std::array<std::int32_t, 16>, 16> UnpackCaptureUnit(const std::uint8_t* unit) {
    std::array<std::array<std::int32_t, 16>, 16> out{};
    for (int f = 0; f < 16; ++f) {
        const std::uint8_t* frame = unit + 64 * f;
        for (int c = 0; c < 16; ++c) {
            std::uint32_t v = 0;
            const std::uint8_t* bytes = frame + (c % 2 ? 32 : 0);
            for (int k = 0; k < 24; ++k) v = (v << 1) | ((bytes[k] >> (c / 2)) & 1u);
            out[f][c] = (v & 0x800000) ? std::int32_t(v | 0xFF000000u) : std::int32_t(v);
        }
    }
    return out;
}

}  // namespace q407::sim::test
