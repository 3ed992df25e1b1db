// The time base the virtual device runs on. The machine uses its clock (MachineClockScheduler);
// unit tests of the device model use ManualScheduler and step time themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

#include "sim/host/machine_clock.h"

namespace q407::sim {

class Scheduler {
  public:
    using EventId = std::uint64_t;
    virtual ~Scheduler() = default;
    virtual ClockTicks Now() const = 0;
    // Runs fn when the time reaches due; equal due times run in scheduling order. Never runs fn
    // from inside Schedule.
    virtual EventId Schedule(ClockTicks due, std::function<void()> fn) = 0;
    // True if the event was still pending and will not run. Never waits for a running event.
    virtual bool Cancel(EventId id) = 0;
};

// A scheduler whose time moves only when the test says so. Events run on the calling thread.
class ManualScheduler final : public Scheduler {
  public:
    ClockTicks Now() const override;
    EventId Schedule(ClockTicks due, std::function<void()> fn) override;
    bool Cancel(EventId id) override;

    // Runs every event due up to and including t (also those scheduled meanwhile), then sets the
    // time to t.
    void RunUntil(ClockTicks t);
    void RunFor(ClockTicks d) { RunUntil(Now() + d); }
    // Runs events until none is pending or the time would pass limit.
    void RunUntilIdle(ClockTicks limit);
    std::size_t Pending() const;

  private:
    mutable std::mutex mu_;
    ClockTicks now_ = 0;
    EventId next_ = 1;
    // (due, id) keeps equal due times in scheduling order.
    std::map<std::pair<ClockTicks, EventId>, std::function<void()>> events_;
};

// The machine clock of the emulated machine.
class MachineClockScheduler final : public Scheduler {
  public:
    ClockTicks Now() const override { return MachineClock::Instance().Now(); }
    EventId Schedule(ClockTicks due, std::function<void()> fn) override {
        return MachineClock::Instance().Schedule(due, std::move(fn));
    }
    bool Cancel(EventId id) override { return MachineClock::Instance().Cancel(id); }
};

}  // namespace q407::sim
