// Streams through the driver library as a host runs it: every output bit-exact on its looped-back
// inputs after exactly the round trip the driver reports, the channel masks the USB driver gets,
// one buffer switch per period with alternating halves, and two units offered as one device.
#include <tuple>

#include "asio/driver_identity.h"
#include "asio_test_host.h"
#include "usbdriver/control/device_facade.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407::testing {
namespace {

constexpr LONG kAsio = 2;

MixerSettings Settings(int rate, int latency, int buffers) {
    MixerSettings s = DefaultMixerSettings();
    s.sampleRate = rate;
    s.latency = latency;
    s.usbBufferCount = buffers;
    return s;
}

class LoopbackThroughDriver : public AsioFixture,
                              public ::testing::WithParamInterface<std::tuple<int, int, int>> {};

TEST_P(LoopbackThroughDriver, EveryOutputBitExactAfterTheReportedRoundTrip) {
    const auto [rate, latency, buffers] = GetParam();
    StartRig(1, Settings(rate, latency, buffers));
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    ASSERT_EQ(host.OpenAndCreate(), ASE_OK);
    EXPECT_EQ(host.BufferFrames(), latency);
    ASIOSampleRate current = 0;
    host.Run([&] {
        EXPECT_EQ(host.Driver()->getSampleRate(&current), ASE_OK);
        EXPECT_EQ(host.Driver()->start(), ASE_OK);
    });
    EXPECT_EQ(current, double(rate));
    RunFor(0.05);
    const uint64_t underrunsBefore = rig_->Device().Counters().underruns;
    RunFor(0.2);
    const uint64_t underruns = rig_->Device().Counters().underruns - underrunsBefore;
    host.Close();

    const uint64_t periods = uint64_t(0.25 * rate / latency);
    EXPECT_GE(host.Switches() + 4, periods);
    EXPECT_LE(host.Switches(), periods + 1);
    const std::vector<long> halves = host.Halves();
    for (size_t i = 0; i < halves.size(); ++i) EXPECT_EQ(halves[i], long(i % 2)) << i;
    const std::vector<LoopCheck> checks = host.Checks();
    ASSERT_EQ(checks.size(), 16u);
    for (size_t c = 0; c < checks.size(); ++c) {
        EXPECT_TRUE(checks[c].BitExact())
            << "input " << c << ": delay " << checks[c].delay << ", " << checks[c].mismatches
            << " of " << checks[c].checked << " differ";
        EXPECT_EQ(checks[c].delay, host.ReportedRoundTrip()) << "input " << c;
    }
    EXPECT_EQ(underruns, 0u);
}

INSTANTIATE_TEST_SUITE_P(RatesAndSizes, LoopbackThroughDriver,
                         ::testing::Values(std::make_tuple(48000, 256, 4),
                                           std::make_tuple(44100, 32, 2),
                                           std::make_tuple(96000, 1024, 5),
                                           std::make_tuple(88200, 96, 3)));

class StreamingTest : public AsioFixture {};

TEST_F(StreamingTest, RateSetByTheHostStreamsAtTheRoundTripReportedAfterIt) {
    StartRig(1, Settings(44100, 128, 3));
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    ASSERT_EQ(host.OpenAndCreate({}, true, 96000.0), ASE_OK);
    host.Run([&] { EXPECT_EQ(host.Driver()->start(), ASE_OK); });
    RunFor(0.2);
    host.Close();
    EXPECT_EQ(rig_->Device().ClockRate(), 96000u);
    // A start after a rate change puts the capture pipe a few frames further behind the
    // playback pipe than a first start at the rate does (44 rather than 40 frames here): the
    // reported round trip is exact for the latter and short by less than one playback transfer
    // (20n frames) for the former.
    for (const LoopCheck& check : host.Checks()) {
        EXPECT_TRUE(check.BitExact());
        EXPECT_GE(check.delay, host.ReportedRoundTrip());
        EXPECT_LT(check.delay, host.ReportedRoundTrip() + 20 * 3);
    }
}

TEST_F(StreamingTest, ChannelMasksFollowTheActiveChannels) {
    StartRig();
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    ASSERT_EQ(host.OpenAndCreate({{ASIOTrue, 0, {}}, {ASIOTrue, 3, {}}, {ASIOFalse, 1, {}}}),
              ASE_OK);
    StreamEngine& engine = *rig_->Facade()->engine;
    host.Run([&] { EXPECT_EQ(host.Driver()->start(), ASE_OK); });
    EXPECT_EQ(engine.ChannelMask(kAsio, 1), 0x9);
    EXPECT_EQ(engine.ChannelMask(kAsio, 0), 0x2);
    RunFor(0.05);
    EXPECT_GT(host.Switches(), 5u);
    host.Run([&] { EXPECT_EQ(host.Driver()->stop(), ASE_OK); });
    EXPECT_EQ(engine.ChannelMask(kAsio, 1), 0);
    EXPECT_EQ(engine.ChannelMask(kAsio, 0), 0);
    // Stopped means no further buffer switch.
    const uint64_t switches = host.Switches();
    RunFor(0.05);
    EXPECT_EQ(host.Switches(), switches);
    // Input 3's output source is 3, which is not played: it stays silent.
    EXPECT_TRUE(host.Checks()[0].delay < 0 && host.Checks()[0].mismatches == 0);
}

TEST_F(StreamingTest, StartAgainAfterStopStreamsFromHalfZero) {
    StartRig();
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    ASSERT_EQ(host.OpenAndCreate(), ASE_OK);
    for (int round = 0; round < 2; ++round) {
        host.Run([&] { EXPECT_EQ(host.Driver()->start(), ASE_OK); });
        RunFor(0.03);
        host.Run([&] { EXPECT_EQ(host.Driver()->stop(), ASE_OK); });
    }
    const std::vector<long> halves = host.Halves();
    ASSERT_GT(halves.size(), 4u);
    EXPECT_EQ(halves.front(), 0);
    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    host.Run([&] { EXPECT_EQ(host.Driver()->getSamplePosition(&position, &stamp), ASE_OK); });
    // The second start counted again from 0: its switches only.
    EXPECT_LT(position.lo, static_cast<unsigned long>(host.Switches() * 256));
    EXPECT_GT(position.lo, 0u);
}

TEST_F(StreamingTest, TimeInfoCarriesPositionAndClockSourceChangeOnce) {
    StartRig();
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    ASSERT_EQ(host.OpenAndCreate(), ASE_OK);
    host.Run([&] {
        EXPECT_EQ(host.Driver()->future(kAsioEnableTimeCodeRead, nullptr), ASE_SUCCESS);
        EXPECT_EQ(host.Driver()->start(), ASE_OK);
        EXPECT_EQ(host.Driver()->setClockSource(0), ASE_OK);
    });
    RunFor(0.02);
    const uint64_t first = host.Switches();
    ASSERT_GT(first, 0u);
    RunFor(0.03);
    const ASIOTime last = host.LastTimeInfo();
    const uint64_t switches = host.Switches();
    host.Close();
    // The position is one buffer ahead of the frames before the switch.
    EXPECT_EQ(last.timeInfo.samplePosition.lo, static_cast<unsigned long>(switches * 256));
    EXPECT_EQ(last.timeInfo.flags & kClockSourceChanged, 0u);
    EXPECT_EQ(last.timeInfo.flags & 7u, 7u);
    EXPECT_EQ(last.timeCode.timeCodeSamples.lo,
              static_cast<unsigned long>(44100 * 600 + switches * 256));
}

TEST_F(StreamingTest, TwoUnitsAreOneDeviceAndEachLoopsBackBitExact) {
    StartRig(2);
    TestHost host;
    ASSERT_TRUE(host.CreateDriver());
    ASSERT_EQ(host.OpenAndCreate(), ASE_OK);
    long inputs = 0;
    long outputs = 0;
    host.Run([&] {
        EXPECT_EQ(host.Driver()->getChannels(&inputs, &outputs), ASE_OK);
        EXPECT_EQ(host.Driver()->start(), ASE_OK);
    });
    EXPECT_EQ(inputs, 32);
    EXPECT_EQ(outputs, 16);
    RunFor(0.25);
    host.Close();
    const std::vector<LoopCheck> checks = host.Checks();
    ASSERT_EQ(checks.size(), 32u);
    for (size_t c = 0; c < checks.size(); ++c) {
        EXPECT_TRUE(checks[c].BitExact())
            << "input " << c << " (from output " << checks[c].source << "): delay "
            << checks[c].delay << ", " << checks[c].mismatches << " differ";
    }
    // Each unit's channels share one round trip; the two units' streams start apart, so the
    // second unit's phase is its own.
    for (size_t c = 1; c < 16; ++c) EXPECT_EQ(checks[c].delay, checks[0].delay) << c;
    for (size_t c = 17; c < 32; ++c) EXPECT_EQ(checks[c].delay, checks[16].delay) << c;
}

}  // namespace
}  // namespace q407::testing
