// Conversion of kernel time-outs and due times to machine time.
#pragma once

#include "platform/kernel/nt_types.h"
#include "sim/host/machine_clock.h"

namespace q407::sim {

// Null: no time-out (returns false). Negative: relative to now. Positive: absolute system time.
// Zero: now.
bool DueFromTimeout(const LARGE_INTEGER* timeout, ClockTicks* due);

}  // namespace q407::sim
