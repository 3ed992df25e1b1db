#include "sim/host/portcls/port_factories.h"

#include "sim/host/portcls/port_dmus.h"
#include "sim/host/portcls/port_wave_pci.h"

NTSTATUS NewPortWavePci(PPORT* port) {
    return q407::sim::portcls::PortWavePci::Create(port);
}

NTSTATUS NewPortDMus(PPORT* port) {
    return q407::sim::portcls::PortDMus::Create(port);
}
