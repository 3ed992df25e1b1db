// Factories of the ports that the wave-PCI and DirectMusic emulation provide; PcNewPort calls
// them by class. Each returns one counted reference to the new port, not yet initialised.
#pragma once

#include "platform/portcls/portcls.h"

NTSTATUS NewPortWavePci(PPORT* port);
NTSTATUS NewPortDMus(PPORT* port);
