// The comparison of a recording with what was played: the delay is read off the first arrival,
// every later sample must match, a late or early difference is found, and the loopback pairing
// takes input c's source as output c mod 8.
#include "tools/round_trip_analysis.h"

#include <gtest/gtest.h>

#include "tools/test_signal.h"

namespace q407::tools {
namespace {

std::vector<int32_t> Delayed(const std::vector<int32_t>& played, size_t delay, size_t length) {
    std::vector<int32_t> recorded(length, 0);
    for (size_t r = delay; r < length && r - delay < played.size(); ++r)
        recorded[r] = played[r - delay];
    return recorded;
}

TEST(TestSignal, ImpulseThenSilenceThenNonZeroTwentyFourBitNoise) {
    for (int c = 0; c < 8; ++c) {
        const uint64_t noise = kImpulseFrame + kImpulseGapFrames + 1;
        const auto s = TestSignalChannel(c, noise + 2000);
        for (uint64_t f = 0; f < noise; ++f)
            ASSERT_EQ(s[f], f == kImpulseFrame ? kImpulseSample : 0) << f;
        for (uint64_t f = noise; f < s.size(); ++f) {
            ASSERT_NE(s[f], 0);
            ASSERT_EQ(s[f] & 0xFF, 0) << "the device keeps 24 bits";
        }
    }
    // Channels differ, so a crossed loopback cannot pass as bit-exact.
    const uint64_t noise = kImpulseFrame + kImpulseGapFrames + 1;
    EXPECT_NE(TestSignalSample(noise, 0), TestSignalSample(noise, 1));
}

TEST(CompareChannel, FindsTheDelayAndChecksEverySampleAfterIt) {
    const auto played = TestSignalChannel(3, 9000);
    for (size_t delay : {0u, 1u, 37u, 1211u}) {
        const auto recorded = Delayed(played, delay, 9000);
        const ChannelComparison c = CompareChannel(played, recorded);
        EXPECT_EQ(c.delayFrames, int64_t(delay));
        EXPECT_TRUE(c.BitExact());
        EXPECT_EQ(c.compared, 9000 - delay);
    }
}

TEST(CompareChannel, ADifferenceLateInTheNoiseIsFound) {
    const auto played = TestSignalChannel(0, 9000);
    auto recorded = Delayed(played, 100, 9000);
    recorded[7000] ^= 0x100;  // one least significant bit of 24
    const ChannelComparison c = CompareChannel(played, recorded);
    EXPECT_EQ(c.delayFrames, 100);
    EXPECT_FALSE(c.BitExact());
    EXPECT_EQ(c.mismatches, 1u);
    EXPECT_EQ(c.firstMismatch, 7000);
}

TEST(CompareChannel, LostAndRepeatedStretchesAreNotBitExact) {
    const auto played = TestSignalChannel(1, 9000);
    auto recorded = Delayed(played, 50, 9000);
    // A dropout: 64 frames of silence in the middle of the noise.
    for (size_t r = 6000; r < 6064; ++r) recorded[r] = 0;
    EXPECT_FALSE(CompareChannel(played, recorded).BitExact());
    // A period delivered twice shifts everything after it.
    auto repeated = Delayed(played, 50, 9000);
    repeated.insert(repeated.begin() + 6000, repeated.begin() + 5744, repeated.begin() + 6000);
    repeated.resize(9000);
    EXPECT_FALSE(CompareChannel(played, repeated).BitExact());
}

TEST(CompareChannel, SilenceOrAnArrivalBeforeThePlayedSignalIsNoRoundTrip) {
    const std::vector<int32_t> played = {0, 0, 0, 5 << 8, 6 << 8};
    EXPECT_EQ(CompareChannel(played, std::vector<int32_t>(10, 0)).delayFrames, -1);
    EXPECT_FALSE(CompareChannel(played, std::vector<int32_t>(10, 0)).BitExact());
    // Something at frame 1 cannot be the echo of a signal that starts at frame 3.
    const std::vector<int32_t> early = {0, 7 << 8, 0, 0, 0, 0, 5 << 8, 6 << 8};
    EXPECT_FALSE(CompareChannel(played, early).BitExact());
    // The played lead-in of silence is not counted in the delay.
    const std::vector<int32_t> late = {0, 0, 0, 0, 0, 5 << 8, 6 << 8};
    EXPECT_EQ(CompareChannel(played, late).delayFrames, 2);
    EXPECT_TRUE(CompareChannel(played, late).BitExact());
}

TEST(CompareChannel, NoiseAfterThePlayedEndIsAMismatch) {
    const std::vector<int32_t> played = {1 << 8, 2 << 8};
    EXPECT_TRUE(CompareChannel(played, {0, 1 << 8, 2 << 8, 0, 0}).BitExact());
    EXPECT_FALSE(CompareChannel(played, {0, 1 << 8, 2 << 8, 0, 9 << 8}).BitExact());
}

TEST(CheckLoopback, EachInputIsComparedWithOutputModEightWhenThatOutputPlayed) {
    const std::vector<long> outputs = {0, 5};
    std::vector<std::vector<int32_t>> played = {TestSignalChannel(0, 7000),
                                                TestSignalChannel(5, 7000)};
    const std::vector<long> inputs = {0, 5, 13, 8, 2};
    std::vector<std::vector<int32_t>> recorded = {
        Delayed(played[0], 10, 7000), Delayed(played[1], 10, 7000), Delayed(played[1], 10, 7000),
        Delayed(played[1], 10, 7000),  // input 9 crossed over
        Delayed(played[0], 10, 7000)};
    const auto checks = CheckLoopback(inputs, recorded, outputs, played);
    ASSERT_EQ(checks.size(), 4u) << "input 3's source, output 3, did not play";
    EXPECT_EQ(checks[0].source, 0);
    EXPECT_TRUE(checks[0].comparison.BitExact());
    EXPECT_EQ(checks[1].source, 5);
    EXPECT_TRUE(checks[1].comparison.BitExact());
    EXPECT_EQ(checks[2].input, 13);
    EXPECT_EQ(checks[2].source, 5);
    EXPECT_TRUE(checks[2].comparison.BitExact());
    EXPECT_EQ(checks[3].input, 8);
    EXPECT_FALSE(checks[3].comparison.BitExact());
}

}  // namespace
}  // namespace q407::tools
