#include "sim/host/portcls/port_wave_cyclic.h"

#include "sim/host/verifier.h"

namespace q407::sim::portcls {
namespace {

class PortWaveCyclic final : public MiniportBindingPortOf<IPortWaveCyclic, IMiniportWaveCyclic> {
  public:
    PortWaveCyclic() : MiniportBindingPortOf(PortKind::WaveCyclic, IID_IMiniportWaveCyclic) {}

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
};

}  // namespace

NTSTATUS NewPortWaveCyclic(PPORT* port) {
    return NewPortObject<PortWaveCyclic>(port, kPortClassPoolTag);
}

}  // namespace q407::sim::portcls
