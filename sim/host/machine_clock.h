// The machine's one clock, in real or virtual time, and the dispatcher that runs timed work
// (timer DPCs, device events) at DISPATCH_LEVEL.
//
// Virtual time: the clock jumps to the next scheduled event only when every emulated thread is
// blocked in an emulated wait, so runs are fast and repeat exactly. Real time: events run when the
// wall clock reaches them.
#pragma once

#include <cstdint>
#include <functional>

namespace q407::sim {

// 100 ns units since the machine booted (the unit of KeQueryInterruptTime).
using ClockTicks = std::int64_t;
constexpr ClockTicks kTicksPerMicrosecond = 10;
constexpr ClockTicks kTicksPerMillisecond = 10'000;
constexpr ClockTicks kTicksPerSecond = 10'000'000;
// KeQuerySystemTime at boot: 2024-01-01 00:00:00 UTC in 100 ns units since 1601, fixed so that
// runs repeat.
constexpr ClockTicks kSystemTimeAtBoot = 133'485'408'000'000'000;

enum class ClockMode { Virtual, Real };

class MachineClock {
  public:
    using EventId = std::uint64_t;

    static MachineClock& Instance();

    ClockMode Mode() const;
    // Only while no event is scheduled (at machine start-up).
    void SetMode(ClockMode mode);

    ClockTicks Now() const;

    // Runs fn at DISPATCH_LEVEL on the dispatcher thread when the clock reaches due (a due time in
    // the past runs as soon as possible). Events with equal due times run in scheduling order.
    // Callable from any thread and from inside an event.
    EventId Schedule(ClockTicks due, std::function<void()> fn);
    // True if the event was still pending and will not run.
    bool Cancel(EventId id);

    // From an emulated thread: lets the machine run until the clock has advanced by duration
    // (the calling thread is blocked meanwhile).
    void RunFor(ClockTicks duration);
    // From an emulated thread: lets the machine run until no event is pending and every other
    // emulated thread is blocked without a time-out.
    void RunUntilIdle();

    // Machine start-up: drops every pending event, sets the mode and starts the clock at 0.
    void Reset(ClockMode mode);
    // Events (timers, DPCs, scheduled functions, wait time-outs) not yet run.
    size_t PendingEvents() const;
    bool OnDispatcherThread() const;
};

// Makes the calling thread an emulated thread for its lifetime (the machine's own threads are
// registered automatically; a test's main thread registers through the machine it creates).
class EmulatedThreadScope {
  public:
    EmulatedThreadScope();
    ~EmulatedThreadScope();
    EmulatedThreadScope(const EmulatedThreadScope&) = delete;
    EmulatedThreadScope& operator=(const EmulatedThreadScope&) = delete;
};

}  // namespace q407::sim
