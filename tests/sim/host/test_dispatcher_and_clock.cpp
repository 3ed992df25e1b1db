// Dispatcher objects, DPCs, threads and the machine clock in virtual and real time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/wdk.h"
#include "sim/host/machine.h"
#include "sim/host/thread_context.h"

using namespace q407::sim;

namespace {

LARGE_INTEGER Relative(ClockTicks ticks) {
    LARGE_INTEGER t;
    t.QuadPart = -ticks;
    return t;
}

HANDLE StartThread(PKSTART_ROUTINE routine, PVOID context) {
    HANDLE h = nullptr;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, &oa, nullptr, nullptr, routine, context),
              STATUS_SUCCESS);
    return h;
}

void JoinThread(HANDLE h) {
    PVOID thread;
    ASSERT_EQ(
        ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

}  // namespace

TEST(DispatcherObjects, TimedWaitsEndAtTheirDueTimeInVirtualTime) {
    Machine m;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER t = Relative(5 * kTicksPerMillisecond);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    EXPECT_EQ(m.Now(), 5 * kTicksPerMillisecond);

    // An absolute time-out is a system time.
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER absolute;
    absolute.QuadPart = now.QuadPart + 3 * kTicksPerMillisecond;
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &absolute),
              STATUS_TIMEOUT);
    EXPECT_EQ(m.Now(), 8 * kTicksPerMillisecond);

    // A zero time-out polls.
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&never, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(m.Now(), 8 * kTicksPerMillisecond);
}

TEST(DispatcherObjects, EventStateCallsReturnThePreviousState) {
    Machine m;
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, TRUE);
    EXPECT_EQ(KeReadStateEvent(&e), 1);
    EXPECT_EQ(KeResetEvent(&e), 1);
    EXPECT_EQ(KeResetEvent(&e), 0);
    EXPECT_EQ(KeSetEvent(&e, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&e, IO_NO_INCREMENT, FALSE), 1);
    KeClearEvent(&e);
    EXPECT_EQ(KeReadStateEvent(&e), 0);
}

namespace {
struct Waiters {
    KEVENT event;
    std::atomic<int> woken{0};
};
void WaitOnce(PVOID context) {
    auto* w = static_cast<Waiters*>(context);
    KeWaitForSingleObject(&w->event, Executive, KernelMode, FALSE, nullptr);
    ++w->woken;
}
}  // namespace

TEST(DispatcherObjects, SynchronizationEventReleasesOneWaiterPerSet) {
    Machine m;
    Waiters w;
    KeInitializeEvent(&w.event, SynchronizationEvent, FALSE);
    HANDLE a = StartThread(WaitOnce, &w);
    HANDLE b = StartThread(WaitOnce, &w);
    m.RunUntilIdle();
    EXPECT_EQ(w.woken, 0);
    KeSetEvent(&w.event, IO_NO_INCREMENT, FALSE);
    m.RunUntilIdle();
    EXPECT_EQ(w.woken, 1);
    EXPECT_EQ(KeReadStateEvent(&w.event), 0);  // consumed by the waiter it released
    KeSetEvent(&w.event, IO_NO_INCREMENT, FALSE);
    JoinThread(a);
    JoinThread(b);
    EXPECT_EQ(w.woken, 2);
    EXPECT_EQ(KeReadStateEvent(&w.event), 0);
}

TEST(DispatcherObjects, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
    Machine m;
    Waiters w;
    KeInitializeEvent(&w.event, NotificationEvent, FALSE);
    HANDLE a = StartThread(WaitOnce, &w);
    HANDLE b = StartThread(WaitOnce, &w);
    m.RunUntilIdle();
    KeSetEvent(&w.event, IO_NO_INCREMENT, FALSE);
    JoinThread(a);
    JoinThread(b);
    EXPECT_EQ(w.woken, 2);
    EXPECT_EQ(KeReadStateEvent(&w.event), 1);
}

