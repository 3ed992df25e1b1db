// Top-level windows across client processes: a client registers its window class with the
// machine, others find it by class and post it messages, which reach the owner as notices.
#pragma once

#include "sim/service/machine_server.h"

namespace q407::service {

// At most this many windows per connection, and class names of at most this many units.
inline constexpr size_t kMaxWindowsPerConnection = 64;
inline constexpr size_t kMaxWindowClassUnits = 256;

// RegisterWindow, UnregisterWindow, FindWindow, PostMessage and SetForegroundWindow, sharing one
// registry for the table's machine.
void AddWindowHandlers(HandlerTable& handlers);

}  // namespace q407::service
