// FlexPATH routing on the virtual device in loopback, set up the way the control panel does it:
// a whole settings block through ApplySettings while an ASIO stream runs.
#include <gtest/gtest.h>

#include <vector>

#include "engine_fixture.h"
#include "tools/path_clients.h"

namespace q407::test {
namespace {

constexpr int kMme = int(ClientKind::MME);
constexpr int kAsio = int(ClientKind::ASIO);
constexpr int kInput = int(ClientKind::INPUT);

// A ramp that names the host frame it was played in (24 significant bits).
int32_t Ramp(uint64_t frame) {
    return int32_t(((frame + 1) & 0x7FFFF) << 8);
}

void Route(MixerSettings& s, int kind, int channel, int targetKind, int targetChannel) {
    RouteRecord& r = s.routeTable.records[RouteRecordIndex(kind, channel)];
    r.routeOut = 1;
    r.targetKind = targetKind;
    r.targetSide = 1;
    r.targetChannel = targetChannel;
    s.routeTable.records[RouteRecordIndex(targetKind, targetChannel)].routeIn += 1;
}

// From the first sample on that is not 0, the recording holds consecutive ramp values: no
// sample lost, repeated or replaced by silence.
size_t ConsecutiveRampFrom(const std::vector<int32_t>& v, size_t from, int32_t offset = 0) {
    size_t bad = 0;
    for (size_t i = from + 1; i < v.size(); ++i)
        if (v[i] - offset != v[i - 1] - offset + 0x100) ++bad;
    return bad;
}

size_t FirstNonZero(const std::vector<int32_t>& v, int32_t offset = 0) {
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i] != offset) return i;
    return v.size();
}

class RoutingTest : public EngineTest {
  protected:
    void StartAt(ULONG latency, ULONG n) {
        MixerSettings stored = DefaultMixerSettings();
        stored.sampleRate = 48000;
        stored.latency = LONG(latency);
        stored.usbBufferCount = LONG(n);
        rig_->StoreSettingsValue(&stored, sizeof(stored));
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        Device().LoopbackAllInputs();
    }
    MixerSettings Current() { return *Engine().GetSettings(); }
};

TEST_F(RoutingTest, AsioPlaybackChannelReachesAnMmeCaptureChannel) {
    StartAt(256, 4);
    tools::PathClients clients(*rig_);
    MixerSettings s = Current();
    Route(s, kAsio, 2, kMme, 0);
    ASSERT_EQ(Engine().ApplySettings(&s), STATUS_SUCCESS);
    ASSERT_EQ(clients.StartMmeCapture(0, 2, nullptr), STATUS_SUCCESS);
    clients.RecordMmeInput(0, 48000);
    clients.RecordMmeInput(1, 48000);
    ASSERT_EQ(clients.StartAsio([](uint64_t f, int c) { return c == 2 ? Ramp(f) : 0x00400000; }),
              STATUS_SUCCESS);
    RunSeconds(1.2);
    const std::vector<int32_t> routed = clients.RecordedMmeInput(0);
    const std::vector<int32_t> direct = clients.RecordedMmeInput(1);
    ASSERT_EQ(routed.size(), 48000u);
    const size_t first = FirstNonZero(routed);
    ASSERT_LT(first, 48000u / 4);
    // Routed audio starts after the start-up of the routing ring; from then on it is whole.
    EXPECT_EQ(ConsecutiveRampFrom(routed, first + 4 * 256), 0u);
    EXPECT_EQ(routed.back() - routed[routed.size() - 2], 0x100);
    // The MME capture channel without a route still records its device input (output 1).
    EXPECT_EQ(direct.back(), 0x00400000);
    EXPECT_EQ(Engine().m_PathCounters.routeOverflows, 0u);
    // The routed channel keeps its direct output (no kind mute): ASIO capture 2 is bit-exact.
    EXPECT_TRUE(clients.AsioCheck(2).BitExact());
}

// Device input 3 feeds ASIO capture 5 through an INPUT record; a routed ASIO playback channel
// joins after two periods and is heard with input 3 added.
TEST_F(RoutingTest, InputRecordThenRoutedPlaybackSource) {
    StartAt(128, 4);
    tools::PathClients clients(*rig_);
    MixerSettings s = Current();
    Route(s, kInput, 3, kAsio, 5);
    ASSERT_EQ(Engine().ApplySettings(&s), STATUS_SUCCESS);
    EXPECT_EQ(Engine().GetSettings()->routeTable.records[RouteRecordIndex(kAsio, 5)].inputSource,
              3);
    clients.RecordAsioInput(5, 48000);
    constexpr int32_t kInput3 = 0x10000000;
    ASSERT_EQ(clients.StartAsio([](uint64_t f, int c) {
        return c == 3 ? kInput3 : c == 6 ? Ramp(f) : 0x00200000;
    }),
              STATUS_SUCCESS);
    RunSeconds(0.5);
    std::vector<int32_t> heard = clients.RecordedAsioInput(5);
    const size_t arrived = FirstNonZero(heard);
    ASSERT_LT(arrived, heard.size());
    for (size_t i = arrived; i < heard.size(); ++i) ASSERT_EQ(heard[i], kInput3) << i;
    const size_t before = heard.size();

    s = Current();
    Route(s, kAsio, 6, kAsio, 5);
    ASSERT_EQ(Engine().ApplySettings(&s), STATUS_SUCCESS);
    RunSeconds(0.5);
    heard = clients.RecordedAsioInput(5);
    // Input 3 stays in until the routed signal arrives; then it is the sum.
    const size_t joined =
        FirstNonZero(std::vector<int32_t>(heard.begin() + long(before), heard.end()), kInput3) +
        before;
    ASSERT_LT(joined, heard.size());
    for (size_t i = before; i < joined; ++i) ASSERT_EQ(heard[i], kInput3);
    EXPECT_EQ(ConsecutiveRampFrom(heard, joined + 4 * 128, kInput3), 0u);
    EXPECT_EQ(heard.back() - heard[heard.size() - 2], 0x100);
    EXPECT_GT(heard.back(), kInput3);
    // Capture 5 takes the routing, not its own device input 5.
    EXPECT_FALSE(clients.AsioCheck(5).BitExact());
    EXPECT_TRUE(clients.AsioCheck(6).BitExact());
}

