// The reference converters: one bit at a time, exactly as the unit layouts read. The other sets
// are checked against these.
#include "usbdriver/engine/sample_converters.h"

namespace q407 {
namespace {

uint32_t LoadSample(const uint8_t* p) {
    uint32_t v;
    RtlCopyMemory(&v, p, sizeof(v));
    return v;
}

void StoreSample(uint8_t* p, uint32_t v) {
    RtlCopyMemory(p, &v, sizeof(v));
}

}  // namespace

void ConvertCaptureHalfUnitPortable(const ConversionPair* pair) {
    if (pair == nullptr || pair->source == nullptr || pair->destination == nullptr) return;
    const uint8_t* src = static_cast<const uint8_t*>(pair->source);
    uint8_t* dst = static_cast<uint8_t*>(pair->destination);

    for (size_t frame = 0; frame < kCaptureFramesPerHalfUnit; ++frame) {
        uint32_t acc[kCaptureChannels] = {};
        // Even channels from bytes 0..23, odd channels from bytes 32..55; most significant first.
        for (size_t parity = 0; parity < 2; ++parity) {
            for (size_t k = 0; k < 24; ++k) {
                const uint8_t byte = src[parity * 32 + k];
                for (size_t i = 0; i < 8; ++i) {
                    const size_t channel = 2 * i + parity;
                    acc[channel] = (acc[channel] << 1) | ((byte >> i) & 1u);
                }
            }
        }
        for (size_t channel = 0; channel < kCaptureChannels; ++channel) {
            StoreSample(dst + 4 * channel, acc[channel] << 8);
        }
        src += kCaptureFrameBytes;
        dst += kCaptureChannels * 4;
    }
}

void ConvertPlaybackUnitPortable(const ConversionPair* pair) {
    if (pair == nullptr || pair->source == nullptr || pair->destination == nullptr) return;
    const uint8_t* src = static_cast<const uint8_t*>(pair->source);
    uint8_t* dst = static_cast<uint8_t*>(pair->destination);

    for (size_t frame = 0; frame < kPlaybackUnitFrames; ++frame) {
        if (frame == 9 || frame == 19) dst += 2;  // MIDI and command bytes
        uint32_t sample[kPlaybackChannels];
        for (size_t channel = 0; channel < kPlaybackChannels; ++channel) {
            sample[channel] = LoadSample(src + 4 * channel);
        }
        // First the even channels, then the odd ones; bit 31 first.
        for (size_t parity = 0; parity < 2; ++parity) {
            for (size_t k = 0; k < 24; ++k) {
                uint8_t byte = 0;
                for (size_t line = 0; line < 4; ++line) {
                    const uint32_t bit = (sample[2 * line + parity] >> (31 - k)) & 1u;
                    byte = static_cast<uint8_t>(byte | (bit << line));
                }
                *dst++ = byte;
            }
        }
        src += kPlaybackSourceFrameBytes;
    }
}

}  // namespace q407
