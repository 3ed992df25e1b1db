// Virtual time on the two-processor machine: the same session run twice gives the same recording,
// the same counters and the same trace, to the tick, although playback and capture completions
// run side by side.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine_fixture.h"
#include "tools/path_clients.h"

namespace q407::test {
namespace {

struct Session {
    std::vector<int32_t> recorded;
    std::vector<ULONG64> counters;
    std::vector<std::pair<sim::ClockTicks, std::string>> trace;
    uint64_t asioPeriods = 0;
    sim::ClockTicks firstOutput = 0;
    sim::ClockTicks firstInput = 0;
};

Session RunSession() {
    Session s;
    tools::EngineRig rig;
    MixerSettings stored = DefaultMixerSettings();
    stored.sampleRate = 48000;
    stored.latency = 32;
    stored.usbBufferCount = 5;
    rig.StoreSettingsValue(&stored, sizeof(stored));
    sim::TraceLog::Instance().Clear();
    EXPECT_EQ(rig.Start(), STATUS_SUCCESS);
    rig.Device().LoopbackAllInputs();
    {
        tools::PathClients clients(rig);
        clients.RecordAsioInput(3, 48000);
        EXPECT_EQ(clients.StartAsio(tools::TestSignal), STATUS_SUCCESS);
        rig.RunForSeconds(0.5);
        clients.StopAsio();
        s.recorded = clients.RecordedAsioInput(3);
        s.asioPeriods = clients.AsioPeriods();
        s.firstOutput = clients.FirstOutputPeriodTick();
        s.firstInput = clients.FirstInputPeriodTick();
    }
    const EngineCounters& c = rig.Engine().m_Counters;
    s.counters = {c.playbackCompletions,   c.captureCompletions,  c.midiInCompletions,
                  c.captureUnitsConverted, c.captureUnitsDropped, c.inputPeriods,
                  c.outputPeriods,         c.midiOutBytes,        c.commandBytes,
                  c.midiInBytes,           c.retiredTransfers};
    rig.Release();
    for (auto& e : sim::TraceLog::Instance().Entries()) s.trace.emplace_back(e.time, e.text);
    EXPECT_EQ(sim::Pool::LeakReport({kTagShared, kTagPipes, kTagEngine}), "");
    return s;
}

TEST(VirtualTime, TwoRunsOfOneSessionAreIdentical) {
    const Session first = RunSession();
    const Session second = RunSession();
    ASSERT_GT(first.recorded.size(), 10000u);
    ASSERT_GT(first.counters[0], 100u);  // playback completions
    ASSERT_GT(first.counters[1], 100u);  // capture completions
    EXPECT_EQ(first.recorded, second.recorded);
    EXPECT_EQ(first.counters, second.counters);
    EXPECT_EQ(first.asioPeriods, second.asioPeriods);
    EXPECT_EQ(first.firstOutput, second.firstOutput);
    EXPECT_EQ(first.firstInput, second.firstInput);
    EXPECT_EQ(first.trace, second.trace);
}

}  // namespace
}  // namespace q407::test