TEST_F(RoutingTest, KindMuteSilencesTheDirectOutputOfRoutedChannelsOnly) {
    StartAt(256, 4);
    tools::PathClients clients(*rig_);
    MixerSettings s = Current();
    Route(s, kAsio, 0, kMme, 3);
    s.routeTable.records[RouteRecordIndex(kAsio, 0)].kindMute = 1;
    ASSERT_EQ(Engine().ApplySettings(&s), STATUS_SUCCESS);
    ASSERT_EQ(clients.StartMmeCapture(3, 1, nullptr), STATUS_SUCCESS);
    clients.RecordMmeInput(0, 24000);
    clients.RecordAsioInput(0, 24000);
    ASSERT_EQ(clients.StartAsio(
                  [](uint64_t f, int c) { return c == 0 ? Ramp(f) : tools::TestSignal(f, c); }),
              STATUS_SUCCESS);
    RunSeconds(1.0);
    // Output 0 (looped back to ASIO capture 0) stays silent, the other outputs play.
    const std::vector<int32_t> direct = clients.RecordedAsioInput(0);
    ASSERT_EQ(direct.size(), 24000u);
    EXPECT_EQ(FirstNonZero(direct), direct.size());
    for (int c = 1; c < 8; ++c) EXPECT_TRUE(clients.AsioCheck(c).BitExact()) << c;
    // The routed signal still arrives.
    const std::vector<int32_t> routed = clients.RecordedMmeInput(0);
    const size_t first = FirstNonZero(routed);
    ASSERT_LT(first, routed.size());
    EXPECT_EQ(ConsecutiveRampFrom(routed, first + 4 * 256), 0u);
    EXPECT_EQ(Status().outputPeak[0], 0);
}

TEST_F(RoutingTest, SettingsFromTheClientAreBroughtIntoRange) {
    StartAt(256, 4);
    MixerSettings s = Current();
    s.outputMap.entries[2] = 9;
    s.outputMap.entries[5] = -3;
    s.outputMap.entries[6] = 7;
    RouteRecord& wild = s.routeTable.records[RouteRecordIndex(kAsio, 1)];
    wild.routeOut = 1;
    wild.targetKind = 12;
    wild.targetChannel = 40;
    RouteRecord& input = s.routeTable.records[RouteRecordIndex(kInput, 2)];
    input.routeOut = 1;
    input.targetKind = kMme;
    input.targetChannel = 16;  // allowed in the record, names no destination
    s.routeTable.records[RouteRecordIndex(kMme, 4)].inputSource = 77;  // not taken from a client
    Status().outputPeak[3] = 50;
    ASSERT_EQ(Engine().ApplySettings(&s), STATUS_SUCCESS);
    const MixerSettings* now = Engine().GetSettings();
    EXPECT_EQ(now->outputMap.entries[2], 2);
    EXPECT_EQ(now->outputMap.entries[5], 5);
    EXPECT_EQ(now->outputMap.entries[6], 7);
    EXPECT_EQ(now->routeTable.records[RouteRecordIndex(kAsio, 1)].targetKind, 0);
    EXPECT_EQ(now->routeTable.records[RouteRecordIndex(kAsio, 1)].targetChannel, 1);
    EXPECT_EQ(now->routeTable.records[RouteRecordIndex(kInput, 2)].targetChannel, 16);
    for (const RouteRecord& r : now->routeTable.records) EXPECT_EQ(r.inputSource, -1);
    // A changed map clears the meters; the block was saved.
    EXPECT_EQ(Status().outputPeak[3], 0);
    const auto stored = rig_->StoredSettingsValue();
    ASSERT_TRUE(stored.has_value());
    ASSERT_EQ(stored->size(), sizeof(MixerSettings));
    EXPECT_EQ(reinterpret_cast<const MixerSettings*>(stored->data())->outputMap.entries[2], 2);
    // Streaming goes on with the odd routes in place.
    tools::PathClients clients(*rig_);
    ASSERT_EQ(clients.StartAsio(tools::TestSignal), STATUS_SUCCESS);
    RunSeconds(0.3);
    EXPECT_TRUE(clients.AsioCheck(0).BitExact());
}

}  // namespace
}  // namespace q407::test
