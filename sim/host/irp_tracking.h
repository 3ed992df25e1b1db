// The I/O manager's book of IRPs, for the verifier's checks.
#pragma once

#include "platform/kernel/io_manager.h"

namespace q407::sim::detail {

// True if an IRP is in flight with its current stack location in the device.
bool IrpPendingAt(PDEVICE_OBJECT device);

}  // namespace q407::sim::detail
