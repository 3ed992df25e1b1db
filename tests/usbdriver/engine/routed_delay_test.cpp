// The routed delay of a FlexPATH path, ASIO playback 2 to MME capture 0 on the virtual device in
// loopback, read off a frame ramp: it must not move when settings are written, when the
// destination opens late, or over ten minutes of virtual time.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "engine_fixture.h"
#include "tools/path_clients.h"

namespace q407::test {
namespace {

constexpr int kMme = int(ClientKind::MME);
constexpr int kAsio = int(ClientKind::ASIO);

void Route(MixerSettings& s, int kind, int channel, int targetKind, int targetChannel) {
    RouteRecord& r = s.routeTable.records[RouteRecordIndex(kind, channel)];
    r.routeOut = 1;
    r.targetKind = targetKind;
    r.targetSide = 1;
    r.targetChannel = targetChannel;
    s.routeTable.records[RouteRecordIndex(targetKind, targetChannel)].routeIn += 1;
}

// A ramp that is never 0 and names the host output frame modulo 2^19.
int32_t FrameRamp(uint64_t frame) {
    return int32_t(((frame & 0x7FFFF) + 1) << 8);
}

// The routed delay of each recorded sample: the ASIO host's input frame it was recorded in minus
// the output frame its ramp value names. Silence is where a destination started afresh.
struct DelayCensus {
    std::set<int64_t> delays;
    size_t silent = 0;             // samples of silence in all
    size_t silentAfterRouted = 0;  // of those, after the first routed sample
};

DelayCensus Census(const std::vector<int32_t>& recorded, uint64_t firstFrame) {
    DelayCensus census;
    bool routed = false;
    for (size_t k = 0; k < recorded.size(); ++k) {
        if (recorded[k] == 0) {
            ++census.silent;
            if (routed) ++census.silentAfterRouted;
            continue;
        }
        routed = true;
        const int64_t output = int64_t((uint32_t(recorded[k]) >> 8) & 0xFFFFF) - 1;
        const int64_t input = int64_t((firstFrame + k) & 0x7FFFF);
        census.delays.insert((input - output) & 0x7FFFF);
    }
    return census;
}

class RoutedDelay : public EngineTest {
  protected:
    // ASIO playback 2 routed to MME capture 0 at 48 kHz, L = 256, n = 4, the ASIO host playing
    // the frame ramp there.
    void StartPath(bool openDestination) {
        MixerSettings stored = DefaultMixerSettings();
        stored.sampleRate = 48000;
        stored.latency = 256;
        stored.usbBufferCount = 4;
        rig_->StoreSettingsValue(&stored, sizeof(stored));
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        Device().LoopbackAllInputs();
        clients_ = std::make_unique<tools::PathClients>(*rig_);
        MixerSettings s = Current();
        Route(s, kAsio, 2, kMme, 0);
        ASSERT_EQ(Engine().ApplySettings(&s), STATUS_SUCCESS);
        if (openDestination) {
            ASSERT_EQ(clients_->StartMmeCapture(0, 1, nullptr), STATUS_SUCCESS);
        }
        ASSERT_EQ(clients_->StartAsio(
                      [](uint64_t f, int c) { return c == 2 ? FrameRamp(f) : 0x00400000; }),
                  STATUS_SUCCESS);
    }
    void TearDown() override {
        clients_.reset();
        EngineTest::TearDown();
    }
    DelayCensus Record(double seconds) {
        const auto frames = size_t(seconds * 48000);
        clients_->RecordMmeInput(0, frames);
        RunSeconds(seconds + 0.05);
        const std::vector<int32_t> recorded = clients_->RecordedMmeInput(0);
        EXPECT_EQ(recorded.size(), frames);
        return Census(recorded, clients_->RecordedMmeInputFrame(0));
    }
    // A settings write that leaves the path alone: the output map and an unrelated route.
    void UnrelatedWrite(int k) {
        MixerSettings s = Current();
        std::swap(s.outputMap.entries[6], s.outputMap.entries[7]);
        RouteRecord& other = s.routeTable.records[RouteRecordIndex(kAsio, 5)];
        RouteRecord& otherTarget = s.routeTable.records[RouteRecordIndex(kAsio, 9)];
        if (k % 2 == 0) {
            Route(s, kAsio, 5, kAsio, 9);
        } else {
            other.routeOut = 0;
            otherTarget.routeIn = 0;
        }
        ASSERT_EQ(Engine().ApplySettings(&s), STATUS_SUCCESS);
    }
    // A write that makes the path's destination start afresh: its cable count changes.
    void DestinationWrite() {
        MixerSettings s = Current();
        LONG& cables = s.routeTable.records[RouteRecordIndex(kMme, 0)].routeIn;
        cables = cables == 1 ? 2 : 1;
        ASSERT_EQ(Engine().ApplySettings(&s), STATUS_SUCCESS);
    }
    MixerSettings Current() { return *Engine().GetSettings(); }
    std::unique_ptr<tools::PathClients> clients_;
};

// The destination opens two seconds after its source started (its ring would hold a backlog), then
// 100 settings writes, a restart of the destination and a close and reopen: one delay throughout,
// and no hole while the path is left alone.
TEST_F(RoutedDelay, StaysConstantAcrossSettingsWritesAndALateOpen) {
    StartPath(false);
    RunSeconds(2.0);
    ASSERT_EQ(clients_->StartMmeCapture(0, 1, nullptr), STATUS_SUCCESS);
    DelayCensus census = Record(0.5);
    ASSERT_EQ(census.delays.size(), 1u);
    const int64_t delay = *census.delays.begin();
    EXPECT_EQ(census.silentAfterRouted, 0u);
    // A few periods, far from the 4,096 samples a backlog would leave.
    EXPECT_LT(delay, 1024);
    RecordProperty("routed_delay_frames", int(delay));

    const auto frames = size_t(100 * 0.02 * 48000);
    clients_->RecordMmeInput(0, frames);
    for (int k = 0; k < 100; ++k) {
        UnrelatedWrite(k);
        RunMs(20);
    }
    RunMs(50);
    const std::vector<int32_t> during = clients_->RecordedMmeInput(0);
    ASSERT_EQ(during.size(), frames);
    census = Census(during, clients_->RecordedMmeInputFrame(0));
    EXPECT_EQ(census.delays, std::set<int64_t>{delay});
    EXPECT_EQ(census.silent, 0u);

    DestinationWrite();
    census = Record(0.5);
    EXPECT_EQ(census.delays, std::set<int64_t>{delay});
    EXPECT_EQ(census.silentAfterRouted, 0u);

    clients_->StopMmeCapture();
    RunSeconds(1.0);
    ASSERT_EQ(clients_->StartMmeCapture(0, 1, nullptr), STATUS_SUCCESS);
    census = Record(0.5);
    EXPECT_EQ(census.delays, std::set<int64_t>{delay});
    EXPECT_EQ(census.silentAfterRouted, 0u);
    EXPECT_EQ(Engine().m_PathCounters.routeShortReads, 0u);
    EXPECT_TRUE(clients_->AsioCheck(2).BitExact());
}

// The sanitizer presets run the same path for a minute: there it is looked at for races and
// memory errors, and ten minutes would take most of an hour.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kEnduranceSeconds = 60;
#else
constexpr int kEnduranceSeconds = 600;
#endif

// Ten minutes of virtual time with a settings write every second; every third one makes the
// destination start afresh.
TEST_F(RoutedDelay, HoldsForTenMinutesWithASettingsWriteEverySecond) {
    StartPath(true);
    RunSeconds(1.0);
    int64_t delay = -1;
    for (int second = 0; second < kEnduranceSeconds; ++second) {
        const bool restarts = second % 3 == 2;
        if (restarts)
            DestinationWrite();
        else
            UnrelatedWrite(second);
        const DelayCensus census = Record(1.0);
        ASSERT_EQ(census.delays.size(), 1u) << second;
        if (delay < 0) delay = *census.delays.begin();
        ASSERT_EQ(*census.delays.begin(), delay) << second;
        ASSERT_EQ(census.silentAfterRouted, 0u) << second;
        if (!restarts) {
            ASSERT_EQ(census.silent, 0u) << second;
        }
    }
    RecordProperty("routed_delay_frames", int(delay));
    EXPECT_EQ(Engine().m_PathCounters.routeShortReads, 0u);
    EXPECT_EQ(Engine().m_PathCounters.routeOverflows, 0u);
    EXPECT_TRUE(clients_->AsioCheck(2).BitExact());
}

}  // namespace
}  // namespace q407::test
