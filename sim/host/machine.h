// The emulated machine as tests and tools see it: one per test, in virtual or real time.
// Constructing it starts a fresh machine (clock at 0, empty pool books, registry, trace log,
// drivers and interfaces of a previous machine forgotten) and makes the constructing thread an
// emulated thread.
#pragma once

#include <optional>

#include "sim/host/machine_clock.h"
#include "sim/host/pool.h"
#include "sim/host/registry_store.h"
#include "sim/host/trace_log.h"
#include "sim/host/windows_version.h"

namespace q407::sim {

class Machine {
  public:
    explicit Machine(ClockMode mode = ClockMode::Virtual);
    // Threads the machine started must have ended.
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    MachineClock& Clock() { return MachineClock::Instance(); }
    RegistryStore& Registry() { return RegistryStore::Instance(); }
    TraceLog& Trace() { return TraceLog::Instance(); }
    void SetWindowsVersion(const WindowsVersion& version) { q407::sim::SetWindowsVersion(version); }

    ClockTicks Now() const { return MachineClock::Instance().Now(); }
    void RunFor(ClockTicks duration) { MachineClock::Instance().RunFor(duration); }
    void RunUntilIdle() { MachineClock::Instance().RunUntilIdle(); }

  private:
    std::optional<EmulatedThreadScope> scope_;
};

}  // namespace q407::sim
