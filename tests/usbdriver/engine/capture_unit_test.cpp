#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

#include "converter_sets.h"

namespace q407 {
namespace {

using test::ConverterSet;

using HalfUnit = std::array<uint8_t, 512>;
using Frames = std::array<uint32_t, 8 * 16>;

// Builds the unit bytes a device sends for the given samples (top 24 bits), with the ignored
// bytes set to noise.
HalfUnit Encode(const Frames& frames, std::mt19937& rng) {
    HalfUnit unit;
    for (auto& b : unit) b = static_cast<uint8_t>(rng());
    for (size_t f = 0; f < 8; ++f) {
        for (size_t half = 0; half < 2; ++half) {
            for (size_t k = 0; k < 24; ++k) {
                uint8_t byte = 0;
                for (unsigned i = 0; i < 8; ++i) {
                    const uint32_t sample = frames[16 * f + 2 * i + half] >> 8;
                    byte = static_cast<uint8_t>(byte | (((sample >> (23 - k)) & 1u) << i));
                }
                unit[64 * f + 32 * half + k] = byte;
            }
        }
    }
    return unit;
}

class CaptureUnit : public testing::TestWithParam<ConverterSet> {
  protected:
    Frames Convert(const HalfUnit& unit) {
        Frames frames;
        frames.fill(0xDEADBEEFu);
        const ConversionPair pair = {unit.data(), frames.data()};
        GetParam().capture(&pair);
        return frames;
    }
};

TEST_P(CaptureUnit, LineZeroOfTheFirstByteIsTheTopBitOfChannelZero) {
    HalfUnit unit{};
    unit[0] = 0x01;
    Frames frames = Convert(unit);
    EXPECT_EQ(frames[0], 0x80000000u);
    for (size_t i = 1; i < frames.size(); ++i) EXPECT_EQ(frames[i], 0u) << i;

    unit[0] = 0x80;
    frames = Convert(unit);
    EXPECT_EQ(frames[14], 0x80000000u);
    for (size_t i = 0; i < frames.size(); ++i) {
        if (i != 14) {
            EXPECT_EQ(frames[i], 0u) << i;
        }
    }
}

TEST_P(CaptureUnit, EachByteAndLineMapsToOneBitOfOneChannel) {
    for (size_t half = 0; half < 2; ++half) {
        for (size_t k = 0; k < 24; ++k) {
            for (unsigned line = 0; line < 8; ++line) {
                HalfUnit unit{};
                unit[64 * 5 + 32 * half + k] = static_cast<uint8_t>(1u << line);
                const Frames frames = Convert(unit);
                const size_t channel = 2 * line + half;
                for (size_t i = 0; i < frames.size(); ++i) {
                    const uint32_t expected = i == 16 * 5 + channel ? 1u << (31 - k) : 0u;
                    ASSERT_EQ(frames[i], expected)
                        << "half " << half << " k " << k << " line " << line << " i " << i;
                }
            }
        }
    }
}

TEST_P(CaptureUnit, IgnoredBytesHaveNoInfluence) {
    std::mt19937 rng(15);
    HalfUnit unit;
    for (auto& b : unit) b = static_cast<uint8_t>(rng());
    const Frames reference = Convert(unit);
    for (size_t f = 0; f < 8; ++f) {
        for (size_t i = 24; i < 32; ++i) {
            unit[64 * f + i] = static_cast<uint8_t>(rng());
            unit[64 * f + 32 + i] = static_cast<uint8_t>(rng());
        }
    }
    EXPECT_EQ(Convert(unit), reference);
    for (uint32_t s : reference) ASSERT_EQ(s & 0xFFu, 0u);
}

TEST_P(CaptureUnit, EncodedSamplesComeBackLeftJustified) {
    std::mt19937 rng(16);
    for (int round = 0; round < 50; ++round) {
        Frames samples;
        for (auto& s : samples) s = static_cast<uint32_t>(rng());
        const Frames frames = Convert(Encode(samples, rng));
        for (size_t i = 0; i < samples.size(); ++i) {
            ASSERT_EQ(frames[i], samples[i] & 0xFFFFFF00u)
                << "frame " << i / 16 << " ch " << i % 16;
        }
    }
}

TEST_P(CaptureUnit, UnalignedPointersAreAccepted) {
    std::mt19937 rng(17);
    std::array<uint8_t, 512 + 7> source;
    for (auto& b : source) b = static_cast<uint8_t>(rng());
    HalfUnit unit;
    std::memcpy(unit.data(), source.data() + 7, 512);
    const Frames expected = Convert(unit);
    std::array<uint8_t, 512 + 1> target{};
    const ConversionPair pair = {source.data() + 7, target.data() + 1};
    GetParam().capture(&pair);
    EXPECT_EQ(std::memcmp(target.data() + 1, expected.data(), 512), 0);
}

TEST_P(CaptureUnit, NullDestinationWritesNothing) {
    HalfUnit unit{};
    const ConversionPair pair = {unit.data(), nullptr};
    GetParam().capture(&pair);
    Frames frames;
    frames.fill(0x5A5A5A5Au);
    const ConversionPair noSource = {nullptr, frames.data()};
    GetParam().capture(&noSource);
    GetParam().capture(nullptr);
    for (uint32_t s : frames) ASSERT_EQ(s, 0x5A5A5A5Au);
}

INSTANTIATE_TEST_SUITE_P(AllSets, CaptureUnit, testing::ValuesIn(test::AllConverterSets()),
                         test::SetName);

}  // namespace
}  // namespace q407
