#include "sim/device/unit_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace q407::sim {
namespace {

TEST(PlaybackUnitDecoding, SingleTopBitOnChannelZero) {
    // The engine's 0x80000000 on channel 0 puts 0x01 into frame byte 0.
    std::uint8_t frame[48] = {};
    frame[0] = 0x01;
    OutputFrame out;
    DecodePlaybackFrame(frame, out);
    EXPECT_EQ(out[0], -8388608);
    for (int c = 1; c < 8; ++c) EXPECT_EQ(out[c], 0) << c;
}

TEST(PlaybackUnitDecoding, LinesMapToChannels) {
    std::uint8_t frame[48] = {};
    frame[23] = 0x08;  // bit 0 (lsb) of channel 6
    frame[24] = 0x02;  // msb of channel 3
    frame[47] = 0x01;  // lsb of channel 1
    OutputFrame out;
    DecodePlaybackFrame(frame, out);
    EXPECT_EQ(out[6], 1);
    EXPECT_EQ(out[3], -8388608);
    EXPECT_EQ(out[1], 1);
    EXPECT_EQ(out[0] | out[2] | out[4] | out[5] | out[7], 0);
}

TEST(PlaybackUnitDecoding, AllOnesIsMinusOne) {
    // 0xFFFFFF00 on every channel: 48 bytes of 0x0F.
    std::uint8_t frame[48];
    for (auto& b : frame) b = 0x0F;
    OutputFrame out;
    DecodePlaybackFrame(frame, out);
    for (int c = 0; c < 8; ++c) EXPECT_EQ(out[c], -1);
}

TEST(PlaybackUnitDecoding, FramesSkipTheGapsAndGapBytesAreReported) {
    EXPECT_EQ(PlaybackFrameOffset(8), 384u);
    EXPECT_EQ(PlaybackFrameOffset(9), 434u);
    EXPECT_EQ(PlaybackFrameOffset(18), 866u);
    EXPECT_EQ(PlaybackFrameOffset(19), 916u);
    std::vector<std::uint8_t> unit(964, 0);
    unit[432] = 0x90;
    unit[433] = 0x7F;
    unit[914] = 0x3C;
    unit[915] = 0xFF;
    unit[434] = 0x01;  // frame 9, channel 0 msb
    unit[963] = 0x08;  // frame 19, channel 7 lsb
    unit[0] = 0x10;    // an unused line
    DecodedPlaybackUnit d;
    DecodePlaybackUnit(unit.data(), d);
    EXPECT_EQ(d.midi[0], 0x90);
    EXPECT_EQ(d.codec[0], 0x7F);
    EXPECT_EQ(d.midi[1], 0x3C);
    EXPECT_EQ(d.codec[1], 0xFF);
    EXPECT_EQ(d.frames[9][0], -8388608);
    EXPECT_EQ(d.frames[8][0], 0);
    EXPECT_EQ(d.frames[19][7], 1);
    EXPECT_EQ(d.frames[0][0], 0);  // bits 4..7 carry nothing
    EXPECT_EQ(d.strayBits, 1);
}

TEST(CaptureUnitEncoding, HandComputedBytes) {
    InputFrame in{};
    in[0] = SignExtend24(0x800000);
    std::uint8_t frame[64];
    EncodeCaptureFrame(in, 0, frame);
    EXPECT_EQ(frame[0], 0x01);
    for (int k = 1; k < 64; ++k) EXPECT_EQ(frame[k], 0) << k;

    in = {};
    in[14] = SignExtend24(0x800000);
    in[1] = 1;
    in[15] = SignExtend24(0x000002);
    EncodeCaptureFrame(in, 0xAA, frame);
    EXPECT_EQ(frame[0], 0x80);
    EXPECT_EQ(frame[32 + 23], 0x01);
    EXPECT_EQ(frame[32 + 22], 0x80);
    for (int k = 24; k < 32; ++k) EXPECT_EQ(frame[k], 0xAA);
    for (int k = 56; k < 64; ++k) EXPECT_EQ(frame[k], 0xAA);
}

TEST(CaptureUnitEncoding, NegativeFullScaleSetsTopBitsOnly) {
    InputFrame in{};
    in[2] = -1;  // 0xFFFFFF on line 1
    std::uint8_t frame[64];
    EncodeCaptureFrame(in, 0, frame);
    for (int k = 0; k < 24; ++k) EXPECT_EQ(frame[k], 0x02);
    for (int k = 32; k < 56; ++k) EXPECT_EQ(frame[k], 0x00);
}

}  // namespace
}  // namespace q407::sim
