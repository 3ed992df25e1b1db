// Round trips through the virtual device in loopback (device output k feeds input k and k + 8):
// what an ASIO host plays comes back bit-exact on the matching capture channels, after exactly the
// delay the engine's design gives.
//
// Derivation of the round trip, in frames of the host's buffer timeline (host output frame X is
// sample X mod L of the output half the host writes for input period X div L; host input frame Y
// likewise), for latency L, USB buffer count n, rate factor R (1 at 48 kHz, 2 at 96 kHz):
//
//   Playback: the n OUT transfers of a start play device slots a, a+1, ... (20 frames each) in
//   submission order, and each completion resubmits at once, so completion t (t = 0, 1, ...)
//   happens at device frame P_t = 20a + F(t + 1) with F = 20n. Completion t mixes F frames into
//   the staging half it queues (completion 0 mixes nothing: the half-queued flag starts clear),
//   and that half goes out in the transfer resubmitted n completions later: the frames mixed at
//   completion t play from device frame 20a + F(t + n).
//   Capture: the IN transfers take units b, b+1, ... (16 frames each); transfer j completes at
//   16b + C(j + 1) with C = 16n, and input period s (host input frames sL .. sL + L - 1, device
//   frames 16b + sL ..) is handed over at the first completion holding it:
//   T_s = 16b + C * ceil((s + 1) L / C). The host writes output half s at that instant.
//   ASIO ring: the mix takes the ring only when the pre-roll count is above R (R + 1 halves
//   written) and the ring holds one mix's F frames, i.e. from half s* = max(R, ceil(F / L) - 1)
//   on. The first completion taking it is t0 = min { t >= 1 : P_t > T_s* }; from then on each
//   completion takes F frames (as long as the ring never runs short, which the test checks), so
//   host output frame X plays at device frame 20a + F(t0 + n) + X.
//   Device: kLoopbackDelayFrames = 0 (sim/device/q407_device.h): input frame f carries output
//   frame f. Host input frame Y is device frame 16b + Y.
//   Round trip: Y - X = 20a - 16b + F(t0 + n).
//
// a and b depend on how long the bus took between the device's clock start and the first
// transfers, which the design does not fix; only their difference D = 20a - 16b enters, and it
// follows from the first output and input periods' times: P_0 - T_0 = D + F - C ceil(L / C).
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "engine_fixture.h"
#include "tools/path_clients.h"

namespace q407::test {
namespace {

int64_t CeilDiv(int64_t a, int64_t b) {
    return (a + b - 1) / b;
}

struct Derivation {
    int64_t phase;     // D = 20a - 16b
    int64_t firstMix;  // t0
    int64_t frames;    // the round trip
};

Derivation DeriveRoundTrip(int64_t L, int64_t n, int64_t R, int64_t outputMinusInputFrames) {
    const int64_t F = 20 * n;
    const int64_t C = 16 * n;
    Derivation d{};
    d.phase = outputMinusInputFrames - F + C * CeilDiv(L, C);
    const int64_t sStar = std::max(R, CeilDiv(F, L) - 1);
    const int64_t tStar = C * CeilDiv((sStar + 1) * L, C);  // T_s* - 16b
    int64_t t = 1;
    while (d.phase + F * (t + 1) <= tStar) ++t;
    d.firstMix = t;
    d.frames = d.phase + F * (t + n);
    return d;
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
        const double tickFrames = double(rate) / double(sim::kTicksPerSecond);
        const int64_t outputMinusInput = std::llround(
            double(clients.FirstOutputPeriodTick() - clients.FirstInputPeriodTick()) * tickFrames);
        const Derivation derived =
            DeriveRoundTrip(latency, n, rate > 48000 ? 2 : 1, outputMinusInput);
        for (int c = 0; c < kInputChannelCount; ++c) {
            const tools::ChannelCheck check = clients.AsioCheck(c);
            EXPECT_TRUE(check.BitExact())
                << "input " << c << ": " << check.mismatches << " of " << check.checked;
            EXPECT_EQ(check.delay, derived.frames)
                << "input " << c << " phase " << derived.phase << " first mix " << derived.firstMix;
        }
        EXPECT_EQ(Engine().m_PathCounters.asioUnderruns, 0u);
        EXPECT_EQ(Engine().m_PathCounters.asioHalvesDropped, 0u);
        EXPECT_EQ(Engine().m_Counters.captureUnitsDropped, 0u);
        const sim::DeviceCounters after = Device().Counters();
        // Start-up slots aside, the device never ran dry.
        EXPECT_LE(after.underruns - before.underruns, 2u * n + 40u);
        RecordProperty("round_trip_frames", int(derived.frames));
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
