// The topology port: binds a topology miniport (IMiniportTopology) and answers for its filter,
// whose properties the audio stack reads and sets through property requests.
#pragma once

#include "sim/host/portcls/port_base.h"

namespace q407::sim::portcls {

// One counted reference to a new, uninitialised topology port.
NTSTATUS NewPortTopology(PPORT* port);

}  // namespace q407::sim::portcls
