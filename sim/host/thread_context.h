// Per-thread state of the emulated processor: the current IRQL, the spin locks held, the thread
// object and the process the thread currently runs in.
#pragma once

#include "platform/kernel/nt_types.h"

struct KTHREAD;
struct KPROCESS;

namespace q407::sim {

struct ThreadContext {
    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = 0;
    bool isDispatcher = false;    // the machine clock's dispatcher thread
    int emulatedDepth = 0;        // > 0 while the thread takes part in the machine clock
    KTHREAD* thread = nullptr;    // created on first use
    KPROCESS* process = nullptr;  // null: the system process
};

ThreadContext& CurrentThreadContext();

}  // namespace q407::sim
