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

struct ScheduledEntry {
    enum class Kind { Function, Timer, Dpc, WaitTimeout } kind = Kind::Function;
    std::function<void()> fn;
    KTIMER* timer = nullptr;
    KDPC* dpc = nullptr;
    WaitBlock* wait = nullptr;
};

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

  private:
    MachineCore();
    void DispatcherLoop();
    void RunEntryLocked(std::unique_lock<std::mutex>& lock, ScheduledEntry& entry);
    void FireTimerLocked(KTIMER* timer);
    void ReleaseDeferredLocked();
    bool TrySatisfyLocked(WaitBlock& wb);
    void CompleteWaitLocked(WaitBlock* wb, NTSTATUS status);
    void LinkLocked(WaitBlock* wb);
    void UnlinkLocked(WaitBlock* wb);
    std::chrono::steady_clock::time_point RealTimeOf(ClockTicks t) const;

    std::condition_variable dispatcherCv_;
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
    bool inEvent_ = false;
    std::vector<WaitBlock*> deferred_;
    MachineClock::EventId nextId_ = 1;
    int runnable_ = 0;
    WaitBlock* head_ = nullptr;  // blocked threads, oldest first
    WaitBlock* tail_ = nullptr;
    std::vector<WaitBlock*> idleWaiters_;
    std::unordered_map<const KDPC*, const void*> dpcDriver_;
    std::thread dispatcher_;
    std::thread::id dispatcherId_;
};

}  // namespace q407::sim::detail
