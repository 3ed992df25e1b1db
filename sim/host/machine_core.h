// Internals of the machine clock shared by the dispatcher objects: the one machine lock, the wait
// blocks of blocked threads, the queue of timed work and the count of runnable emulated threads.
// Everything named ...Locked needs the machine lock held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/kernel/ke.h"
#include "sim/host/machine_clock.h"

namespace q407::sim::detail {

// One blocked thread. Lives on the waiter's stack; the waker completes it under the machine lock.
struct WaitBlock {
    ULONG count = 0;
    DISPATCHER_HEADER* const* objects = nullptr;
    bool waitAll = false;
    bool idle = false;     // RunUntilIdle
    bool counted = false;  // an emulated thread: it was runnable before it blocked
    bool done = false;
    bool deferred = false;  // woken by an event still running on the dispatcher: not yet released
    NTSTATUS status = STATUS_SUCCESS;
    MachineClock::EventId timeoutId = 0;
    std::condition_variable cv;
    WaitBlock* prev = nullptr;
    WaitBlock* next = nullptr;
};

// Function: a machine event (the virtual device's hardware, the bus); it runs by itself, in order.
// Dpc and Completion are the processors' work: a DPC, and the completion of an IRP that a machine
// event finished (as a host controller's DPC completes what its hardware did).
struct ScheduledEntry {
    enum class Kind { Function, Timer, Dpc, WaitTimeout, Completion } kind = Kind::Function;
    std::function<void()> fn;
    KTIMER* timer = nullptr;
    KDPC* dpc = nullptr;
    WaitBlock* wait = nullptr;
    void* irp = nullptr;  // Completion
};

// Events mirrored to an eventfd carry this mark in Reserved[2] while the mirror exists.
constexpr UCHAR kMirroredEventMark = 0x4d;
// The event object's last reference went: its mirror, if any, goes and the fd is closed.
void DropEventMirror(PKEVENT event);

// Timers that satisfy one waiter and reset keep this mark in their header.
constexpr UCHAR kSynchronizationTimerMark = 1;

class MachineCore {
  public:
    static MachineCore& Get();

    std::mutex mutex;

    ClockTicks NowLocked() const;
    ClockTicks Now() const;
    ClockMode Mode() const { return mode_; }

    MachineClock::EventId ScheduleLocked(ClockTicks due, ScheduledEntry entry);
    bool CancelLocked(MachineClock::EventId id);
    // Virtual time only: moves the clock on (a busy-wait that cannot block).
    void AdvanceLocked(ClockTicks delta);

    // Blocks the calling thread until the objects satisfy the wait or the clock reaches *due
    // (null: no time-out). Returns STATUS_WAIT_0 + index, STATUS_SUCCESS for a pure delay that
    // ended, or STATUS_TIMEOUT.
    NTSTATUS Wait(ULONG count, DISPATCHER_HEADER* const* objects, bool waitAll,
                  const ClockTicks* due);
    void WaitUntilIdle();

    // An object's signal state rose: satisfy the waiters it can satisfy, in arrival order.
    void SignalLocked(DISPATCHER_HEADER* header);
    bool HasWaitersLocked(const DISPATCHER_HEADER* header) const;

    BOOLEAN InsertDpcLocked(KDPC* dpc, PVOID arg1, PVOID arg2);
    // From a machine event: the IRP's completion runs as processor work at the current time.
    void QueueCompletion(void* irp);
    // The driver whose code initialised a DPC: its routine runs charged to that driver.
    void SetDpcDriverLocked(const KDPC* dpc, const void* driver) { dpcDriver_[dpc] = driver; }
    BOOLEAN SetTimerLocked(KTIMER* timer, ClockTicks due, LONG period, KDPC* dpc);

    // Emulated thread bookkeeping.
    void EnterEmulated();
    void LeaveEmulated();
    // A thread about to be started counts as runnable from now on, so the clock cannot move
    // before it runs; the new thread adopts the registration.
    void PreRegisterThreadLocked();
    void AdoptRegistration();
    void LeaveEmulatedLocked();

    // What the verifier needs before pool is freed: a set timer, a queued DPC or an object with
    // waiters inside [begin, end).
    bool FindActiveObjectInRange(const void* begin, const void* end, std::string* what);

    void Reset(ClockMode mode);
    size_t PendingEvents();
    bool OnDispatcherThread() const;

    // The emulated processors that run DPCs and machine events (and so completion routines).
    static constexpr int kProcessors = 2;

  private:
    MachineCore();
    void DispatcherLoop();
    void SecondProcessorLoop();
    // Runs the entry at the head of the queue; a DPC or event there starts a round, in which
    // the next one, when it is due too, runs on the second processor at the same time.
    void RunRoundLocked(std::unique_lock<std::mutex>& lock);
    void BeginRoundLocked();
    void EndRoundLocked(std::unique_lock<std::mutex>& lock);
    void RunEntryLocked(std::unique_lock<std::mutex>& lock, ScheduledEntry& entry);
    void FireTimerLocked(KTIMER* timer);
    void ReleaseDeferredLocked();
    bool TrySatisfyLocked(WaitBlock& wb);
    void CompleteWaitLocked(WaitBlock* wb, NTSTATUS status);
    void LinkLocked(WaitBlock* wb);
    void UnlinkLocked(WaitBlock* wb);
    std::chrono::steady_clock::time_point RealTimeOf(ClockTicks t) const;

    std::condition_variable dispatcherCv_;  // the first processor, which also keeps the clock
    std::condition_variable secondCv_;      // the second processor
    std::atomic<ClockMode> mode_{ClockMode::Virtual};  // read without the lock by Now()
    std::atomic<ClockTicks> virtualNow_{0};
    std::atomic<std::chrono::steady_clock::rep> realBase_{0};  // steady clock at boot
    // Ordered by due time; at equal times time-outs come after other work (so that what falls due
    // at the end of a wait has run when it returns), then by scheduling order.
    struct Key {
        ClockTicks due;
        int late;
        MachineClock::EventId id;
        bool operator<(const Key& o) const {
            if (due != o.due) return due < o.due;
            if (late != o.late) return late < o.late;
            return id < o.id;
        }
    };
    std::map<Key, ScheduledEntry> queue_;
    std::unordered_map<MachineClock::EventId, Key> keyOf_;
    // A round: work due at one instant running on both processors. In virtual time the threads
    // it wakes go on after the round, and what the processors schedule meanwhile is numbered per
    // processor (from roundBase_), so that the order of equal due times never depends on which
    // processor got the lock first.
    bool inRound_ = false;
    bool deferWakes_ = false;
    std::optional<ScheduledEntry> secondWork_;
    bool secondBusy_ = false;
    static constexpr MachineClock::EventId kRoundSpan = MachineClock::EventId(1) << 24;
    MachineClock::EventId roundBase_ = 0;
    MachineClock::EventId roundCount_[kProcessors] = {};
    ClockTicks roundStall_[kProcessors] = {};  // each processor's busy-waits in the round
    std::vector<WaitBlock*> deferred_;
    MachineClock::EventId nextId_ = 1;
    int runnable_ = 0;
    WaitBlock* head_ = nullptr;  // blocked threads, oldest first
    WaitBlock* tail_ = nullptr;
    std::vector<WaitBlock*> idleWaiters_;
    std::unordered_map<const KDPC*, const void*> dpcDriver_;
    std::thread processors_[kProcessors];
};

}  // namespace q407::sim::detail
