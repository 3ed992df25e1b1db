// Every set against the portable reference over many random units.
#include "converter_sets.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

namespace q407 {
namespace {

using test::ConverterSet;

class ConverterSets : public testing::TestWithParam<ConverterSet> {};

// Random data with the structure that breaks transposes: runs of all-ones and all-zeros, single
// bits, and noise.
uint32_t RandomWord(std::mt19937& rng) {
    switch (rng() % 4) {
        case 0:
            return 0xFFFFFFFFu;
        case 1:
            return 1u << (rng() % 32);
        case 2:
            return ~(1u << (rng() % 32));
        default:
            return static_cast<uint32_t>(rng());
    }
}

TEST_P(ConverterSets, PlaybackMatchesThePortableReference) {
    std::mt19937 rng(0x407);
    std::array<uint32_t, 160> frames;
    std::array<uint8_t, 964> expected;
    std::array<uint8_t, 964> actual;
    for (int round = 0; round < 4000; ++round) {
        for (auto& s : frames) s = RandomWord(rng);
        const uint8_t fill = static_cast<uint8_t>(rng());
        expected.fill(fill);
        actual.fill(fill);
        const ConversionPair reference = {frames.data(), expected.data()};
        const ConversionPair candidate = {frames.data(), actual.data()};
        ConvertPlaybackUnitPortable(&reference);
        GetParam().playback(&candidate);
        ASSERT_EQ(std::memcmp(expected.data(), actual.data(), 964), 0) << "round " << round;
    }
}

TEST_P(ConverterSets, CaptureMatchesThePortableReference) {
    std::mt19937 rng(0x408);
    std::array<uint32_t, 128> unit;  // 512 bytes
    std::array<uint32_t, 128> expected;
    std::array<uint32_t, 128> actual;
    for (int round = 0; round < 4000; ++round) {
        for (auto& w : unit) w = RandomWord(rng);
        expected.fill(0x11111111u);
        actual.fill(0x22222222u);
        const ConversionPair reference = {unit.data(), expected.data()};
        const ConversionPair candidate = {unit.data(), actual.data()};
        ConvertCaptureHalfUnitPortable(&reference);
        GetParam().capture(&candidate);
        ASSERT_EQ(expected, actual) << "round " << round;
    }
}

// A whole 1,024-byte unit is two calls, each advanced by 512 bytes on both sides.
TEST_P(ConverterSets, TwoHalvesMakeAWholeCaptureUnit) {
    std::mt19937 rng(0x409);
    std::array<uint8_t, 1024> unit;
    for (auto& b : unit) b = static_cast<uint8_t>(rng());
    std::array<uint32_t, 256> whole{};
    std::array<uint32_t, 256> reference{};
    for (size_t h = 0; h < 2; ++h) {
        const ConversionPair a = {unit.data() + 512 * h, whole.data() + 128 * h};
        const ConversionPair b = {unit.data() + 512 * h, reference.data() + 128 * h};
        GetParam().capture(&a);
        ConvertCaptureHalfUnitPortable(&b);
    }
    EXPECT_EQ(whole, reference);
}

INSTANTIATE_TEST_SUITE_P(AllSets, ConverterSets, testing::ValuesIn(test::AllConverterSets()),
                         test::SetName);

}  // namespace
}  // namespace q407
