#include "sim/host/machine.h"

#include <atomic>

#include "sim/host/io_internal.h"
#include "sim/host/io_manager.h"
#include "sim/host/process.h"
#include "sim/host/process_internal.h"
#include "sim/host/verifier.h"

namespace q407::sim {

namespace {
std::atomic<bool> g_machineExists{false};
}

void ResetIoManager() {
    detail::ResetDrivers();
    detail::ResetDevices();
    detail::ResetInterfaces();
}

Machine::Machine(ClockMode mode) {
    if (g_machineExists.exchange(true)) BugCheck("Machine", "only one machine may exist at a time");
    MachineClock::Instance().Reset(mode);
    Pool::Reset();
    TraceLog::Instance().Clear();
    RegistryStore::Instance().Clear();
    q407::sim::SetWindowsVersion(WindowsVersion{});
    ResetIoManager();
    ResetProcesses();
    scope_.emplace();
}

Machine::~Machine() {
    scope_.reset();
    const int running = detail::RunningThreads();
    if (running != 0)
        BugCheck("Machine",
                 std::to_string(running) + " emulated threads still running at shutdown");
    g_machineExists = false;
}

}  // namespace q407::sim
