// The machine of the fuzzers that drive a running engine: one engine rig, started once for the
// whole run, with pool overreads poisoned so that reading past a pool block is caught where it
// happens.
#pragma once

#include "sim/host/pool.h"
#include "tools/engine_rig.h"

// Kernel objects live in the pool's shared mapping, which the leak checker does not scan, so it
// would call everything they point to lost; pool leaks are checked by tag instead.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}

namespace q407::fuzzing {

inline tools::EngineRig& StartedRig() {
    static tools::EngineRig* rig = [] {
        sim::Pool::PoisonOverreads(true);
        static tools::EngineRig theRig;
        if (!NT_SUCCESS(theRig.Start())) __builtin_trap();
        return &theRig;
    }();
    return *rig;
}

}  // namespace q407::fuzzing