TEST(DispatcherObjects, WaitAnyReportsTheSignalledObjectAndWaitAllNeedsAll) {
    Machine m;
    KEVENT a, b;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, TRUE);
    PVOID objects[] = {&a, &b};
    LARGE_INTEGER t = Relative(kTicksPerMillisecond);
    EXPECT_EQ(
        KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &t, nullptr),
        STATUS_WAIT_0 + 1);
    EXPECT_EQ(
        KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &t, nullptr),
        STATUS_TIMEOUT);
    KeSetEvent(&a, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(
        KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &t, nullptr),
        STATUS_TIMEOUT);
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(
        KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &t, nullptr),
        STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
    EXPECT_EQ(KeReadStateEvent(&a), 1);
}

namespace {
struct TimerProbe {
    KTIMER timer;
    KDPC dpc;
    std::vector<ClockTicks> runs;
    std::vector<KIRQL> irqls;
    bool onDispatcher = true;
};
void RecordDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* p = static_cast<TimerProbe*>(context);
    p->runs.push_back(MachineClock::Instance().Now());
    p->irqls.push_back(KeGetCurrentIrql());
    p->onDispatcher = p->onDispatcher && MachineClock::Instance().OnDispatcherThread();
}
}  // namespace

TEST(Timers, OneShotTimerSignalsAndRunsItsDpcAtDispatchLevel) {
    Machine m;
    TimerProbe p;
    KeInitializeTimer(&p.timer);
    KeInitializeDpc(&p.dpc, RecordDpc, &p);
    EXPECT_FALSE(KeSetTimer(&p.timer, Relative(2 * kTicksPerMillisecond), &p.dpc));
    EXPECT_FALSE(KeReadStateTimer(&p.timer));
    EXPECT_EQ(KeWaitForSingleObject(&p.timer, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    m.RunUntilIdle();
    ASSERT_EQ(p.runs.size(), 1u);
    EXPECT_EQ(p.runs[0], 2 * kTicksPerMillisecond);
    EXPECT_EQ(p.irqls[0], DISPATCH_LEVEL);
    EXPECT_TRUE(p.onDispatcher);
    EXPECT_TRUE(KeReadStateTimer(&p.timer));
    EXPECT_FALSE(KeCancelTimer(&p.timer));  // already expired
}

TEST(Timers, ResettingASetTimerReArmsItAndCancelStopsIt) {
    Machine m;
    TimerProbe p;
    KeInitializeTimer(&p.timer);
    KeInitializeDpc(&p.dpc, RecordDpc, &p);
    KeSetTimer(&p.timer, Relative(1 * kTicksPerMillisecond), &p.dpc);
    EXPECT_TRUE(KeSetTimer(&p.timer, Relative(4 * kTicksPerMillisecond), &p.dpc));
    m.RunUntilIdle();
    ASSERT_EQ(p.runs.size(), 1u);
    EXPECT_EQ(p.runs[0], 4 * kTicksPerMillisecond);

    KeSetTimer(&p.timer, Relative(1 * kTicksPerMillisecond), &p.dpc);
    EXPECT_TRUE(KeCancelTimer(&p.timer));
    EXPECT_FALSE(KeCancelTimer(&p.timer));
    m.RunUntilIdle();
    EXPECT_EQ(p.runs.size(), 1u);
}

TEST(Timers, PeriodicTimerRunsEveryPeriodOverAVirtualMinute) {
    Machine m;
    TimerProbe p;
    KeInitializeTimerEx(&p.timer, SynchronizationTimer);
    KeInitializeDpc(&p.dpc, RecordDpc, &p);
    KeSetTimerEx(&p.timer, Relative(kTicksPerMillisecond), 1, &p.dpc);
    m.RunFor(60 * kTicksPerSecond);
    KeCancelTimer(&p.timer);
    EXPECT_EQ(m.Now(), 60 * kTicksPerSecond);
    ASSERT_EQ(p.runs.size(), 60'000u);
    for (size_t i = 0; i < p.runs.size(); ++i)
        ASSERT_EQ(p.runs[i], ClockTicks(i + 1) * kTicksPerMillisecond);
    // A synchronization timer satisfies one wait and resets.
    EXPECT_TRUE(KeReadStateTimer(&p.timer));
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&p.timer, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&p.timer, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST(Dpcs, QueuedDpcRunsOnceAndCanBeRemovedBeforeItRuns) {
    Machine m;
    TimerProbe p;
    KeInitializeDpc(&p.dpc, RecordDpc, &p);
    {
        KIRQL old = KeRaiseIrqlToDpcLevel();  // as in an interrupt path: the DPC cannot run yet
        EXPECT_TRUE(KeInsertQueueDpc(&p.dpc, nullptr, nullptr));
        EXPECT_FALSE(KeInsertQueueDpc(&p.dpc, nullptr, nullptr));
        EXPECT_TRUE(KeRemoveQueueDpc(&p.dpc));
        EXPECT_FALSE(KeRemoveQueueDpc(&p.dpc));
        EXPECT_TRUE(KeInsertQueueDpc(&p.dpc, reinterpret_cast<PVOID>(7), nullptr));
        KeLowerIrql(old);
    }
    m.RunUntilIdle();
    EXPECT_EQ(p.runs.size(), 1u);
    EXPECT_EQ(p.dpc.SystemArgument1, reinterpret_cast<PVOID>(7));
}

TEST(Clock, StallAdvancesVirtualTimeByTheDelayAtAnyIrql) {
    Machine m;
    KeStallExecutionProcessor(100);
    EXPECT_EQ(m.Now(), 100 * kTicksPerMicrosecond);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeStallExecutionProcessor(50);
    KeLowerIrql(old);
    EXPECT_EQ(m.Now(), 150 * kTicksPerMicrosecond);
    LARGE_INTEGER delay = Relative(10 * kTicksPerMillisecond);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(),
              ULONGLONG(150 * kTicksPerMicrosecond + 10 * kTicksPerMillisecond));
    LARGE_INTEGER frequency;
    EXPECT_EQ(KeQueryPerformanceCounter(&frequency).QuadPart, m.Now());
    EXPECT_EQ(frequency.QuadPart, kTicksPerSecond);
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    EXPECT_EQ(system.QuadPart, kSystemTimeAtBoot + m.Now());
}

TEST(Clock, ScheduledEventsRunInDueOrderAndCanBeCancelledFromInsideAnEvent) {
    Machine m;
    MachineClock& clock = m.Clock();
    std::vector<std::string> order;
    MachineClock::EventId late = 0;
    clock.Schedule(30, [&] { order.push_back("c"); });
    clock.Schedule(10, [&] {
        order.push_back("a");
        EXPECT_TRUE(clock.Cancel(late));
        clock.Schedule(clock.Now() + 5, [&] { order.push_back("a+5"); });
    });
    clock.Schedule(10, [&] { order.push_back("b"); });  // same due: scheduling order
    late = clock.Schedule(40, [&] { order.push_back("never"); });
    m.RunUntilIdle();
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "a+5", "c"}));
    EXPECT_FALSE(clock.Cancel(late));
    EXPECT_EQ(m.Now(), 30);
}

