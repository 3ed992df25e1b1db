// The inputs' signal of q407 panel: every input swells from the floor to the top and back once
// per loop, each a step later than the one before, and loops without a jump.
#include "tools/panel_meter_signal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace q407::tools {
namespace {

constexpr uint32_t kRate = 44100;
constexpr int kChannels = 16;
constexpr int kSeconds = 2;

// Made once: the cases look at the same clip.
const AudioClip& Clip() {
    static const AudioClip clip = MeterSignalClip(kRate, kChannels, kSeconds);
    return clip;
}

// The peak of a stretch of 20 ms from frame `from`, in dB of full scale.
double PeakDb(const std::vector<int32_t>& samples, size_t from) {
    const size_t to = std::min(samples.size(), from + kRate / 50);
    double peak = 0;
    for (size_t f = from; f < to; ++f) peak = std::max(peak, std::abs(double(samples[f])));
    return 20 * std::log10(std::max(peak, 1.0) / 2147483392.0);
}

TEST(PanelMeterSignal, EveryInputSwellsBetweenFloorAndTopAStepAfterThePreviousOne) {
    const AudioClip& clip = Clip();
    ASSERT_EQ(clip.channels.size(), size_t(kChannels));
    ASSERT_EQ(clip.Frames(), size_t(kRate) * kSeconds);
    const size_t step = kRate / 50;
    for (int c = 0; c < kChannels; ++c) {
        const std::vector<int32_t>& samples = clip.channels[size_t(c)];
        double loudest = -1000;
        double quietest = 0;
        size_t loudestAt = 0;
        for (size_t from = 0; from + step <= samples.size(); from += step) {
            const double db = PeakDb(samples, from);
            if (db > loudest) {
                loudest = db;
                loudestAt = from;
            }
            quietest = std::min(quietest, db);
        }
        EXPECT_NEAR(loudest, kMeterSignalTopDb, 0.3) << "input " << c;
        EXPECT_NEAR(quietest, kMeterSignalFloorDb, 1.5) << "input " << c;
        // The top comes half a loop after the input's own start, which lags by c/16 of a loop.
        const double wanted = std::fmod(0.5 + double(c) / kChannels, 1.0) * kSeconds;
        const double at = double(loudestAt) / kRate;
        const double apart = std::min(std::abs(at - wanted), kSeconds - std::abs(at - wanted));
        EXPECT_LT(apart, 0.1) << "input " << c << " loudest at " << at << " s";
        // The converters keep 24 bits.
        EXPECT_TRUE(
            std::all_of(samples.begin(), samples.end(), [](int32_t s) { return (s & 0xFF) == 0; }))
            << "input " << c;
    }
}

TEST(PanelMeterSignal, LoopsWithoutAJumpAndRefusesAnEmptyShape) {
    const AudioClip& clip = Clip();
    for (int c = 0; c < kChannels; ++c) {
        const std::vector<int32_t>& s = clip.channels[size_t(c)];
        int64_t largestStep = 0;
        for (size_t f = 1; f < s.size(); ++f)
            largestStep = std::max(largestStep, std::abs(int64_t(s[f]) - s[f - 1]));
        EXPECT_LE(std::abs(int64_t(s.front()) - s.back()), largestStep) << "input " << c;
    }
    EXPECT_TRUE(MeterSignalClip(0, kChannels, kSeconds).channels.empty());
    EXPECT_TRUE(MeterSignalClip(kRate, 0, kSeconds).channels.empty());
    EXPECT_TRUE(MeterSignalClip(kRate, kChannels, 0).channels.empty());
}

}  // namespace
}  // namespace q407::tools
