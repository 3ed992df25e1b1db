#include "sim/host/portcls/port_wave_cyclic.h"

#include "sim/host/verifier.h"

namespace q407::sim::portcls {
namespace {

class PortWaveCyclic final : public PortOf<IPortWaveCyclic> {
  public:
    PortWaveCyclic() : PortOf<IPortWaveCyclic>(PortKind::WaveCyclic) {}
    ~PortWaveCyclic() override {
        if (miniport_ != nullptr) miniport_->Release();
    }

    STDMETHODIMP_(void) Notify(PSERVICEGROUP serviceGroup) override {
        RequireAtMostDispatch("IPortWaveCyclic::Notify");
        if (serviceGroup == nullptr) BugCheck("IPortWaveCyclic::Notify", "null service group");
        serviceGroup->RequestService();
    }
    // No cyclic DMA on the bench: a miniport of this port cannot get a buffer to stream from.
    STDMETHODIMP_(NTSTATUS)
    NewSlaveDmaChannel(PDMACHANNELSLAVE* dmaChannel, PUNKNOWN, PRESOURCELIST, ULONG, ULONG, BOOLEAN,
                       DMA_SPEED) override {
        *dmaChannel = nullptr;
        return STATUS_NOT_SUPPORTED;
    }
    STDMETHODIMP_(NTSTATUS)
    NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN, PRESOURCELIST, ULONG, BOOLEAN, BOOLEAN,
                        DMA_WIDTH, DMA_SPEED) override {
        *dmaChannel = nullptr;
        return STATUS_NOT_SUPPORTED;
    }

  protected:
    const GUID& PortInterfaceId() const override { return IID_IPortWaveCyclic; }
    NTSTATUS BindMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                          PRESOURCELIST resourceList) override {
        NTSTATUS status = unknownMiniport->QueryInterface(IID_IMiniportWaveCyclic,
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
    PMINIPORTWAVECYCLIC miniport_ = nullptr;
};

}  // namespace

NTSTATUS NewPortWaveCyclic(PPORT* port) {
    auto* created = new (NonPagedPoolNx, kPortClassPoolTag) PortWaveCyclic();
    if (created == nullptr) {
        *port = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *port = created;
    return STATUS_SUCCESS;
}

}  // namespace q407::sim::portcls
