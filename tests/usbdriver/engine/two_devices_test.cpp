// Two devices on one machine, each driven by a control thread of its own, and two control threads
// on one device: stops, restarts and releases that overlap must each see their own device stopped
// before anything is reconfigured or freed.
#include <gtest/gtest.h>

#include <memory>

#include "sim/host/pool.h"
#include "tools/engine_rig.h"

namespace q407::test {
namespace {

constexpr ULONG kTagPipes = POOL_TAG("Zel5");
constexpr ULONG kTagEngine = POOL_TAG("Zel6");
constexpr ULONG kTagShared = POOL_TAG("Zel2");

HANDLE StartSystemThread(PKSTART_ROUTINE routine, PVOID context) {
    HANDLE h = nullptr;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, &oa, nullptr, nullptr, routine, context),
              STATUS_SUCCESS);
    return h;
}

void JoinThread(HANDLE h) {
    PVOID thread = nullptr;
    ASSERT_EQ(
        ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

// The phases every control thread goes through; each starts for all threads at one moment.
enum Phase { kStop, kRestart, kRelease, kPhaseCount };

struct Gate {
    KEVENT go[kPhaseCount];
};

struct ControlThread {
    tools::EngineRig* rig;
    Gate* gate;
    KEVENT done[kPhaseCount];
    NTSTATUS result[kPhaseCount];
    bool stopOnly;  // leaves after the stop phase
};

void WaitFor(KEVENT* event) {
    (void)KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
}

void RunControlThread(PVOID context) {
    auto* c = static_cast<ControlThread*>(context);
    StreamEngine& engine = c->rig->Engine();
    WaitFor(&c->gate->go[kStop]);
    c->result[kStop] = engine.UsbStopStreaming();
    KeSetEvent(&c->done[kStop], IO_NO_INCREMENT, FALSE);
    if (c->stopOnly) return;

    WaitFor(&c->gate->go[kRestart]);
    c->result[kRestart] = engine.SetLatency(128);
    KeSetEvent(&c->done[kRestart], IO_NO_INCREMENT, FALSE);

    WaitFor(&c->gate->go[kRelease]);
    c->result[kRelease] = c->rig->Release();
    KeSetEvent(&c->done[kRelease], IO_NO_INCREMENT, FALSE);
}

class OverlappingControl {
  public:
    void Add(tools::EngineRig* rig, bool stopOnly) {
        auto c = std::make_unique<ControlThread>();
        c->rig = rig;
        c->gate = &gate_;
        c->stopOnly = stopOnly;
        for (int p = 0; p < kPhaseCount; ++p) {
            KeInitializeEvent(&c->done[p], NotificationEvent, FALSE);
            c->result[p] = STATUS_PENDING;
        }
        threads_[count_++] = std::move(c);
    }
    OverlappingControl() {
        for (KEVENT& e : gate_.go) KeInitializeEvent(&e, NotificationEvent, FALSE);
    }
    void StartThreads() {
        for (int i = 0; i < count_; ++i)
            handles_[i] = StartSystemThread(RunControlThread, threads_[i].get());
    }
    // Lets every thread into the phase at once and waits until all have left it.
    void RunPhase(Phase phase) {
        KeSetEvent(&gate_.go[phase], IO_NO_INCREMENT, FALSE);
        for (int i = 0; i < count_; ++i) WaitFor(&threads_[i]->done[phase]);
    }
    void Join() {
        for (int i = 0; i < count_; ++i) JoinThread(handles_[i]);
    }
    NTSTATUS Result(int thread, Phase phase) const { return threads_[thread]->result[phase]; }

  private:
    Gate gate_{};
    std::unique_ptr<ControlThread> threads_[4];
    HANDLE handles_[4] = {};
    int count_ = 0;
};

uint64_t PlaybackCompletions(tools::EngineRig& rig) {
    return rig.Engine().m_Counters.playbackCompletions;
}

TEST(TwoDevicesTest, StopRestartAndReleaseTwoDevicesAtTheSameMoment) {
    tools::EngineRig first;
    tools::EngineRig second(first, 2);
    ASSERT_EQ(first.Start(), STATUS_SUCCESS);
    ASSERT_EQ(second.Start(), STATUS_SUCCESS);
    first.RunFor(50 * sim::kTicksPerMillisecond);
    ASSERT_GT(PlaybackCompletions(first), 0u);
    ASSERT_GT(PlaybackCompletions(second), 0u);

    OverlappingControl control;
    control.Add(&first, false);
    control.Add(&second, false);
    control.StartThreads();

    control.RunPhase(kStop);
    EXPECT_EQ(control.Result(0, kStop), STATUS_SUCCESS);
    EXPECT_EQ(control.Result(1, kStop), STATUS_SUCCESS);
    EXPECT_FALSE(first.Engine().IsStreaming());
    EXPECT_FALSE(second.Engine().IsStreaming());
    EXPECT_EQ(sim::Pool::Usage(kTagPipes).allocations, 0u);

    control.RunPhase(kRestart);
    EXPECT_EQ(control.Result(0, kRestart), STATUS_SUCCESS);
    EXPECT_EQ(control.Result(1, kRestart), STATUS_SUCCESS);
    const uint64_t firstBefore = PlaybackCompletions(first);
    const uint64_t secondBefore = PlaybackCompletions(second);
    first.RunFor(50 * sim::kTicksPerMillisecond);
    EXPECT_GT(PlaybackCompletions(first), firstBefore);
    EXPECT_GT(PlaybackCompletions(second), secondBefore);

    control.RunPhase(kRelease);
    EXPECT_EQ(control.Result(0, kRelease), STATUS_SUCCESS);
    EXPECT_EQ(control.Result(1, kRelease), STATUS_SUCCESS);
    control.Join();
    EXPECT_FALSE(first.Started());
    EXPECT_FALSE(second.Started());
    EXPECT_EQ(first.Device().Counters().failedTransfers, 0u);
    EXPECT_EQ(sim::Pool::LeakReport({kTagShared, kTagPipes, kTagEngine}), "");
}

TEST(TwoDevicesTest, TwoStopsOfOneDeviceRunOneAfterTheOther) {
    tools::EngineRig rig;
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    rig.RunFor(50 * sim::kTicksPerMillisecond);

    // Two control threads stop the same device at once: neither may return before the pipes
    // are down.
    OverlappingControl control;
    control.Add(&rig, true);
    control.Add(&rig, true);
    control.StartThreads();
    control.RunPhase(kStop);
    control.Join();
    EXPECT_EQ(control.Result(0, kStop), STATUS_SUCCESS);
    EXPECT_EQ(control.Result(1, kStop), STATUS_SUCCESS);
    EXPECT_FALSE(rig.Engine().IsStreaming());
    EXPECT_EQ(rig.Engine().m_PlaybackGroup, nullptr);
    EXPECT_EQ(sim::Pool::Usage(kTagPipes).allocations, 0u);

    ASSERT_EQ(rig.Engine().SetLatency(128), STATUS_SUCCESS);
    EXPECT_TRUE(rig.Engine().IsStreaming());
    rig.RunFor(20 * sim::kTicksPerMillisecond);
    EXPECT_EQ(rig.Release(), STATUS_SUCCESS);
    EXPECT_EQ(sim::Pool::LeakReport({kTagShared, kTagPipes, kTagEngine}), "");
}

}  // namespace
}  // namespace q407::test