namespace {
struct Scenario {
    KTIMER timers[3];
    KDPC dpcs[3];
    KEVENT wake;
    volatile LONG count = 0;  // DPCs due at the same instant run on both processors
};
void ScenarioDpc(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto* s = static_cast<Scenario*>(context);
    const int index = static_cast<int>(dpc - s->dpcs);
    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_ERROR_LEVEL, "timer %d at %llu\n", index,
               static_cast<unsigned long long>(KeQueryInterruptTime()));
    if (InterlockedIncrement(&s->count) % 7 == 0) KeSetEvent(&s->wake, IO_NO_INCREMENT, FALSE);
}
void ScenarioThread(PVOID context) {
    auto* s = static_cast<Scenario*>(context);
    for (int i = 0; i < 20; ++i) {
        KeWaitForSingleObject(&s->wake, Executive, KernelMode, FALSE, nullptr);
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_ERROR_LEVEL, "thread woke %d\n", i);
        LARGE_INTEGER d = Relative(333 * kTicksPerMicrosecond);
        KeDelayExecutionThread(KernelMode, FALSE, &d);
    }
}
std::vector<std::pair<ClockTicks, std::string>> RunScenario() {
    Machine m;
    Scenario s;
    KeInitializeEvent(&s.wake, SynchronizationEvent, FALSE);
    const LONG periods[] = {3, 5, 7};
    for (int i = 0; i < 3; ++i) {
        KeInitializeTimer(&s.timers[i]);
        KeInitializeDpc(&s.dpcs[i], ScenarioDpc, &s);
        KeSetTimerEx(&s.timers[i], Relative(periods[i] * kTicksPerMillisecond), periods[i],
                     &s.dpcs[i]);
    }
    HANDLE h = StartThread(ScenarioThread, &s);
    JoinThread(h);
    for (auto& t : s.timers) KeCancelTimer(&t);
    m.RunUntilIdle();
    std::vector<std::pair<ClockTicks, std::string>> trace;
    for (auto& e : m.Trace().Entries()) trace.emplace_back(e.time, e.text);
    return trace;
}
}  // namespace

