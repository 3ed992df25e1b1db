// The wave-PCI port (IPortWavePci): it binds a wave-PCI miniport, hands it a master DMA channel on
// the DMA adapter of the bus interface below the subdevice, services it through service groups,
// and creates its streaming pins for clients after the data-range intersection.
//
// Notify(service group) makes the group request service; every member runs at DISPATCH_LEVEL,
// as a DPC would: the port itself (the miniport's Service) and each pin (its stream's Service).
//
// The miniport keeps a reference to the port; the subdevice's end (Shutdown) closes every pin,
// leaves the service group and lets the miniport go, which breaks the cycle.
#pragma once

#include <mutex>
#include <vector>

#include "platform/portcls/portcls.h"
#include "sim/host/portcls/port_base.h"
#include "sim/host/portcls/wave_pci_pin.h"

namespace q407::sim::portcls {

class PortWavePci final : public PortOf<IPortWavePci>, public IServiceSink {
  public:
    // One counted reference in *port, not yet initialised.
    static NTSTATUS Create(PPORT* port);
    // The wave-PCI port behind an emulated port, or null for another kind.
    static PortWavePci* FromBase(PortBase* port);

    // IUnknown, for both the port and its service sink.
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
        return PortOf<IPortWavePci>::QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return PortOf<IPortWavePci>::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return PortOf<IPortWavePci>::Release(); }
    // IPortWavePci
    STDMETHODIMP_(void) Notify(PSERVICEGROUP serviceGroup) override;
    STDMETHODIMP_(NTSTATUS)
    NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outer, POOL_TYPE poolType,
                        PRESOURCELIST resourceList, BOOLEAN scatterGather,
                        BOOLEAN dma32BitAddresses, BOOLEAN dma64BitAddresses, BOOLEAN ignoreCount,
                        DMA_WIDTH dmaWidth, DMA_SPEED dmaSpeed, ULONG maximumLength,
                        ULONG dmaPort) override;
    // IServiceSink: the miniport's own service group.
    STDMETHODIMP_(void) RequestService() override;

    bool HasStreamingPin(bool capture) const;

    // Creates a streaming pin for a client: the pin of the direction, its instance limit, the
    // intersection, then the miniport's stream. STATUS_INSUFFICIENT_RESOURCES when the pin is
    // busy; the miniport's status when it refuses; STATUS_DEVICE_REMOVED once the subdevice
    // ends. PASSIVE_LEVEL.
    NTSTATUS OpenPin(bool capture, const WavePinFormat& format, WavePciPin** pin);
    size_t OpenPins() const;

  protected:
    const GUID& PortInterfaceId() const override { return IID_IPortWavePci; }
    PVOID QueryExtraInterface(REFIID iid) override;
    NTSTATUS BindMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                          PRESOURCELIST resourceList) override;
    void UnbindMiniport() override;
    void OnShutdown() override;

  private:
    PortWavePci() : PortOf<IPortWavePci>(PortKind::WavePci) {}
    ~PortWavePci() override;
    NTSTATUS OpenPinLocked(bool capture, const WavePinFormat& format, WavePciPin** pin);
    void ForgetClosedPinsLocked();

    PMINIPORTWAVEPCI miniport_ = nullptr;
    PSERVICEGROUP serviceGroup_ = nullptr;
    KSPIN_LOCK serviceLock_ = 0;  // miniport_ against UnbindMiniport during a service
    mutable std::mutex pinsMutex_;
    std::vector<WavePciPin*> pins_;  // referenced
    bool ended_ = false;
};

}  // namespace q407::sim::portcls
