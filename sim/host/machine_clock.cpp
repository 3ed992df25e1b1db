#include "sim/host/machine_clock.h"

#include <algorithm>
#include <cassert>

#include "platform/kernel/io_manager.h"
#include "sim/host/machine_core.h"
#include "sim/host/paged_pool.h"
#include "sim/host/thread_context.h"
#include "sim/host/trace_log.h"
#include "sim/host/verifier.h"

namespace q407::sim {

ThreadContext& CurrentThreadContext() {
    thread_local ThreadContext context;
    return context;
}

namespace detail {

MachineCore& MachineCore::Get() {
    // Never destroyed: the dispatcher thread and emulated threads may still run during exit.
    static MachineCore* core = new MachineCore();
    return *core;
}

MachineCore::MachineCore() {
    realBase_ = std::chrono::steady_clock::now().time_since_epoch().count();
    processors_[0] = std::thread([this] { DispatcherLoop(); });
    processors_[1] = std::thread([this] { SecondProcessorLoop(); });
    for (auto& t : processors_) t.detach();
}

ClockTicks MachineCore::NowLocked() const {
    return Now();
}

ClockTicks MachineCore::Now() const {
    // A processor that busy-waited in the current round sees its own time run ahead.
    if (mode_ == ClockMode::Virtual)
        return virtualNow_.load(std::memory_order_acquire) + CurrentThreadContext().stalled;
    const auto elapsed = std::chrono::steady_clock::now().time_since_epoch() -
                         std::chrono::steady_clock::duration(realBase_.load());
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

std::chrono::steady_clock::time_point MachineCore::RealTimeOf(ClockTicks t) const {
    return std::chrono::steady_clock::time_point(
               std::chrono::steady_clock::duration(realBase_.load())) +
           std::chrono::nanoseconds(t * 100);
}

bool MachineCore::OnDispatcherThread() const {
    return CurrentThreadContext().isDispatcher;
}

MachineClock::EventId MachineCore::ScheduleLocked(ClockTicks due, ScheduledEntry entry) {
    const ThreadContext& ctx = CurrentThreadContext();
    MachineClock::EventId id;
    if (inRound_ && ctx.isDispatcher) {
        MachineClock::EventId& count = roundCount_[ctx.processor];
        if (count == kRoundSpan) BugCheck("Machine clock", "too much work scheduled in one round");
        id = roundBase_ + MachineClock::EventId(ctx.processor) * kRoundSpan + count++;
    } else {
        id = nextId_++;
    }
    const Key key{due, entry.kind == ScheduledEntry::Kind::WaitTimeout ? 1 : 0, id};
    queue_.emplace(key, std::move(entry));
    keyOf_.emplace(id, key);
    dispatcherCv_.notify_one();
    return id;
}

bool MachineCore::CancelLocked(MachineClock::EventId id) {
    auto it = keyOf_.find(id);
    if (it == keyOf_.end()) return false;
    queue_.erase(it->second);
    keyOf_.erase(it);
    return true;
}

void MachineCore::AdvanceLocked(ClockTicks delta) {
    if (mode_ != ClockMode::Virtual || delta <= 0) return;
    ThreadContext& ctx = CurrentThreadContext();
    if (inRound_ && ctx.isDispatcher) {
        // Side by side, a processor's busy-wait is its own: the machine's clock moves on by the
        // longer of the two when the round ends.
        ctx.stalled += delta;
        roundStall_[ctx.processor] = ctx.stalled;
        return;
    }
    virtualNow_.store(virtualNow_.load() + delta, std::memory_order_release);
    dispatcherCv_.notify_one();
}

void MachineCore::LinkLocked(WaitBlock* wb) {
    wb->prev = tail_;
    wb->next = nullptr;
    if (tail_ != nullptr)
        tail_->next = wb;
    else
        head_ = wb;
    tail_ = wb;
}

void MachineCore::UnlinkLocked(WaitBlock* wb) {
    if (wb->prev != nullptr)
        wb->prev->next = wb->next;
    else
        head_ = wb->next;
    if (wb->next != nullptr)
        wb->next->prev = wb->prev;
    else
        tail_ = wb->prev;
    wb->prev = wb->next = nullptr;
}

static bool IsSignalled(const DISPATCHER_HEADER* h) {
    return h->SignalState > 0;
}

static void Consume(DISPATCHER_HEADER* h) {
    if (h->Type == DispatcherObjectSynchronizationEvent ||
        (h->Type == DispatcherObjectTimer && h->Reserved[0] == kSynchronizationTimerMark))
        h->SignalState = 0;
}

bool MachineCore::TrySatisfyLocked(WaitBlock& wb) {
    if (wb.count == 0) return false;
    if (!wb.waitAll) {
        for (ULONG i = 0; i < wb.count; ++i) {
            if (IsSignalled(wb.objects[i])) {
                Consume(wb.objects[i]);
                wb.status = static_cast<NTSTATUS>(STATUS_WAIT_0 + i);
                return true;
            }
        }
        return false;
    }
    for (ULONG i = 0; i < wb.count; ++i)
        if (!IsSignalled(wb.objects[i])) return false;
    for (ULONG i = 0; i < wb.count; ++i) Consume(wb.objects[i]);
    wb.status = STATUS_WAIT_0;
    return true;
}

void MachineCore::CompleteWaitLocked(WaitBlock* wb, NTSTATUS status) {
    wb->done = true;
    wb->status = status;
    if (!wb->idle) UnlinkLocked(wb);
    if (wb->timeoutId != 0) {
        CancelLocked(wb->timeoutId);
        wb->timeoutId = 0;
    }
    if (wb->counted) ++runnable_;
    if (deferWakes_ && CurrentThreadContext().isDispatcher) {
        // Virtual time runs one thing at a time: the woken thread goes on once the round is done.
        wb->deferred = true;
        deferred_.push_back(wb);
        return;
    }
    wb->cv.notify_one();
}

void MachineCore::SignalLocked(DISPATCHER_HEADER* header) {
    for (WaitBlock* wb = head_; wb != nullptr && IsSignalled(header);) {
        WaitBlock* next = wb->next;
        bool involved = false;
        for (ULONG i = 0; i < wb->count; ++i)
            if (wb->objects[i] == header) involved = true;
        if (involved && TrySatisfyLocked(*wb)) CompleteWaitLocked(wb, wb->status);
        wb = next;
    }
}

bool MachineCore::HasWaitersLocked(const DISPATCHER_HEADER* header) const {
    for (WaitBlock* wb = head_; wb != nullptr; wb = wb->next)
        for (ULONG i = 0; i < wb->count; ++i)
            if (wb->objects[i] == header) return true;
    return false;
}

NTSTATUS MachineCore::Wait(ULONG count, DISPATCHER_HEADER* const* objects, bool waitAll,
                           const ClockTicks* due) {
    ThreadContext& ctx = CurrentThreadContext();
    WaitBlock wb;
    wb.count = count;
    wb.objects = objects;
    wb.waitAll = waitAll;
    std::unique_lock lock(mutex);
    if (TrySatisfyLocked(wb)) return wb.status;
    if (due != nullptr && *due <= NowLocked()) return count == 0 ? STATUS_SUCCESS : STATUS_TIMEOUT;
    if (ctx.isDispatcher) BugCheck("KeWaitForSingleObject", "the dispatcher thread cannot block");
    wb.counted = ctx.emulatedDepth > 0;
    LinkLocked(&wb);
    if (due != nullptr) {
        ScheduledEntry e;
        e.kind = ScheduledEntry::Kind::WaitTimeout;
        e.wait = &wb;
        wb.timeoutId = ScheduleLocked(*due, std::move(e));
    }
    if (wb.counted) --runnable_;
    dispatcherCv_.notify_one();
    wb.cv.wait(lock, [&] { return wb.done && !wb.deferred; });
    return wb.status;
}

void MachineCore::WaitUntilIdle() {
    ThreadContext& ctx = CurrentThreadContext();
    if (ctx.isDispatcher) BugCheck("RunUntilIdle", "called on the dispatcher thread");
    WaitBlock wb;
    wb.idle = true;
    std::unique_lock lock(mutex);
    wb.counted = ctx.emulatedDepth > 0;
    idleWaiters_.push_back(&wb);
    if (wb.counted) --runnable_;
    dispatcherCv_.notify_one();
    wb.cv.wait(lock, [&] { return wb.done && !wb.deferred; });
}

BOOLEAN MachineCore::InsertDpcLocked(KDPC* dpc, PVOID arg1, PVOID arg2) {
    if (dpc->DpcData != 0) return FALSE;
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    ScheduledEntry e;
    e.kind = ScheduledEntry::Kind::Dpc;
    e.dpc = dpc;
    dpc->DpcData = ScheduleLocked(NowLocked(), std::move(e));
    return TRUE;
}

void MachineCore::QueueCompletion(void* irp) {
    ScheduledEntry e;
    e.kind = ScheduledEntry::Kind::Completion;
    e.irp = irp;
    std::lock_guard lock(mutex);
    ScheduleLocked(NowLocked(), std::move(e));
}

BOOLEAN MachineCore::SetTimerLocked(KTIMER* timer, ClockTicks due, LONG period, KDPC* dpc) {
    BOOLEAN wasSet = FALSE;
    if (timer->TimerId != 0) {
        wasSet = CancelLocked(timer->TimerId) ? TRUE : FALSE;
        timer->TimerId = 0;
    }
    timer->Header.SignalState = 0;
    timer->DueTime = static_cast<ULONGLONG>(due < 0 ? 0 : due);
    timer->Period = period;
    timer->Dpc = dpc;
    ScheduledEntry e;
    e.kind = ScheduledEntry::Kind::Timer;
    e.timer = timer;
    timer->TimerId = ScheduleLocked(due, std::move(e));
    return wasSet;
}

void MachineCore::FireTimerLocked(KTIMER* timer) {
    timer->TimerId = 0;
    timer->Header.SignalState = 1;
    SignalLocked(&timer->Header);
    if (timer->Period > 0) {
        ClockTicks next = static_cast<ClockTicks>(timer->DueTime) +
                          ClockTicks(timer->Period) * kTicksPerMillisecond;
        if (next <= NowLocked())
            next = NowLocked() + ClockTicks(timer->Period) * kTicksPerMillisecond;
        timer->DueTime = static_cast<ULONGLONG>(next);
        ScheduledEntry e;
        e.kind = ScheduledEntry::Kind::Timer;
        e.timer = timer;
        timer->TimerId = ScheduleLocked(next, std::move(e));
    }
    if (timer->Dpc != nullptr) {
        // As on Windows, the DPC gets the expiry's system time, low and high part.
        const ULONGLONG systemTime = timer->DueTime + kSystemTimeAtBoot;
        InsertDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(ULONG_PTR(systemTime & 0xFFFFFFFF)),
                        reinterpret_cast<PVOID>(ULONG_PTR(systemTime >> 32)));
    }
}

void MachineCore::RunEntryLocked(std::unique_lock<std::mutex>& lock, ScheduledEntry& entry) {
    ThreadContext& ctx = CurrentThreadContext();
    // The processor comes to DISPATCH_LEVEL for this work: paged pool goes out.
    if (entry.kind != ScheduledEntry::Kind::WaitTimeout) PageOutPagedPool();
    switch (entry.kind) {
        case ScheduledEntry::Kind::WaitTimeout:
            entry.wait->timeoutId = 0;
            CompleteWaitLocked(entry.wait,
                               entry.wait->count == 0 ? STATUS_SUCCESS : STATUS_TIMEOUT);
            return;
        case ScheduledEntry::Kind::Timer:
            FireTimerLocked(entry.timer);
            return;
        case ScheduledEntry::Kind::Dpc: {
            KDPC* dpc = entry.dpc;
            PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            PVOID context = dpc->DeferredContext;
            PVOID a1 = dpc->SystemArgument1;
            PVOID a2 = dpc->SystemArgument2;
            dpc->DpcData = 0;
            auto owner = dpcDriver_.find(dpc);
            const void* driver = owner != dpcDriver_.end() ? owner->second : nullptr;
            lock.unlock();
            {
                DriverScope scope(driver);
                routine(dpc, context, a1, a2);
            }
            if (ctx.irql != DISPATCH_LEVEL) BugCheck("DPC routine", "returned at the wrong IRQL");
            if (ctx.spinLocksHeld != 0) BugCheck("DPC routine", "returned holding a spin lock");
            lock.lock();
            return;
        }
        case ScheduledEntry::Kind::Completion: {
            lock.unlock();
            IofCompleteRequest(static_cast<PIRP>(entry.irp), IO_NO_INCREMENT);
            if (ctx.irql != DISPATCH_LEVEL)
                BugCheck("IofCompleteRequest", "returned at the wrong IRQL");
            if (ctx.spinLocksHeld != 0)
                BugCheck("IofCompleteRequest", "returned holding a spin lock");
            lock.lock();
            return;
        }
        case ScheduledEntry::Kind::Function: {
            std::function<void()> fn = std::move(entry.fn);
            lock.unlock();
            ctx.inMachineEvent = true;
            fn();
            fn = nullptr;  // what the event holds goes on this processor, before the round ends
            ctx.inMachineEvent = false;
            if (ctx.irql != DISPATCH_LEVEL) BugCheck("Machine event", "returned at the wrong IRQL");
            if (ctx.spinLocksHeld != 0) BugCheck("Machine event", "returned holding a spin lock");
            lock.lock();
            return;
        }
    }
}

void MachineCore::ReleaseDeferredLocked() {
    for (WaitBlock* wb : deferred_) {
        wb->deferred = false;
        wb->cv.notify_one();
    }
    deferred_.clear();
}

static bool RunsOnAProcessor(const ScheduledEntry& e) {
    return e.kind == ScheduledEntry::Kind::Dpc || e.kind == ScheduledEntry::Kind::Completion;
}

void MachineCore::RunRoundLocked(std::unique_lock<std::mutex>& lock) {
    auto first = queue_.extract(queue_.begin());
    keyOf_.erase(first.key().id);
    if (!RunsOnAProcessor(first.mapped())) {
        // Timers and time-outs are the clock's own bookkeeping, and a machine event is the
        // hardware: each runs by itself, in order.
        const bool event = first.mapped().kind == ScheduledEntry::Kind::Function;
        if (event) BeginRoundLocked();
        RunEntryLocked(lock, first.mapped());
        if (event) EndRoundLocked(lock);
        return;
    }
    // The next due DPC or completion runs on the second processor meanwhile. Which work goes where
    // follows from the queue alone, so a virtual-time run places every piece the same way.
    if (!queue_.empty() && queue_.begin()->first.due <= NowLocked() &&
        RunsOnAProcessor(queue_.begin()->second)) {
        auto second = queue_.extract(queue_.begin());
        keyOf_.erase(second.key().id);
        secondWork_.emplace(std::move(second.mapped()));
        secondBusy_ = true;
        secondCv_.notify_one();
    }
    BeginRoundLocked();
    RunEntryLocked(lock, first.mapped());
    dispatcherCv_.wait(lock, [this] { return !secondBusy_; });
    EndRoundLocked(lock);
}

void MachineCore::BeginRoundLocked() {
    inRound_ = true;
    deferWakes_ = mode_ == ClockMode::Virtual;
    roundBase_ = nextId_;
    nextId_ += kProcessors * kRoundSpan;
    for (auto& count : roundCount_) count = 0;
    if (deferWakes_) TraceLog::Instance().HoldProcessorEntries(true);
}

void MachineCore::EndRoundLocked(std::unique_lock<std::mutex>& lock) {
    const bool virtualTime = deferWakes_;
    inRound_ = false;
    deferWakes_ = false;
    ClockTicks stalled = 0;
    for (auto& s : roundStall_) {
        stalled = std::max(stalled, s);
        s = 0;
    }
    CurrentThreadContext().stalled = 0;
    if (stalled > 0) virtualNow_.store(virtualNow_.load() + stalled, std::memory_order_release);
    if (virtualTime) {
        // Sinks of the trace log may call into the machine: the lock is let go meanwhile. Every
        // emulated thread is still blocked, and the threads this round woke wait for the release.
        lock.unlock();
        TraceLog::Instance().HoldProcessorEntries(false);
        lock.lock();
    }
    ReleaseDeferredLocked();
}

void MachineCore::SecondProcessorLoop() {
    ThreadContext& ctx = CurrentThreadContext();
    ctx.isDispatcher = true;
    ctx.processor = 1;
    ctx.irql = DISPATCH_LEVEL;
    std::unique_lock lock(mutex);
    for (;;) {
        secondCv_.wait(lock, [this] { return secondWork_.has_value(); });
        ScheduledEntry entry = std::move(*secondWork_);
        secondWork_.reset();
        RunEntryLocked(lock, entry);
        ctx.stalled = 0;
        secondBusy_ = false;
        dispatcherCv_.notify_one();
    }
}

void MachineCore::DispatcherLoop() {
    ThreadContext& ctx = CurrentThreadContext();
    ctx.isDispatcher = true;
    ctx.processor = 0;
    ctx.irql = DISPATCH_LEVEL;
    std::unique_lock lock(mutex);
    for (;;) {
        // In virtual time the machine's work runs only while every emulated thread is blocked, so
        // that a run is one sequence of rounds and repeats exactly.
        if (mode_ == ClockMode::Virtual && runnable_ > 0) {
            dispatcherCv_.wait(lock);
            continue;
        }
        if (!queue_.empty() && queue_.begin()->first.due <= NowLocked()) {
            RunRoundLocked(lock);
            continue;
        }
        if (queue_.empty() && runnable_ == 0 && !idleWaiters_.empty()) {
            std::vector<WaitBlock*> waiters;
            waiters.swap(idleWaiters_);
            for (WaitBlock* wb : waiters) CompleteWaitLocked(wb, STATUS_SUCCESS);
            continue;
        }
        if (mode_ == ClockMode::Virtual) {
            if (!queue_.empty()) {
                virtualNow_.store(queue_.begin()->first.due, std::memory_order_release);
                continue;
            }
            dispatcherCv_.wait(lock);
        } else if (!queue_.empty()) {
            dispatcherCv_.wait_until(lock, RealTimeOf(queue_.begin()->first.due));
        } else {
            dispatcherCv_.wait(lock);
        }
    }
}

void MachineCore::EnterEmulated() {
    ThreadContext& ctx = CurrentThreadContext();
    std::lock_guard lock(mutex);
    if (ctx.emulatedDepth++ == 0) ++runnable_;
}

void MachineCore::LeaveEmulated() {
    std::lock_guard lock(mutex);
    LeaveEmulatedLocked();
}

void MachineCore::LeaveEmulatedLocked() {
    ThreadContext& ctx = CurrentThreadContext();
    if (ctx.emulatedDepth > 0 && --ctx.emulatedDepth == 0) {
        --runnable_;
        dispatcherCv_.notify_one();
    }
}

void MachineCore::PreRegisterThreadLocked() {
    ++runnable_;
}

void MachineCore::AdoptRegistration() {
    CurrentThreadContext().emulatedDepth = 1;
}

bool MachineCore::FindActiveObjectInRange(const void* begin, const void* end, std::string* what) {
    auto inside = [&](const void* p) { return p >= begin && p < end; };
    std::lock_guard lock(mutex);
    for (auto& [key, e] : queue_) {
        if (e.kind == ScheduledEntry::Kind::Timer && inside(e.timer)) {
            *what = "a timer that is still set";
            return true;
        }
        if (e.kind == ScheduledEntry::Kind::Dpc && inside(e.dpc)) {
            *what = "a DPC that is still queued";
            return true;
        }
    }
    if (secondWork_ && secondWork_->kind == ScheduledEntry::Kind::Dpc && inside(secondWork_->dpc)) {
        *what = "a DPC that is still queued";
        return true;
    }
    for (WaitBlock* wb = head_; wb != nullptr; wb = wb->next)
        for (ULONG i = 0; i < wb->count; ++i)
            if (inside(wb->objects[i])) {
                *what = "an object that a thread is waiting on";
                return true;
            }
    return false;
}

void MachineCore::Reset(ClockMode mode) {
    std::lock_guard lock(mutex);
    // Time-outs of threads still blocked keep running; everything else goes.
    for (auto it = queue_.begin(); it != queue_.end();) {
        if (it->second.kind == ScheduledEntry::Kind::WaitTimeout) {
            ++it;
            continue;
        }
        if (it->second.kind == ScheduledEntry::Kind::Dpc) it->second.dpc->DpcData = 0;
        if (it->second.kind == ScheduledEntry::Kind::Timer) it->second.timer->TimerId = 0;
        keyOf_.erase(it->first.id);
        it = queue_.erase(it);
    }
    mode_ = mode;
    virtualNow_.store(0);
    realBase_ = std::chrono::steady_clock::now().time_since_epoch().count();
    dispatcherCv_.notify_one();
}

size_t MachineCore::PendingEvents() {
    std::lock_guard lock(mutex);
    return queue_.size();
}

}  // namespace detail

using detail::MachineCore;

MachineClock& MachineClock::Instance() {
    static MachineClock clock;
    MachineCore::Get();
    return clock;
}

ClockMode MachineClock::Mode() const {
    return MachineCore::Get().Mode();
}

void MachineClock::SetMode(ClockMode mode) {
    MachineCore& core = MachineCore::Get();
    if (core.PendingEvents() != 0) BugCheck("MachineClock::SetMode", "events are still scheduled");
    core.Reset(mode);
}

ClockTicks MachineClock::Now() const {
    return MachineCore::Get().Now();
}

MachineClock::EventId MachineClock::Schedule(ClockTicks due, std::function<void()> fn) {
    MachineCore& core = MachineCore::Get();
    detail::ScheduledEntry e;
    e.kind = detail::ScheduledEntry::Kind::Function;
    e.fn = std::move(fn);
    std::lock_guard lock(core.mutex);
    return core.ScheduleLocked(due, std::move(e));
}

bool MachineClock::Cancel(EventId id) {
    MachineCore& core = MachineCore::Get();
    std::lock_guard lock(core.mutex);
    return core.CancelLocked(id);
}

void MachineClock::RunFor(ClockTicks duration) {
    RequirePassive("MachineClock::RunFor");
    MachineCore& core = MachineCore::Get();
    const ClockTicks due = core.Now() + duration;
    core.Wait(0, nullptr, false, &due);
}

void MachineClock::RunUntilIdle() {
    RequirePassive("MachineClock::RunUntilIdle");
    MachineCore::Get().WaitUntilIdle();
}

void MachineClock::Reset(ClockMode mode) {
    MachineCore::Get().Reset(mode);
}

size_t MachineClock::PendingEvents() const {
    return MachineCore::Get().PendingEvents();
}

bool MachineClock::OnDispatcherThread() const {
    return MachineCore::Get().OnDispatcherThread();
}

EmulatedThreadScope::EmulatedThreadScope() {
    MachineCore::Get().EnterEmulated();
}

EmulatedThreadScope::~EmulatedThreadScope() {
    MachineCore::Get().LeaveEmulated();
}

}  // namespace q407::sim