TEST(Clock, TwoIdenticalVirtualRunsGiveIdenticalTraces) {
    const auto first = RunScenario();
    const auto second = RunScenario();
    ASSERT_GT(first.size(), 60u);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.front().second, "timer 0 at 30000\n");
}

namespace {
// Two DPCs due together: each waits (a bounded time) for the other to start, and the one on the
// first processor prints only after the other has printed.
struct Pair {
    KDPC dpcs[2];
    std::atomic<int> started{0};
    std::atomic<bool> secondPrinted{false};
    int processor[2] = {-1, -1};
    bool overlapped[2] = {false, false};
};
void PairDpc(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto* p = static_cast<Pair*>(context);
    const int i = static_cast<int>(dpc - p->dpcs);
    p->processor[i] = CurrentThreadContext().processor;
    p->started.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (p->started.load() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    p->overlapped[i] = p->started.load() == 2;
    if (p->processor[i] == 1) {
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_ERROR_LEVEL, "second processor\n");
        p->secondPrinted = true;
    } else {
        while (!p->secondPrinted.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_ERROR_LEVEL, "first processor\n");
    }
}
}  // namespace

TEST(Processors, DpcsDueTogetherRunSideBySideAndLogInProcessorOrder) {
    Machine m;
    Pair p;
    for (auto& d : p.dpcs) KeInitializeDpc(&d, PairDpc, &p);
    KeInsertQueueDpc(&p.dpcs[0], nullptr, nullptr);
    KeInsertQueueDpc(&p.dpcs[1], nullptr, nullptr);
    m.RunUntilIdle();
    EXPECT_EQ(p.processor[0], 0);  // queue order decides the processor
    EXPECT_EQ(p.processor[1], 1);
    EXPECT_TRUE(p.overlapped[0]);
    EXPECT_TRUE(p.overlapped[1]);
    // The second processor printed first; the log still reads in processor order.
    EXPECT_EQ(m.Trace().Texts(),
              (std::vector<std::string>{"first processor\n", "second processor\n"}));
}

namespace {
struct StallPair {
    KDPC dpcs[2];
    std::atomic<bool> stalled{false};
    ClockTicks seen[2] = {-1, -1};
};
void StallOrLook(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto* p = static_cast<StallPair*>(context);
    const int i = static_cast<int>(dpc - p->dpcs);
    if (i == 0) {
        KeStallExecutionProcessor(100);
        p->seen[0] = static_cast<ClockTicks>(KeQueryInterruptTime());
        p->stalled = true;
    } else {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!p->stalled.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        p->seen[1] = static_cast<ClockTicks>(KeQueryInterruptTime());
    }
}
}  // namespace

// A busy-wait on one processor is that processor's own time; the machine's clock moves on by it
// once the round ends.
TEST(Processors, AStallOnOneProcessorLeavesTheOthersTimeAlone) {
    Machine m;
    StallPair p;
    for (auto& d : p.dpcs) KeInitializeDpc(&d, StallOrLook, &p);
    KeInsertQueueDpc(&p.dpcs[0], nullptr, nullptr);
    KeInsertQueueDpc(&p.dpcs[1], nullptr, nullptr);
    m.RunUntilIdle();
    EXPECT_EQ(p.seen[0], 100 * kTicksPerMicrosecond);
    EXPECT_EQ(p.seen[1], 0);
    EXPECT_EQ(m.Now(), 100 * kTicksPerMicrosecond);
}

