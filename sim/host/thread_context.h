// Per-thread state of the emulated processor: the current IRQL, the spin locks held, the thread
// object, the process the thread currently runs in and the driver whose code it runs.
#pragma once

#include "platform/kernel/nt_types.h"

struct KTHREAD;
struct KPROCESS;

namespace q407::sim {

struct ThreadContext {
    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = 0;
    bool isDispatcher = false;    // one of the machine clock's processors
    int processor = 0;            // the processor a dispatcher thread stands for
    bool inMachineEvent = false;  // running a machine event (the virtual hardware)
    LONGLONG stalled = 0;         // a processor's busy-wait in the current round (virtual time)
    int emulatedDepth = 0;        // > 0 while the thread takes part in the machine clock
    KTHREAD* thread = nullptr;    // created on first use
    KPROCESS* process = nullptr;  // null: the system process
    // The driver object whose routine the thread runs (entry, dispatch, completion, cancel, DPC,
    // its system threads); pool allocated meanwhile is charged to it. Null: the system's own.
    const void* driver = nullptr;
};

ThreadContext& CurrentThreadContext();

// Charges what the thread does to a driver while in scope (null: to the system).
class DriverScope {
  public:
    explicit DriverScope(const void* driver) : saved_(CurrentThreadContext().driver) {
        CurrentThreadContext().driver = driver;
    }
    ~DriverScope() { CurrentThreadContext().driver = saved_; }
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

  private:
    const void* saved_;
};

}  // namespace q407::sim
