// The Win32 calls every client makes (device setup, files, device I/O control, events, device
// change notifications), served by the machine's own Win32 layer in the caller's process.
#pragma once

#include "sim/service/machine_server.h"

namespace q407::service {

void AddCoreHandlers(HandlerTable& table);

}  // namespace q407::service
