#include "sim/device/unit_format.h"

namespace q407::sim {

void DecodePlaybackFrame(const std::uint8_t* frame48, OutputFrame& out) {
    std::uint32_t acc[kOutputChannels] = {};
    for (int half = 0; half < 2; ++half) {
        const std::uint8_t* bytes = frame48 + half * 24;
        for (int k = 0; k < 24; ++k) {
            std::uint8_t b = bytes[k];
            for (int line = 0; line < 4; ++line) {
                int channel = 2 * line + half;
                acc[channel] = (acc[channel] << 1) | ((b >> line) & 1u);
            }
        }
    }
    for (int c = 0; c < kOutputChannels; ++c) out[c] = SignExtend24(acc[c]);
}

void DecodePlaybackUnit(const std::uint8_t* unit, DecodedPlaybackUnit& out) {
    out.strayBits = 0;
    for (int f = 0; f < kPlaybackUnitFrames; ++f) {
        const std::uint8_t* frame = unit + PlaybackFrameOffset(f);
        DecodePlaybackFrame(frame, out.frames[f]);
        for (std::size_t k = 0; k < kPlaybackFrameBytes; ++k)
            if (frame[k] & 0xF0) ++out.strayBits;
    }
    out.midi[0] = unit[kMidiOffset1];
    out.codec[0] = unit[kCodecOffset1];
    out.midi[1] = unit[kMidiOffset2];
    out.codec[1] = unit[kCodecOffset2];
}

void EncodeCaptureFrame(const InputFrame& in, std::uint8_t ignoredFill, std::uint8_t* frame64) {
    for (int half = 0; half < 2; ++half) {
        std::uint8_t* bytes = frame64 + half * 32;
        for (int k = 0; k < 24; ++k) {
            int bit = 23 - k;
            std::uint8_t b = 0;
            for (int line = 0; line < 8; ++line) {
                auto sample = std::uint32_t(in[2 * line + half]);
                b = std::uint8_t(b | (((sample >> bit) & 1u) << line));
            }
            bytes[k] = b;
        }
        for (int k = 24; k < 32; ++k) bytes[k] = ignoredFill;
    }
}

void EncodeCaptureUnit(const InputFrame* frames16, std::uint8_t ignoredFill, std::uint8_t* unit) {
    for (int f = 0; f < kCaptureUnitFrames; ++f)
        EncodeCaptureFrame(frames16[f], ignoredFill, unit + f * kCaptureFrameBytes);
}

}  // namespace q407::sim
