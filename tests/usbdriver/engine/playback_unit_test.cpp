#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

#include "converter_sets.h"

namespace q407 {
namespace {

using test::ConverterSet;

using Frames = std::array<uint32_t, 20 * 8>;
using Unit = std::array<uint8_t, 964>;

// Where frame f starts in the unit, read straight off the unit layout.
size_t FrameStart(size_t f) {
    if (f <= 8) return 48 * f;
    if (f <= 18) return 434 + 48 * (f - 9);
    return 916;
}

// Decodes one sample back out of a unit: channel 2j is on line j of bytes 0..23 of its frame,
// channel 2j+1 on line j of bytes 24..47; byte k carries bit 31-k.
uint32_t DecodeSample(const Unit& unit, size_t frame, size_t channel) {
    const size_t base = FrameStart(frame) + (channel % 2) * 24;
    const unsigned line = static_cast<unsigned>(channel / 2);
    uint32_t value = 0;
    for (size_t k = 0; k < 24; ++k) value |= ((unit[base + k] >> line) & 1u) << (31 - k);
    return value;
}

class PlaybackUnit : public testing::TestWithParam<ConverterSet> {
  protected:
    Unit Convert(const Frames& frames, uint8_t fill = 0xEE) {
        Unit unit;
        unit.fill(fill);
        const ConversionPair pair = {frames.data(), unit.data()};
        GetParam().playback(&pair);
        return unit;
    }
};

TEST_P(PlaybackUnit, TopBitOfChannelZeroIsLineZeroOfTheFirstByte) {
    Frames frames{};
    frames[0] = 0x80000000u;
    const Unit unit = Convert(frames);
    EXPECT_EQ(unit[0], 0x01);
    for (size_t i = 1; i < 48; ++i) EXPECT_EQ(unit[i], 0x00) << i;
}

TEST_P(PlaybackUnit, EachChannelHasItsOwnLineAndHalf) {
    for (size_t channel = 0; channel < 8; ++channel) {
        for (size_t k = 0; k < 24; k += 7) {
            Frames frames{};
            frames[8 * 12 + channel] = 1u << (31 - k);  // frame 12, after the first gap
            const Unit unit = Convert(frames);
            const size_t expectedByte = FrameStart(12) + (channel % 2) * 24 + k;
            for (size_t i = FrameStart(12); i < FrameStart(12) + 48; ++i) {
                const unsigned expected = i == expectedByte ? 1u << (channel / 2) : 0u;
                ASSERT_EQ(unit[i], expected) << "channel " << channel << " k " << k << " i " << i;
            }
        }
    }
}

TEST_P(PlaybackUnit, FullScaleSamplesSetAllFourLinesOfEveryByte) {
    Frames frames;
    frames.fill(0xFFFFFF00u);
    const Unit unit = Convert(frames);
    for (size_t f = 0; f < 20; ++f) {
        for (size_t i = 0; i < 48; ++i) ASSERT_EQ(unit[FrameStart(f) + i], 0x0F) << f << " " << i;
    }
}

TEST_P(PlaybackUnit, LowEightBitsAreNotCarried) {
    Frames frames;
    frames.fill(0x000000FFu);
    const Unit unit = Convert(frames);
    for (size_t f = 0; f < 20; ++f) {
        for (size_t i = 0; i < 48; ++i) ASSERT_EQ(unit[FrameStart(f) + i], 0x00);
    }
}

TEST_P(PlaybackUnit, GapBytesKeepWhatTheUnitHeld) {
    Frames frames;
    frames.fill(0xFFFFFFFFu);
    Unit unit;
    unit.fill(0x00);
    unit[432] = 0xFD;
    unit[433] = 0xFF;
    unit[914] = 0x12;
    unit[915] = 0x34;
    const ConversionPair pair = {frames.data(), unit.data()};
    GetParam().playback(&pair);
    EXPECT_EQ(unit[432], 0xFD);
    EXPECT_EQ(unit[433], 0xFF);
    EXPECT_EQ(unit[914], 0x12);
    EXPECT_EQ(unit[915], 0x34);
    // Everything else is audio.
    for (size_t i = 0; i < unit.size(); ++i) {
        if (i == 432 || i == 433 || i == 914 || i == 915) continue;
        ASSERT_EQ(unit[i], 0x0F) << i;
    }
}

TEST_P(PlaybackUnit, RandomFramesDecodeBackToTheirTop24Bits) {
    std::mt19937 rng(407);
    Frames frames;
    for (int round = 0; round < 50; ++round) {
        for (auto& s : frames) s = static_cast<uint32_t>(rng());
        const Unit unit = Convert(frames, static_cast<uint8_t>(rng()));
        for (size_t f = 0; f < 20; ++f) {
            for (size_t c = 0; c < 8; ++c) {
                ASSERT_EQ(DecodeSample(unit, f, c), frames[8 * f + c] & 0xFFFFFF00u)
                    << "frame " << f << " channel " << c;
            }
            for (size_t i = 0; i < 48; ++i) ASSERT_EQ(unit[FrameStart(f) + i] & 0xF0, 0);
        }
    }
}

TEST_P(PlaybackUnit, UnalignedPointersAreAccepted) {
    std::mt19937 rng(1);
    std::array<uint8_t, 640 + 3> source;
    for (auto& b : source) b = static_cast<uint8_t>(rng());
    Frames frames;
    std::memcpy(frames.data(), source.data() + 3, 640);
    const Unit expected = Convert(frames);
    std::array<uint8_t, 964 + 5> target;
    target.fill(0xEE);
    const ConversionPair pair = {source.data() + 3, target.data() + 5};
    GetParam().playback(&pair);
    EXPECT_EQ(std::memcmp(target.data() + 5, expected.data(), 964), 0);
}

TEST_P(PlaybackUnit, NullDestinationWritesNothing) {
    Frames frames{};
    const ConversionPair pair = {frames.data(), nullptr};
    GetParam().playback(&pair);
    Unit unit;
    unit.fill(0x5A);
    const ConversionPair noSource = {nullptr, unit.data()};
    GetParam().playback(&noSource);
    GetParam().playback(nullptr);
    for (uint8_t b : unit) ASSERT_EQ(b, 0x5A);
}

INSTANTIATE_TEST_SUITE_P(AllSets, PlaybackUnit, testing::ValuesIn(test::AllConverterSets()),
                         test::SetName);

}  // namespace
}  // namespace q407