TEST(Clock, RealTimeTimersFireWhenTheWallClockReachesThem) {
    Machine m(ClockMode::Real);
    TimerProbe p;
    KeInitializeTimer(&p.timer);
    KeInitializeDpc(&p.dpc, RecordDpc, &p);
    KeSetTimer(&p.timer, Relative(20 * kTicksPerMillisecond), &p.dpc);
    EXPECT_EQ(KeWaitForSingleObject(&p.timer, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    m.RunUntilIdle();
    ASSERT_EQ(p.runs.size(), 1u);
    EXPECT_GE(p.runs[0], 20 * kTicksPerMillisecond);
    EXPECT_GE(m.Now(), 20 * kTicksPerMillisecond);
}

namespace {
struct Counter {
    KSPIN_LOCK lock;
    long value = 0;
    bool irqlRaised = true;
};
void CountUnderLock(PVOID context) {
    auto* c = static_cast<Counter*>(context);
    for (int i = 0; i < 20000; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&c->lock, &old);
        if (KeGetCurrentIrql() != DISPATCH_LEVEL) c->irqlRaised = false;
        const long v = c->value;
        c->value = v + 1;
        KeReleaseSpinLock(&c->lock, old);
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) c->irqlRaised = false;
}
struct ExitProbe {
    KEVENT started;
};
void EndsItself(PVOID context) {
    KeSetEvent(&static_cast<ExitProbe*>(context)->started, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
}  // namespace

TEST(Threads, SpinLocksExcludeEachOtherAcrossSystemThreads) {
    Machine m;
    Counter c;
    KeInitializeSpinLock(&c.lock);
    HANDLE a = StartThread(CountUnderLock, &c);
    HANDLE b = StartThread(CountUnderLock, &c);
    JoinThread(a);
    JoinThread(b);
    EXPECT_EQ(c.value, 40000);
    EXPECT_TRUE(c.irqlRaised);
    EXPECT_EQ(c.lock, 0u);
}

TEST(Threads, ThreadObjectIsSignalledWhenTheThreadTerminatesItself) {
    Machine m;
    ExitProbe p;
    KeInitializeEvent(&p.started, NotificationEvent, FALSE);
    HANDLE h = StartThread(EndsItself, &p);
    JoinThread(h);
    EXPECT_EQ(KeReadStateEvent(&p.started), 1);
    PVOID object;
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, nullptr, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);  // closed by JoinThread
}

TEST(Threads, ObjectTypeIsCheckedWhenReferencingAHandle) {
    Machine m;
    ExitProbe p;
    KeInitializeEvent(&p.started, NotificationEvent, FALSE);
    HANDLE h = StartThread(EndsItself, &p);
    PVOID object = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(object, nullptr);
    // A client may not name a kernel handle.
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, nullptr, UserMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    JoinThread(h);
}

TEST(TraceLog, KeepsComponentLevelAndExactTextAndCanBeCleared) {
    Machine m;
    std::vector<std::string> seen;
    const int sink = m.Trace().AddSink([&](const TraceEntry& e) { seen.push_back(e.text); });
    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_ERROR_LEVEL, "DRV DriverUnload >>>>>>\n");
    DbgPrint("value %d\n", 42);
    OutputDebugStringA("SendFlexPathToDriver\n");
    m.Trace().RemoveSink(sink);
    const auto entries = m.Trace().Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].component, ULONG(DPFLTR_IHVAUDIO_ID));
    EXPECT_EQ(entries[0].level, ULONG(DPFLTR_ERROR_LEVEL));
    EXPECT_EQ(entries[0].text, "DRV DriverUnload >>>>>>\n");
    EXPECT_EQ(entries[1].text, "value 42\n");
    EXPECT_EQ(entries[2].source, TraceSource::User);
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_TRUE(m.Trace().Contains("SendFlexPathToDriver\n"));
    m.Trace().Clear();
    EXPECT_TRUE(m.Trace().Entries().empty());
}
