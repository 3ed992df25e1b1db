// The playback mix and the capture distribution driven one period at a time on an engine without
// pipes: sources, the output map, saturation, kind mute, routing with the two-period rule, the
// INPUT source, meters, the ASIO pre-roll and the bounds of client memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/usbdriver/engine/paths_harness.h"

namespace q407::test {
namespace {

constexpr int kAsio = int(ClientKind::ASIO);
constexpr int kMme = int(ClientKind::MME);

// ASIO client buffers: 8 playback and 16 capture channels, two halves each, with a guard zone
// after every buffer.
struct AsioBuffers {
    static constexpr size_t kGuard = 64;
    static constexpr int32_t kGuardValue = 0x5A5A5A5A;
    explicit AsioBuffers(PathsHarness& h, uint32_t length) : samples(length) {
        for (int d = 0; d < 2; ++d)
            for (int c = 0; c < 16; ++c)
                for (int half = 0; half < 2; ++half) {
                    auto& b = buffers[d][c][half];
                    b.assign(samples + kGuard, kGuardValue);
                    EXPECT_EQ(h.Engine().SetClientBuffer(kAsio, d, c, half,
                                                         reinterpret_cast<ULONG64>(b.data()), 1),
                              STATUS_SUCCESS);
                }
    }
    void Fill(int channel, int half, int32_t value) {
        std::fill_n(buffers[0][channel][half].begin(), samples, value);
    }
    bool GuardsIntact() const {
        for (const auto& d : buffers)
            for (const auto& c : d)
                for (const auto& b : c)
                    for (size_t i = samples; i < b.size(); ++i)
                        if (b[i] != kGuardValue) return false;
        return true;
    }
    uint32_t samples;
    std::vector<int32_t> buffers[2][16][2];
};

std::vector<int32_t> Constant(uint32_t n, int32_t v) {
    return std::vector<int32_t>(n, v);
}

RouteRecord& Record(PathsHarness& h, int kind, int channel) {
    return h.Engine().m_Settings.routeTable.records[RouteRecordIndex(kind, channel)];
}

// Routing as ApplySettings leaves it: field 6 recomputed and handed to the capture side.
void Adopt(PathsHarness& h) {
    h.Engine().ComputeInputSources();
    h.Engine().PublishCaptureRoutes();
}

// Frames of 16 inputs where input d carries value(frame, d).
template <class F>
std::vector<int32_t> InputFrames(uint32_t frames, F value) {
    std::vector<int32_t> out;
    for (uint32_t f = 0; f < frames; ++f)
        for (int d = 0; d < 16; ++d) out.push_back(value(f, d));
    return out;
}

TEST(OutputMix, OpenChannelsWithAnEmptyRingPlaySilence) {
    PathsHarness h(48000, 256, 4);
    ClientRing stereo(1024, 2);
    for (int c = 0; c < 2; ++c) {
        h.Engine().SetClientRing(kMme, 0, c, &stereo.ring);
        h.Open(ClientKind::MME, Direction::Output, c);
    }
    h.Status().outputPeak[0] = 99;
    h.Mix();
    EXPECT_EQ(h.Output(0), Constant(h.Frames(), 0));
    EXPECT_EQ(h.Output(1), Constant(h.Frames(), 0));
    EXPECT_EQ(h.Status().outputPeak[0], 0);
    EXPECT_EQ(h.Status().outputPeak[1], 0);
}

TEST(OutputMix, MmeAndAsioMeetWithSaturation) {
    PathsHarness h(48000, 256, 4);
    AsioBuffers asio(h, 256);
    ClientRing stereo(4096, 2);
    for (int c = 0; c < 2; ++c) {
        h.Engine().SetClientRing(kMme, 0, c, &stereo.ring);
        h.Open(ClientKind::MME, Direction::Output, c);
    }
    h.Open(ClientKind::ASIO, Direction::Output, 0);
    std::vector<int32_t> frames;
    for (uint32_t f = 0; f < h.Frames(); ++f) {
        frames.push_back(0x70000000);
        frames.push_back(0x12345600);
    }
    stereo.Put(frames);
    asio.Fill(0, 0, 0x70000000);
    asio.Fill(0, 1, 0x70000000);
    h.Engine().WriteAsioOutput(0, 1);
    h.Engine().WriteAsioOutput(1, 1);
    h.Mix();
    EXPECT_EQ(h.Output(0), Constant(h.Frames(), 0x7FFFFFFF));
    EXPECT_EQ(h.Output(1), Constant(h.Frames(), 0x12345600));
    EXPECT_EQ(h.Status().outputPeak[0], 127);
    EXPECT_EQ(h.Status().outputPeak[1], 0x12);
    // Each ring moved once by one mix's frames.
    EXPECT_EQ(GetReadAvailable(&stereo.ring), 0);
    EXPECT_EQ(GetReadAvailable(&h.Engine().m_AsioOutRingBuffer), int32_t(8 * (512 - h.Frames())));
}

TEST(OutputMix, OutputMapChoosesTheClientChannel) {
    PathsHarness h(48000, 256, 4);
    AsioBuffers asio(h, 256);
    const int32_t map[8] = {3, 2, 1, 0, 7, 7, 5, 4};
    for (int j = 0; j < 8; ++j) h.Engine().m_Settings.outputMap.entries[j] = map[j];
    for (int c = 0; c < 8; ++c) {
        h.Open(ClientKind::ASIO, Direction::Output, c);
        for (int half = 0; half < 2; ++half) asio.Fill(c, half, (c + 1) << 24);
    }
    h.Engine().WriteAsioOutput(0, 1);
    h.Engine().WriteAsioOutput(1, 1);
    h.Mix();
    for (int j = 0; j < 8; ++j)
        EXPECT_EQ(h.Output(j), Constant(h.Frames(), (map[j] + 1) << 24)) << "output " << j;
    // An entry outside 0..7 left in the block plays the output's own channel.
    h.Engine().m_Settings.outputMap.entries[2] = 9;
    h.Mix();
    EXPECT_EQ(h.Output(2), Constant(h.Frames(), 3 << 24));
}

// A 6-channel ring of 256 samples: its frames straddle the ring's end on every lap, and each
// output still plays its channel's sample sequence without a gap or a repeat.
TEST(OutputMix, InterleavedRingOfSixChannelsStreamsAcrossItsEnd) {
    PathsHarness h(48000, 256, 2);
    ClientRing six(256, 6);
    for (int c = 0; c < 6; ++c) {
        h.Engine().SetClientRing(int(ClientKind::DOLBY), 0, c, &six.ring);
        h.Open(ClientKind::DOLBY, Direction::Output, c);
    }
    int32_t next = 0;
    std::vector<int32_t> played[6];
    for (int mix = 0; mix < 20; ++mix) {
        std::vector<int32_t> frames;
        for (uint32_t f = 0; f < h.Frames(); ++f, ++next)
            for (int c = 0; c < 6; ++c) frames.push_back((next << 8) | c);
        six.Put(frames);
        h.Mix();
        for (int c = 0; c < 6; ++c) {
            const std::vector<int32_t> out = h.Output(c);
            played[c].insert(played[c].end(), out.begin(), out.end());
        }
    }
    for (int c = 0; c < 6; ++c) {
        ASSERT_EQ(played[c].size(), size_t(next));
        for (int32_t f = 0; f < next; ++f) ASSERT_EQ(played[c][size_t(f)], (f << 8) | c);
    }
}

TEST(OutputMix, ForeignRingGeometryIsRefused) {
    PathsHarness h(48000, 256, 4);
    ClientRing ring(1024, 2);
    ring.Put(Constant(1024, 0x40000000));
    h.Engine().SetClientRing(kMme, 0, 0, &ring.ring);
    h.Open(ClientKind::MME, Direction::Output, 0);
    for (int variant = 0; variant < 4; ++variant) {
        RingBuffer saved = ring.ring;
        if (variant == 0) ring.ring.channels = 0;
        if (variant == 1) ring.ring.smallMask = 0x7FFFFFFF;
        if (variant == 2) ring.ring.size = 1000;
        if (variant == 3) ring.ring.elementSize = 2;
        h.Mix();
        EXPECT_EQ(h.Output(0), Constant(h.Frames(), 0)) << "variant " << variant;
        ring.ring = saved;
    }
    h.Mix();
    EXPECT_EQ(h.Output(0), Constant(h.Frames(), 0x40000000));
}

TEST(OutputMix, AsioPreRollNeedsOneMoreHalfAtDoubleRate) {
    for (uint32_t rate : {48000u, 96000u}) {
        PathsHarness h(rate, 256, 4);
        AsioBuffers asio(h, 256);
        h.Open(ClientKind::ASIO, Direction::Output, 0);
        const int halvesBeforeSound = rate == 96000 ? 3 : 2;
        for (int written = 1; written <= halvesBeforeSound; ++written) {
            asio.Fill(0, written & 1, written << 24);
            h.Engine().WriteAsioOutput(written & 1, 1);
            h.Mix();
            if (written < halvesBeforeSound)
                EXPECT_EQ(h.Output(0), Constant(h.Frames(), 0)) << rate << " after " << written;
            else  // nothing was lost while the pre-roll ran: the first half plays first
                EXPECT_EQ(h.Output(0), Constant(h.Frames(), 1 << 24)) << rate;
        }
        EXPECT_TRUE(asio.GuardsIntact());
    }
}

TEST(OutputMix, KindMuteSilencesOnlyTheRoutedChannelsDirectOutput) {
    PathsHarness h(48000, 32, 4);
    AsioBuffers asio(h, 32);
    ClientRing stereo(4096, 2);
    h.Engine().SetClientRing(kMme, 0, 0, &stereo.ring);
    h.Engine().SetClientRing(kMme, 0, 1, &stereo.ring);
    h.Open(ClientKind::MME, Direction::Output, 0);
    h.Open(ClientKind::MME, Direction::Output, 1);
    h.Open(ClientKind::ASIO, Direction::Output, 0);
    h.Open(ClientKind::ASIO, Direction::Output, 1);
    h.Open(ClientKind::MME, Direction::Input, 4);
    std::vector<int32_t> capture(32 + AsioBuffers::kGuard, 0);
    h.Engine().SetClientBuffer(kMme, 1, 4, 0, reinterpret_cast<ULONG64>(capture.data()), 1);
    RouteRecord& routed = Record(h, kAsio, 0);
    routed.routeOut = 1;
    routed.targetKind = kMme;
    routed.targetChannel = 4;
    Record(h, kAsio, 0).kindMute = 1;
    Record(h, kMme, 4).routeIn = 1;
    Adopt(h);
    for (int half = 0; half < 2; ++half) {
        asio.Fill(0, half, 0x01000000);
        asio.Fill(1, half, 0x02000000);
    }
    for (int mix = 0; mix < 3; ++mix) {
        std::vector<int32_t> frames;
        for (uint32_t f = 0; f < h.Frames(); ++f) {
            frames.push_back(0x00100000);
            frames.push_back(0);
        }
        stereo.Put(frames);
        h.Engine().WriteAsioOutput(0, 1);
        h.Engine().WriteAsioOutput(1, 1);
        h.Engine().WriteAsioOutput(0, 1);
        h.Mix();
    }
    // Output 0 keeps the MME signal; the routed ASIO channel 0 is not heard there.
    EXPECT_EQ(h.Output(0), Constant(h.Frames(), 0x00100000));
    EXPECT_EQ(h.Output(1), Constant(h.Frames(), 0x02000000));
    // The routed signal still reaches its destination.
    h.Capture(InputFrames(32, [](uint32_t, int) { return 0; }));
    EXPECT_EQ(std::vector<int32_t>(capture.begin(), capture.begin() + 32),
              Constant(32, 0x01000000));
    EXPECT_EQ(capture[32], 0);
}

// Device input 3 routed to ASIO capture 5; then an ASIO playback channel routed there too: the
// routed signal is taken only once two playback periods have been written and the routed delay is
// reached, with input 3 added.
TEST(InputDistribution, InputRecordFeedsAsioCaptureAndJoinsARoutedSource) {
    PathsHarness h(48000, 32, 4);
    AsioBuffers asio(h, 32);
    RouteRecord& input3 = Record(h, int(ClientKind::INPUT), 3);
    input3.routeOut = 1;
    input3.targetKind = kAsio;
    input3.targetChannel = 5;
    Record(h, kAsio, 5).routeIn = 1;
    Adopt(h);
    EXPECT_EQ(Record(h, kAsio, 5).inputSource, 3);
    h.Open(ClientKind::ASIO, Direction::Input, 5);
    h.Open(ClientKind::ASIO, Direction::Input, 6);
    const auto inputs =
        InputFrames(32, [](uint32_t f, int d) { return (d << 24) | int32_t(f << 8); });
    h.Capture(inputs);
    EXPECT_EQ(h.Status().lastInputHalf, 0u);
    for (uint32_t f = 0; f < 32; ++f) {
        EXPECT_EQ(asio.buffers[1][5][0][f], (3 << 24) | int32_t(f << 8));
        EXPECT_EQ(asio.buffers[1][6][0][f], (6 << 24) | int32_t(f << 8));
    }

    RouteRecord& playback2 = Record(h, kAsio, 2);
    playback2.routeOut = 1;
    playback2.targetKind = kAsio;
    playback2.targetChannel = 5;
    Adopt(h);
    h.Open(ClientKind::ASIO, Direction::Output, 2);
    for (int half = 0; half < 2; ++half) asio.Fill(2, half, 0x00000100);
    // Input 3 alone until the routing ring has two periods and reaches the delay every routed
    // destination keeps; from then on the routed signal with input 3 added, every period.
    int joined = -1;
    for (int round = 0; round < 8; ++round) {
        for (int i = 0; i < 3; ++i) h.Engine().WriteAsioOutput(uint32_t(i & 1), 1);
        h.Mix();
        h.Capture(inputs);
        const int half = (round + 1) & 1;
        EXPECT_EQ(h.Status().lastInputHalf, uint32_t(half));
        const bool routed = asio.buffers[1][5][half][0] == (3 << 24) + 0x100;
        if (round < 2) {
            EXPECT_FALSE(routed) << round;
        }
        if (routed && joined < 0) joined = round;
        for (uint32_t f = 0; f < 32; ++f)
            ASSERT_EQ(asio.buffers[1][5][half][f],
                      (3 << 24) + int32_t(f << 8) + (joined >= 0 ? 0x100 : 0))
                << round << " " << f;
    }
    EXPECT_GE(joined, 2);
    EXPECT_LE(joined, 4);
    EXPECT_EQ(h.asioSignals, 9u);
    EXPECT_EQ(h.inputPeriods, 9u);
    EXPECT_TRUE(asio.GuardsIntact());
}

TEST(InputDistribution, TargetsOutsideTheTablesRouteNowhere) {
    PathsHarness h(48000, 32, 4);
    AsioBuffers asio(h, 32);
    h.Open(ClientKind::ASIO, Direction::Output, 0);
    RouteRecord& r = Record(h, kAsio, 0);
    r.routeOut = 1;
    for (auto [kind, channel] : {std::pair{7, 3}, {-1, 3}, {0, 16}, {2, 99}, {2, -4}}) {
        r.targetKind = kind;
        r.targetChannel = channel;
        Adopt(h);
        for (int half = 0; half < 2; ++half) asio.Fill(0, half, 0x00300000);
        for (int i = 0; i < 3; ++i) h.Engine().WriteAsioOutput(uint32_t(i & 1), 1);
        h.Mix();
        EXPECT_EQ(h.Output(0), Constant(h.Frames(), 0x00300000));
        for (RingBuffer& ring : h.Engine().m_RoutingRings) EXPECT_EQ(GetReadAvailable(&ring), 0);
        for (LONG64 periods : h.Engine().m_RoutePeriods) EXPECT_EQ(periods, 0);
    }
}

// A period length that does not divide the input ring: every 41st period runs over the ring's end
// and is still delivered whole and in order.
TEST(InputDistribution, PeriodStraddlingTheInputRingEndIsDeliveredWhole) {
    PathsHarness h(48000, 100, 4);
    h.Engine().m_PeriodFrames = 100;
    AsioBuffers asio(h, 100);
    h.Open(ClientKind::ASIO, Direction::Input, 0);
    h.Open(ClientKind::ASIO, Direction::Input, 15);
    uint32_t frame = 0;
    for (int period = 0; period < 90; ++period) {
        h.Capture(
            InputFrames(100, [&](uint32_t f, int d) { return int32_t((frame + f) << 8) | d; }));
        const int half = period & 1;
        EXPECT_EQ(h.Status().lastInputHalf, uint32_t(half));
        for (uint32_t f = 0; f < 100; ++f) {
            ASSERT_EQ(asio.buffers[1][0][half][f], int32_t((frame + f) << 8)) << period;
            ASSERT_EQ(asio.buffers[1][15][half][f], int32_t((frame + f) << 8) | 15) << period;
        }
        frame += 100;
    }
    EXPECT_GT(frame * 64, uint32_t(2 * 262144));
    EXPECT_TRUE(asio.GuardsIntact());
}

TEST(InputDistribution, InterleavedClientBufferAndPeaks) {
    PathsHarness h(48000, 64, 4);
    std::vector<int32_t> stereo(2 * 64 + 8, 0x11111111);
    h.Engine().SetClientBuffer(kMme, 1, 0, 0, reinterpret_cast<ULONG64>(stereo.data()), 2);
    h.Engine().SetClientBuffer(kMme, 1, 1, 0, reinterpret_cast<ULONG64>(stereo.data() + 1), 2);
    h.Open(ClientKind::MME, Direction::Input, 0);
    h.Open(ClientKind::MME, Direction::Input, 1);
    h.Capture(InputFrames(64, [](uint32_t f, int d) {
        if (d == 0) return int32_t(f << 8);
        if (d == 1) return -int32_t(f << 8) - 0x40000000;
        if (d == 9) return f == 10 ? int32_t(0x20000000) : 0;
        return 0;
    }));
    for (uint32_t f = 0; f < 64; ++f) {
        EXPECT_EQ(stereo[2 * f], int32_t(f << 8));
        EXPECT_EQ(stereo[2 * f + 1], -int32_t(f << 8) - 0x40000000);
    }
    for (size_t i = 128; i < stereo.size(); ++i) EXPECT_EQ(stereo[i], 0x11111111);
    EXPECT_EQ(h.Status().inputPeak[0], 0);
    EXPECT_EQ(h.Status().inputPeak[1], 0x40);  // ~(-0x40003F00 - ...) >> 24
    EXPECT_EQ(h.Status().inputPeak[9], 0x20);
    EXPECT_EQ(h.Status().inputPeak[2], 0);
}

// The status record is mapped into the clients: a latency written there does not change how much
// the engine writes into a client buffer.
TEST(InputDistribution, ClientWrittenLatencyDoesNotSizeTheCopy) {
    PathsHarness h(48000, 64, 4);
    AsioBuffers asio(h, 64);
    h.Open(ClientKind::ASIO, Direction::Input, 2);
    h.Status().latency = 1024;
    h.Capture(InputFrames(1024, [](uint32_t, int) { return 0x7F000000; }));
    EXPECT_EQ(h.inputPeriods, 16u);
    EXPECT_TRUE(asio.GuardsIntact());
    EXPECT_EQ(asio.buffers[1][2][0][63], 0x7F000000);
}

}  // namespace
}  // namespace q407::test
