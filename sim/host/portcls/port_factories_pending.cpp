// Until the wave-PCI and DirectMusic ports join the build, creating one fails as for a class the
// port-class driver does not know.
#include "sim/host/portcls/port_factories.h"

NTSTATUS NewPortWavePci(PPORT* port) {
    *port = nullptr;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS NewPortDMus(PPORT* port) {
    *port = nullptr;
    return STATUS_NOT_IMPLEMENTED;
}
