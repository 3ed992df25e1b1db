// Client channels on the virtual device in loopback: WDM stream rings and ASIO buffers played and
// recorded bit-exact, the meters, the first-open restart and the last-close silence, and nothing
// left in pool afterwards.
#include <gtest/gtest.h>

#include <memory>

#include "engine_fixture.h"
#include "sim/device/output_sink.h"
#include "tools/path_clients.h"

namespace q407::test {
namespace {

constexpr int kMme = int(ClientKind::MME);
constexpr int kAsio = int(ClientKind::ASIO);

class ClientChannelTest : public EngineTest {
  protected:
    void StartAt(ULONG rate, ULONG latency, ULONG n) {
        MixerSettings stored = DefaultMixerSettings();
        stored.sampleRate = LONG(rate);
        stored.latency = LONG(latency);
        stored.usbBufferCount = LONG(n);
        rig_->StoreSettingsValue(&stored, sizeof(stored));
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        Device().LoopbackAllInputs();
    }
    void TearDown() override {
        EXPECT_EQ(sim::Pool::LeakReport({POOL_TAG("PcNw")}), "");
        EngineTest::TearDown();
    }
};

TEST_F(ClientChannelTest, MmeStereoRingIsBitExact) {
    StartAt(48000, 256, 4);
    tools::PathClients clients(*rig_);
    ASSERT_EQ(clients.StartWdmPlayback(ClientKind::MME, 0, 2, tools::TestSignal), STATUS_SUCCESS);
    // Capture 0..1 record outputs 0..1, capture 8..9 the same outputs again.
    ASSERT_EQ(clients.StartMmeCapture(0, 10, [](int i) { return i % 8; }), STATUS_SUCCESS);
    RunSeconds(1.0);
    for (int i : {0, 1, 8, 9}) {
        const tools::ChannelCheck check = clients.MmeCheck(i);
        EXPECT_TRUE(check.BitExact()) << i << ": " << check.mismatches << " of " << check.checked;
        EXPECT_EQ(check.delay, clients.MmeCheck(0).delay);
    }
    EXPECT_EQ(Engine().m_PathCounters.clientRingUnderruns, 0u);
}

TEST_F(ClientChannelTest, DolbyEightChannelRingIsBitExact) {
    StartAt(96000, 512, 3);
    tools::PathClients clients(*rig_);
    ASSERT_EQ(clients.StartWdmPlayback(ClientKind::DOLBY, 0, 8, tools::TestSignal), STATUS_SUCCESS);
    ASSERT_EQ(clients.StartMmeCapture(0, 16, [](int i) { return i % 8; }), STATUS_SUCCESS);
    RunSeconds(1.0);
    for (int i = 0; i < 16; ++i) {
        const tools::ChannelCheck check = clients.MmeCheck(i);
        EXPECT_TRUE(check.BitExact()) << i << ": " << check.mismatches << " of " << check.checked;
        EXPECT_EQ(check.delay, clients.MmeCheck(0).delay);
    }
}

TEST_F(ClientChannelTest, PeaksOfKnownLevels) {
    StartAt(48000, 256, 4);
    tools::PathClients clients(*rig_);
    // Output c at level c + 1 (in meter steps), negative on odd channels.
    ASSERT_EQ(clients.StartAsio([](uint64_t, int c) {
        return (c & 1) ? -((c + 1) << 24) - 0x100 : (c + 1) << 24;
    }),
              STATUS_SUCCESS);
    RunSeconds(0.5);
    for (int j = 0; j < 8; ++j) EXPECT_EQ(Status().outputPeak[j], j + 1) << "output " << j;
    for (int d = 0; d < 16; ++d) EXPECT_EQ(Status().inputPeak[d], d % 8 + 1) << "input " << d;
    Engine().ClearMeters();
    EXPECT_EQ(Status().outputPeak[7], 0);
    EXPECT_EQ(Status().inputPeak[15], 0);
}

TEST_F(ClientChannelTest, ClosingTheLastChannelKeepsThePipesRunningAndSilent) {
    StartAt(48000, 256, 4);
    tools::PathClients clients(*rig_);
    ASSERT_EQ(clients.StartAsio(tools::TestSignal), STATUS_SUCCESS);
    RunSeconds(0.3);
    ASSERT_TRUE(clients.AsioCheck(0).BitExact());
    EXPECT_EQ(Engine().IsAsioRunning(), 1);
    clients.StopAsio();
    EXPECT_EQ(Engine().AnyClientChannelOpen(), 0);
    EXPECT_EQ(Engine().IsAsioRunning(), 0);
    EXPECT_TRUE(Engine().IsStreaming());
    RunMs(20);  // what was queued before the close has played
    auto sink = std::make_shared<sim::MemoryOutputSink>();
    Device().AddOutputSink(sink);
    const uint64_t playback = Engine().m_Counters.playbackCompletions;
    const uint64_t periods = Engine().m_PathCounters.distributedPeriods;
    const sim::DeviceCounters before = Device().Counters();
    RunMs(200);
    Device().RemoveOutputSink(sink);
    EXPECT_GT(Engine().m_Counters.playbackCompletions, playback + 100);
    EXPECT_GT(Engine().m_PathCounters.distributedPeriods, periods + 30);
    EXPECT_EQ(Device().Counters().underruns, before.underruns);
    ASSERT_GT(sink->FrameCount(), 9000u);
    for (int c = 0; c < 8; ++c) {
        const std::vector<int32_t> out = sink->Channel(c);
        EXPECT_EQ(std::count(out.begin(), out.end(), 0), long(out.size())) << "output " << c;
    }
    for (int i = 0; i < 16; ++i) EXPECT_EQ(Status().inputPeak[i] | Status().outputPeak[i % 8], 0);
}

TEST_F(ClientChannelTest, OpeningValidatesAndAFailedStartClearsTheBit) {
    StartAt(48000, 256, 4);
    StreamEngine& e = Engine();
    // Channels outside the direction's range and kinds outside the four are refused.
    (void)e.OpenClientChannel(kAsio, 0, 8, 1);
    (void)e.OpenClientChannel(kAsio, 1, 16, 1);
    (void)e.OpenClientChannel(4, 0, 0, 1);
    (void)e.OpenClientChannel(kAsio, 2, 0, 1);
    EXPECT_EQ(e.AnyClientChannelOpen(), 0);
    EXPECT_EQ(e.SetClientBuffer(3, 0, 0, 0, 0x1000, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(e.SetClientBuffer(kAsio, 0, 0, 2, 0x1000, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(e.SetClientBuffer(kAsio, 0, 0, 0, 0x1000, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(e.SetClientRing(kAsio, 0, 0, nullptr), STATUS_INVALID_PARAMETER);

    // A start that fails (the device is being reflashed) leaves the channel closed.
    InterlockedExchange(&e.m_FirmwareUpdate, 1);
    (void)e.OpenClientChannel(kMme, 0, 0, 1);
    EXPECT_EQ(e.IsClientChannelOpen(kMme, 0, 0), 0);
    EXPECT_FALSE(e.IsStreaming());
    InterlockedExchange(&e.m_FirmwareUpdate, 0);

    // The first open starts streaming again with the cycles at their beginning.
    EXPECT_EQ(e.OpenClientChannel(kMme, 0, 0, 1), 0u);
    EXPECT_EQ(e.IsClientChannelOpen(kMme, 0, 0), 1);
    EXPECT_TRUE(e.IsStreaming());
    EXPECT_EQ(e.AnyClientChannelOpen(), 1);
    EXPECT_EQ(e.IsAsioRunning(), 0);
    (void)e.OpenClientChannel(kAsio, 1, 15, 1);
    EXPECT_EQ(e.IsAsioRunning(), 1);
    Status().errorCounter = 10;
    EXPECT_EQ(e.IsAsioRunning(), 0);
    Status().errorCounter = 0;
    RunMs(50);
    (void)e.OpenClientChannel(kAsio, 1, 15, 0);
    (void)e.OpenClientChannel(kMme, 0, 0, 0);
    EXPECT_EQ(e.AnyClientChannelOpen(), 0);
    EXPECT_TRUE(e.IsStreaming());
}

TEST_F(ClientChannelTest, CloseZeroesBothHalvesOfTheChannelBuffers) {
    StartAt(48000, 128, 4);
    std::vector<int32_t> halves[2];
    for (auto& h : halves) h.assign(2 * 128 + 16, 0x33333333);
    for (int half = 0; half < 2; ++half)
        ASSERT_EQ(Engine().SetClientBuffer(kAsio, 1, 4, half,
                                           reinterpret_cast<ULONG64>(halves[half].data()), 2),
                  STATUS_SUCCESS);
    (void)Engine().OpenClientChannel(kAsio, 1, 4, 1);
    (void)Engine().OpenClientChannel(kAsio, 1, 4, 0);
    for (auto& h : halves) {
        for (size_t i = 0; i < 256; ++i) EXPECT_EQ(h[i], (i & 1) ? 0x33333333 : 0) << i;
        for (size_t i = 256; i < h.size(); ++i) EXPECT_EQ(h[i], 0x33333333) << i;
    }
    for (int half = 0; half < 2; ++half) (void)Engine().SetClientBuffer(kAsio, 1, 4, half, 0, 0);
}

}  // namespace
}  // namespace q407::test
