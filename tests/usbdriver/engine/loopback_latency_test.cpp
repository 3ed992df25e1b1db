// Round trips through the virtual device in loopback (device output k feeds input k and k + 8):
// what an ASIO host plays comes back bit-exact on the matching capture channels, after exactly the
// delay the engine's design gives, and after the same delay at every start.
//
// Derivation of the round trip, in frames of the host's buffer timeline (host output frame X is
// sample X mod L of the output half the host writes for input period X div L; host input frame Y
// likewise), for latency L and USB buffer count n, with F = 20n and C = 16n:
//
//   Playback: the n OUT transfers of a start play device slots a, a+1, ... (20 frames each) in
//   submission order, and each completion resubmits at once, so completion t (t = 0, 1, ...)
//   happens at device frame 20a + F(t + 1). Completion 0 queues silence; completion t >= 1 mixes
//   F frames (mixed frames F(t - 1) ..) into the transfer it resubmits, which plays after the
//   n - 1 still in flight, from 20a + F(t + n): mixed frame m plays at 20a + F(n + 1) + m.
//   Capture: the IN transfers take units b, b+1, ... (16 frames each): input frame d of the
//   stream (host input frame d) was captured at device frame 16b + d.
//   Placement: the engine puts the host's output frame X at mixed frame X + 2L + C - (20a - 16b),
//   reading 20a - 16b off the first completion of each pipe (at 20a + F and 16b + C).
//   Device: kLoopbackDelayFrames = 0 (sim/device/q407_device.h): input frame f carries output
//   frame f.
//   Round trip: 20a + F(n + 1) + X + 2L + C - (20a - 16b) - (16b + X) = 2L + C + F(n + 1).
//
// The host has a whole period to answer: the period holding input frame d is handed over by
// 16b + d + L + C - 1, and the mix that needs the answer runs no earlier than 20a + 2F + (its
// mixed frame), which leaves L + F frames; a and b only move when the playback pipe's first
// transfer comes more than 2L + C frames after the capture pipe's, which would cut the first
// frames of a start.
#include <gtest/gtest.h>

#include <tuple>

#include "engine_fixture.h"
#include "tools/path_clients.h"

namespace q407::test {
namespace {

int64_t DeriveRoundTrip(int64_t L, int64_t n) {
    const int64_t F = 20 * n;
    const int64_t C = 16 * n;
    return 2 * L + C + F * (n + 1);
}

class LoopbackLatency : public EngineTest,
                        public ::testing::WithParamInterface<std::tuple<ULONG, ULONG, ULONG>> {};

TEST_P(LoopbackLatency, AsioRoundTripIsBitExactAndAsDerived) {
    const auto [rate, latency, n] = GetParam();
    MixerSettings stored = DefaultMixerSettings();
    stored.sampleRate = LONG(rate);
    stored.latency = LONG(latency);
    stored.usbBufferCount = LONG(n);
    rig_->StoreSettingsValue(&stored, sizeof(stored));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Device().LoopbackAllInputs();
    {
        tools::PathClients clients(*rig_);
        ASSERT_EQ(clients.StartAsio(tools::TestSignal), STATUS_SUCCESS);
        const sim::DeviceCounters before = Device().Counters();
        RunSeconds(2.0);
        const int64_t derived = DeriveRoundTrip(latency, n);
        for (int c = 0; c < kInputChannelCount; ++c) {
            const tools::ChannelCheck check = clients.AsioCheck(c);
            EXPECT_TRUE(check.BitExact())
                << "input " << c << ": " << check.mismatches << " of " << check.checked;
            EXPECT_EQ(check.delay, derived) << "input " << c;
        }
        EXPECT_EQ(Engine().m_PathCounters.asioUnderruns, 0u);
        EXPECT_EQ(Engine().m_PathCounters.asioHalvesDropped, 0u);
        EXPECT_EQ(Engine().m_Counters.captureUnitsDropped, 0u);
        const sim::DeviceCounters after = Device().Counters();
        // Start-up slots aside, the device never ran dry.
        EXPECT_LE(after.underruns - before.underruns, 2u * n + 40u);
        RecordProperty("round_trip_frames", int(derived));
    }
}

// The pipes' phase changes with every start (the bus takes a varying time between the device's
// clock start and the first transfers); the round trip must not. Starts at 96 kHz with L = 32
// and n = 2 used to differ by whole playback transfers and by the phase itself.
TEST_F(EngineTest, AsioRoundTripIsTheSameAtEveryStart) {
    MixerSettings stored = DefaultMixerSettings();
    stored.sampleRate = 96000;
    stored.latency = 32;
    stored.usbBufferCount = 2;
    rig_->StoreSettingsValue(&stored, sizeof(stored));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Device().LoopbackAllInputs();
    for (int start = 0; start < 12; ++start) {
        tools::PathClients clients(*rig_);
        ASSERT_EQ(clients.StartAsio(tools::TestSignal), STATUS_SUCCESS);
        RunSeconds(0.05);
        const tools::ChannelCheck check = clients.AsioCheck(3);
        EXPECT_TRUE(check.BitExact()) << "start " << start;
        EXPECT_EQ(check.delay, DeriveRoundTrip(32, 2)) << "start " << start;
        clients.StopAsio();
        // Gaps that put the next start at another phase of the bus's frames.
        rig_->RunFor(sim::ClockTicks(1000 + 7919 * start % 10000));
    }
}

INSTANTIATE_TEST_SUITE_P(RatesLatenciesBuffers, LoopbackLatency,
                         ::testing::Combine(::testing::Values(48000u, 96000u),
                                            ::testing::Values(32u, 256u, 1024u),
                                            ::testing::Values(2u, 5u)),
                         [](const auto& p) {
                             return std::to_string(std::get<0>(p.param)) + "Hz_L" +
                                    std::to_string(std::get<1>(p.param)) + "_n" +
                                    std::to_string(std::get<2>(p.param));
                         });

}  // namespace
}  // namespace q407::test
