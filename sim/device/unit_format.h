// The device's side of the bit-sliced streaming units: each byte carries one bit of several
// converter data lines, most significant bit first.
//
// Playback unit (964 bytes): 20 frames of 48 bytes, with a MIDI byte and a codec line byte after
// frame 8 (offsets 432, 433) and after frame 18 (914, 915). In a frame, byte k (k < 24) holds bit
// 23-k of the 24-bit samples of outputs 0, 2, 4, 6 in bits 0..3, byte 24+k the same for outputs
// 1, 3, 5, 7.
//
// Capture unit (1,024 bytes): 16 frames of 64 bytes. Byte k (k < 24) holds bit 23-k of inputs 0,
// 2, .., 14 in bits 0..7, byte 32+k the same for inputs 1, 3, .., 15; bytes 24..31 and 56..63
// carry no audio.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace q407::sim {

constexpr int kOutputChannels = 8;
constexpr int kInputChannels = 16;
constexpr std::size_t kPlaybackUnitBytes = 964;
constexpr std::size_t kCaptureUnitBytes = 1024;
constexpr int kPlaybackUnitFrames = 20;
constexpr int kCaptureUnitFrames = 16;
constexpr std::size_t kPlaybackFrameBytes = 48;
constexpr std::size_t kCaptureFrameBytes = 64;

// Byte offsets of the embedded bytes of a playback unit.
constexpr std::size_t kMidiOffset1 = 432;
constexpr std::size_t kCodecOffset1 = 433;
constexpr std::size_t kMidiOffset2 = 914;
constexpr std::size_t kCodecOffset2 = 915;
constexpr std::uint8_t kMidiIdle = 0xFD;
constexpr std::uint8_t kCodecIdle = 0xFF;

// 24-bit samples, sign-extended into 32 bits.
using OutputFrame = std::array<std::int32_t, kOutputChannels>;
using InputFrame = std::array<std::int32_t, kInputChannels>;

// Offset of playback frame f (0..19) inside its unit.
constexpr std::size_t PlaybackFrameOffset(int f) {
    return std::size_t(f) * kPlaybackFrameBytes + (f >= 9 ? 2 : 0) + (f >= 19 ? 2 : 0);
}

struct DecodedPlaybackUnit {
    std::array<OutputFrame, kPlaybackUnitFrames> frames;
    std::uint8_t midi[2];
    std::uint8_t codec[2];
    // Bits 4..7 of the audio bytes are unused lines; non-zero ones are counted.
    int strayBits;
};

void DecodePlaybackFrame(const std::uint8_t* frame48, OutputFrame& out);
void DecodePlaybackUnit(const std::uint8_t* unit, DecodedPlaybackUnit& out);

// ignoredFill goes into the 16 bytes per frame that carry no audio.
void EncodeCaptureFrame(const InputFrame& in, std::uint8_t ignoredFill, std::uint8_t* frame64);
void EncodeCaptureUnit(const InputFrame* frames16, std::uint8_t ignoredFill, std::uint8_t* unit);

// Sign-extends the low 24 bits.
constexpr std::int32_t SignExtend24(std::uint32_t v) {
    v &= 0xFFFFFF;
    return (v & 0x800000) ? std::int32_t(v | 0xFF000000u) : std::int32_t(v);
}

}  // namespace q407::sim
