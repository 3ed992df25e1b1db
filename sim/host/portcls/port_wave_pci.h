// The wave-PCI port (IPortWavePci): it binds a wave-PCI miniport, hands it a master DMA channel on
// the DMA adapter of the bus interface below the subdevice, services it through service groups,
// and creates its streaming pins for clients after the data-range intersection.
//
// Notify(service group) makes the group request service; every member runs at DISPATCH_LEVEL,
// as a DPC would: the port itself (the miniport's Service) and each pin (its stream's Service).
//
// The miniport keeps a reference to the port, so the pair lives until ReleaseChildren, which the
// subdevice's removal calls: it closes every pin, leaves the service group and lets the
// miniport go.
#pragma once

#include <mutex>
#include <vector>

#include "platform/portcls/portcls.h"
#include "sim/host/portcls/wave_pci_pin.h"

namespace q407::sim::portcls {

class PortWavePci : public IPortWavePci, public IServiceSink {
  public:
    // One counted reference in *port (as IPort), not yet initialised.
    static NTSTATUS Create(PPORT* port);
    // The port behind an IPort of this kind, or null.
    static PortWavePci* FromPort(PPORT port);

    // IUnknown
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IPort
    STDMETHODIMP_(NTSTATUS)
    Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
         PRESOURCELIST resourceList) override;
    STDMETHODIMP_(NTSTATUS)
    GetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength, PVOID propertyBuffer,
                      PULONG resultLength) override;
    STDMETHODIMP_(NTSTATUS)
    NewRegistryKey(PREGISTRYKEY* key, PUNKNOWN outer, ULONG keyType, ACCESS_MASK access,
                   POBJECT_ATTRIBUTES attributes, ULONG createOptions, PULONG disposition) override;
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

    // The filter description the miniport gave at Init (null before).
    const PCFILTER_DESCRIPTOR* Filter() const { return filter_; }
    PMINIPORTWAVEPCI Miniport() const { return miniport_; }
    bool HasStreamingPin(bool capture) const;

    // Creates a streaming pin for a client: the pin of the direction, its instance limit, the
    // intersection, then the miniport's stream. STATUS_INSUFFICIENT_RESOURCES when the pin is
    // busy; the miniport's status when it refuses. PASSIVE_LEVEL.
    NTSTATUS OpenPin(bool capture, const WavePinFormat& format, WavePciPin** pin);
    size_t OpenPins() const;

    // Closes every pin and lets the miniport go (subdevice removal). PASSIVE_LEVEL.
    void ReleaseChildren();

  private:
    PortWavePci() = default;
    ~PortWavePci();
    void ForgetClosedPinsLocked();

    volatile LONG refs_ = 1;
    PDEVICE_OBJECT deviceObject_ = nullptr;
    PMINIPORTWAVEPCI miniport_ = nullptr;
    PPCFILTER_DESCRIPTOR filter_ = nullptr;
    PSERVICEGROUP serviceGroup_ = nullptr;
    KSPIN_LOCK serviceLock_ = 0;  // miniport_ against ReleaseChildren during a service
    mutable std::mutex pinsMutex_;
    std::vector<WavePciPin*> pins_;  // referenced
    bool released_ = false;
};

}  // namespace q407::sim::portcls
