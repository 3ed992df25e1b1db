#include "sim/host/portcls/port_topology.h"

namespace q407::sim::portcls {
namespace {

class PortTopology final : public MiniportBindingPortOf<IPortTopology, IMiniportTopology> {
  public:
    PortTopology() : MiniportBindingPortOf(PortKind::Topology, IID_IMiniportTopology) {}

  protected:
    const GUID& PortInterfaceId() const override { return IID_IPortTopology; }
};

}  // namespace

NTSTATUS NewPortTopology(PPORT* port) {
    return NewPortObject<PortTopology>(port, kPortClassPoolTag);
}

}  // namespace q407::sim::portcls
