// The wave-cyclic port. Drivers of this device create one only to learn whether the port-class
// driver offers port events; it binds a wave-cyclic miniport like any port and forwards Notify
// to the service group, but the bench has no cyclic DMA buffers to stream through.
#pragma once

#include "sim/host/portcls/port_base.h"

namespace q407::sim::portcls {

// One counted reference to a new, uninitialised wave-cyclic port.
NTSTATUS NewPortWaveCyclic(PPORT* port);

}  // namespace q407::sim::portcls
