// The facade's notification tables, removal notice, settings-apply thread, creation failures, and
// its destruction while control messages are still running.
#include <atomic>

#include "control_fixture.h"
#include "sim/host/trace_log.h"

namespace q407::testing {
namespace {

struct Calls {
    std::atomic<int> input2{0}, input6{0}, output0{0}, output6{0}, other{0};
    std::atomic<int> midiData{0}, midiRemoval{0};
};

void StreamCallback(LONG direction, LONG code, PVOID context) {
    auto* calls = static_cast<Calls*>(context);
    if (direction == 1 && code == 2)
        ++calls->input2;
    else if (direction == 1 && code == 6)
        ++calls->input6;
    else if (direction == 0 && code == 0)
        ++calls->output0;
    else if (direction == 0 && code == 6)
        ++calls->output6;
    else
        ++calls->other;
}

void MidiCallback(LONG direction, LONG code, PVOID context, LONG argument) {
    auto* calls = static_cast<Calls*>(context);
    if (direction != 1 || code != 0) ++calls->other;
    ++(argument == 0 ? calls->midiData : calls->midiRemoval);
}

class DeviceFacadeTest : public ControlFixture {};

TEST_F(DeviceFacadeTest, NotificationTablesCallOnlyActiveEntriesOfTheNotifiedStreams) {
    Calls calls;
    Calls unused;
    DeviceFacade* f = Facade();
    ASSERT_EQ(RegisterStreamNotification(f, 1, 0, 2, StreamCallback, &calls), STATUS_SUCCESS);
    ASSERT_EQ(RegisterStreamNotification(f, 1, 8, 6, StreamCallback, &calls), STATUS_SUCCESS);
    ASSERT_EQ(RegisterStreamNotification(f, 0, 3, 0, StreamCallback, &calls), STATUS_SUCCESS);
    ASSERT_EQ(RegisterStreamNotification(f, 0, 3, 6, StreamCallback, &calls), STATUS_SUCCESS);
    // A null context is inactive; stream 9 and code 3 are never notified.
    ASSERT_EQ(RegisterStreamNotification(f, 1, 1, 2, StreamCallback, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(RegisterStreamNotification(f, 1, 9, 2, StreamCallback, &unused), STATUS_SUCCESS);
    ASSERT_EQ(RegisterStreamNotification(f, 1, 0, 3, StreamCallback, &unused), STATUS_SUCCESS);
    EXPECT_EQ(RegisterStreamNotification(f, 2, 0, 0, StreamCallback, &unused),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RegisterStreamNotification(f, 0, 16, 0, StreamCallback, &unused),
              STATUS_INVALID_PARAMETER);

    const uint64_t inputBefore = Engine().m_Counters.inputPeriods;
    rig_.RunForSeconds(0.1);
    const uint64_t inputPeriods = Engine().m_Counters.inputPeriods - inputBefore;
    ASSERT_GT(inputPeriods, 5u);
    for (LONG d = 0; d < 2; ++d)
        for (LONG s = 0; s < kNotifyStreamCount; ++s)
            for (LONG c = 0; c < kNotifyCodeCount; ++c)
                RegisterStreamNotification(f, d, s, c, nullptr, nullptr);
    EXPECT_NEAR(calls.input2.load(), static_cast<int>(inputPeriods), 1);
    EXPECT_EQ(calls.input2.load(), calls.input6.load());
    EXPECT_GT(calls.output0.load(), 5);
    EXPECT_EQ(calls.output0.load(), calls.output6.load());
    EXPECT_EQ(calls.other.load(), 0);
    EXPECT_EQ(unused.input2 + unused.input6 + unused.output0 + unused.output6 + unused.other, 0);
}

TEST_F(DeviceFacadeTest, MidiNoticesReachEntryZeroOnlyAndRemovalIsAnnounced) {
    Calls calls;
    NotifyMidiIn(Facade());  // no WDM driver attached: skipped
    EXPECT_EQ(SignalAsioPeriod(Facade()), 0);
    ASSERT_EQ(RegisterMidiInNotification(Facade(), 0, MidiCallback, &calls), STATUS_SUCCESS);
    EXPECT_EQ(RegisterMidiInNotification(Facade(), 16, MidiCallback, &calls),
              STATUS_INVALID_PARAMETER);
    NotifyMidiIn(Facade());
    EXPECT_EQ(calls.midiData.load(), 1);
    rig_.Stop();
    EXPECT_EQ(calls.midiRemoval.load(), 1);
    EXPECT_EQ(calls.other.load(), 0);
}

TEST_F(DeviceFacadeTest, SettingsApplyEntersThePlaybackMuteIntoACopyOfTheCurrentBlock) {
    MixerSettings block = DefaultMixerSettings();
    EnterTopologyControl(&block, 2, 1, 5);
    EXPECT_EQ(block.routeTable.records[RouteRecordIndex(ClientKind::MME, 0)].kindMute, 1);
    EnterTopologyControl(&block, 4, 1, 1);  // subdevices 4..8 have no mute property
    EnterTopologyControl(&block, 0, 3, 0);  // the recording mute has no field
    EXPECT_EQ(block.routeTable.records[RouteRecordIndex(ClientKind::MME, 0)].kindMute, 1);
    EnterTopologyControl(&block, 3, 1, 0);
    EXPECT_EQ(block.routeTable.records[RouteRecordIndex(ClientKind::MME, 0)].kindMute, 0);

    StartSettingsApply(Facade(), 1, 1, 1, 1);
    for (int i = 0; i < 100 && InterlockedCompareExchange(&Engine().m_SettingsThreadBusy, 0, 0);
         ++i)
        rig_.RunForSeconds(0.001);
    EXPECT_EQ(Engine().m_SettingsThreadBusy, 0);
    EXPECT_EQ(Engine().GetSettings()->routeTable.records[0].kindMute, 1);
    EXPECT_EQ(Engine().GetSettings()->latency, 256);

    // While a thread runs, a request is ignored: the pending block is not touched.
    Engine().m_SettingsThreadBusy = 1;
    StartSettingsApply(Facade(), 1, 1, 0, 0);
    EXPECT_EQ(Engine().m_PendingSettings.routeTable.records[0].kindMute, 1);
    Engine().m_SettingsThreadBusy = 0;
}

TEST_F(DeviceFacadeTest, FailedThreadCreationIsTracedAndALaterRequestStartsAgain) {
    sim::Pool::FailTag(POOL_TAG("Thre"));
    StartSettingsApply(Facade(), 0, 1, 1, 1);
    sim::Pool::ClearFailures();
    EXPECT_TRUE(sim::TraceLog::Instance().Contains("MyThreadStart ERROR PsCreateSystemThread \n"));
    EXPECT_EQ(Engine().m_SettingsThreadBusy, 0);
    EXPECT_EQ(Engine().GetSettings()->routeTable.records[0].kindMute, 0);
    StartSettingsApply(Facade(), 0, 1, 1, 1);
    // Stopping waits for the thread before the engine goes.
    rig_.Stop();
}

TEST_F(DeviceFacadeTest, StartFailsCleanlyWhenAnAllocationFails) {
    rig_.Stop();
    for (ULONG tag : {POOL_TAG("Zel9"), POOL_TAG("Zel6"), POOL_TAG("None")}) {
        sim::Pool::FailTag(tag);
        EXPECT_EQ(rig_.Start(), STATUS_INSUFFICIENT_RESOURCES);
        sim::Pool::ClearFailures();
        EXPECT_FALSE(rig_.Started());
        EXPECT_EQ(sim::Pool::LeakReport({POOL_TAG("Zel9"), POOL_TAG("Zel6"), POOL_TAG("None")}),
                  "");
    }
    EXPECT_EQ(rig_.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(rig_.Started());
}

// A client keeps sending requests that wait for the device while the device stops: the facade
// goes only after the running request is done, and the later ones are refused.
TEST_F(DeviceFacadeTest, StopWaitsForControlMessagesStillRunning) {
    sim::Process client("client");
    HANDLE device = Open(client);
    std::atomic<int> served{0};
    std::atomic<NTSTATUS> last{STATUS_SUCCESS};
    HANDLE never = client.CreateEvent(true, false);
    client.StartThread([&] {
        for (;;) {
            // A pause in virtual time lets the machine's clock move between requests.
            client.WaitForAny({never}, 1);
            ControlMessage m = MakeControlMessage(DeviceServicesType::ReadDeviceStatus);
            const Reply reply = ControlFixture::Send(client, device, &m);
            last = reply.status;
            if (reply.status != STATUS_SUCCESS) break;
            ++served;
        }
    });
    for (int i = 0; i < 100 && served < 3; ++i) rig_.RunForSeconds(0.001);
    ASSERT_GE(served.load(), 3);
    rig_.Stop();
    client.End();
    EXPECT_EQ(last.load(), STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
}  // namespace q407::testing
