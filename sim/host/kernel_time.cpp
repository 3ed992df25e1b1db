// The kernel's time services on the machine clock.
#include "sim/host/kernel_time.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "platform/kernel/ke.h"
#include "sim/host/machine_core.h"
#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"

namespace q407::sim {

bool DueFromTimeout(const LARGE_INTEGER* timeout, ClockTicks* due) {
    if (timeout == nullptr) return false;
    const ClockTicks now = MachineClock::Instance().Now();
    if (timeout->QuadPart < 0)
        *due = now - timeout->QuadPart;
    else if (timeout->QuadPart == 0)
        *due = now;
    else
        *due = timeout->QuadPart - kSystemTimeAtBoot;
    return true;
}

}  // namespace q407::sim

using q407::sim::ClockTicks;
using q407::sim::detail::MachineCore;

void KeStallExecutionProcessor(ULONG MicroSeconds) {
    MachineCore& core = MachineCore::Get();
    const ClockTicks delay = ClockTicks(MicroSeconds) * q407::sim::kTicksPerMicrosecond;
    if (core.Mode() == q407::sim::ClockMode::Real) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
        while (std::chrono::steady_clock::now() < end) std::this_thread::yield();
        return;
    }
    auto& ctx = q407::sim::CurrentThreadContext();
    if (ctx.isDispatcher || ctx.irql >= DISPATCH_LEVEL) {
        // A busy processor cannot block: the clock simply moves on by the delay, and what fell due
        // meanwhile runs afterwards.
        std::lock_guard lock(core.mutex);
        core.AdvanceLocked(delay);
        return;
    }
    const ClockTicks due = core.Now() + delay;
    core.Wait(0, nullptr, false, &due);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    q407::sim::RequireAtMostApc("KeDelayExecutionThread");
    if (Interval == nullptr) q407::sim::BugCheck("KeDelayExecutionThread", "null interval");
    ClockTicks due = 0;
    q407::sim::DueFromTimeout(Interval, &due);
    MachineCore::Get().Wait(0, nullptr, false, &due);
    return STATUS_SUCCESS;
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = q407::sim::kSystemTimeAtBoot + MachineCore::Get().Now();
}

ULONGLONG KeQueryInterruptTime() {
    return static_cast<ULONGLONG>(MachineCore::Get().Now());
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency != nullptr)
        PerformanceFrequency->QuadPart = q407::sim::kTicksPerSecond;
    LARGE_INTEGER now;
    now.QuadPart = MachineCore::Get().Now();
    return now;
}

NTSTATUS KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave) {
    q407::sim::RequireAtMostDispatch("KeSaveFloatingPointState");
    if (FloatSave == nullptr) q407::sim::BugCheck("KeSaveFloatingPointState", "null save area");
    FloatSave->Reserved[0] = 0x46505356;  // marks a live save for the restore check
    return STATUS_SUCCESS;
}

NTSTATUS KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave) {
    if (FloatSave == nullptr || FloatSave->Reserved[0] != 0x46505356)
        q407::sim::BugCheck("KeRestoreFloatingPointState", "no matching KeSaveFloatingPointState");
    FloatSave->Reserved[0] = 0;
    return STATUS_SUCCESS;
}
