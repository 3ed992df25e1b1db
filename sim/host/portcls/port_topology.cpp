#include "sim/host/portcls/port_topology.h"

namespace q407::sim::portcls {
namespace {

class PortTopology final : public PortOf<IPortTopology> {
  public:
    PortTopology() : PortOf<IPortTopology>(PortKind::Topology) {}
    ~PortTopology() override {
        if (miniport_ != nullptr) miniport_->Release();
    }

  protected:
    const GUID& PortInterfaceId() const override { return IID_IPortTopology; }
    NTSTATUS BindMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                          PRESOURCELIST resourceList) override {
        NTSTATUS status = unknownMiniport->QueryInterface(IID_IMiniportTopology,
                                                          reinterpret_cast<PVOID*>(&miniport_));
        if (!NT_SUCCESS(status)) {
            miniport_ = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        status = miniport_->Init(unknownAdapter, resourceList, this);
        if (!NT_SUCCESS(status)) UnbindMiniport();
        return status;
    }
    void UnbindMiniport() override {
        if (miniport_ != nullptr) miniport_->Release();
        miniport_ = nullptr;
    }

  private:
    PMINIPORTTOPOLOGY miniport_ = nullptr;
};

}  // namespace

NTSTATUS NewPortTopology(PPORT* port) {
    auto* created = new (NonPagedPoolNx, kPortClassPoolTag) PortTopology();
    if (created == nullptr) {
        *port = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *port = created;
    return STATUS_SUCCESS;
}

}  // namespace q407::sim::portcls
