// PcNewPort: a port of the class the driver names.
#include "sim/host/portcls/port_factories.h"
#include "sim/host/portcls/port_topology.h"
#include "sim/host/portcls/port_wave_cyclic.h"
#include "sim/host/verifier.h"

using namespace q407::sim;

NTSTATUS PcNewPort(PPORT* OutPort, REFCLSID ClassId) {
    RequirePassive("PcNewPort");
    if (OutPort == nullptr) BugCheck("PcNewPort", "null port pointer");
    *OutPort = nullptr;
    if (IsEqualGUID(ClassId, CLSID_PortWaveCyclic)) return portcls::NewPortWaveCyclic(OutPort);
    if (IsEqualGUID(ClassId, CLSID_PortTopology)) return portcls::NewPortTopology(OutPort);
    if (IsEqualGUID(ClassId, CLSID_PortWavePci)) return NewPortWavePci(OutPort);
    if (IsEqualGUID(ClassId, CLSID_PortDMus)) return NewPortDMus(OutPort);
    return STATUS_INVALID_PARAMETER;
}
