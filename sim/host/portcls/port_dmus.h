// The DirectMusic port (IPortDMus): it binds a DirectMusic miniport, owns the event allocator and
// the master clock its streams are given, and opens render and capture streams for clients.
//
// The miniport registers its service group with the port; Notify makes the group request
// service, and the port's service (at DISPATCH_LEVEL) runs the miniport's Service and pulls the
// input of every capture stream into the sink connected to it. Notify without a group services
// the port at once.
//
// As with the wave-PCI port, the miniport keeps a reference to the port; ReleaseChildren (the
// subdevice's removal) closes the pins and lets the miniport go.
#pragma once

#include <mutex>
#include <vector>

#include "platform/portcls/portcls.h"
#include "sim/host/portcls/dmus_pin.h"

namespace q407::sim::portcls {

class DmusAllocator;
class DmusMasterClock;

class PortDMus : public IPortDMus, public IServiceSink {
  public:
    static NTSTATUS Create(PPORT* port);
    static PortDMus* FromPort(PPORT port);

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
    // IPortDMus
    STDMETHODIMP_(void) Notify(PSERVICEGROUP serviceGroup) override;
    STDMETHODIMP_(void) RegisterServiceGroup(PSERVICEGROUP serviceGroup) override;
    // IServiceSink
    STDMETHODIMP_(void) RequestService() override;

    const PCFILTER_DESCRIPTOR* Filter() const { return filter_; }
    DmusAllocator* Allocator() const { return allocator_; }
    DmusMasterClock* Clock() const { return clock_; }
    bool HasStreamingPin(bool capture) const;

    // Opens the render or capture stream of the first streaming pin of that direction, with the
    // pin's first data range as its format. PASSIVE_LEVEL.
    NTSTATUS OpenPin(bool capture, DmusPin** pin);
    size_t OpenPins() const;
    uint64_t Services() const;

    void ReleaseChildren();

  private:
    PortDMus() = default;
    ~PortDMus();

    volatile LONG refs_ = 1;
    PDEVICE_OBJECT deviceObject_ = nullptr;
    PMINIPORTDMUS miniport_ = nullptr;
    PPCFILTER_DESCRIPTOR filter_ = nullptr;
    PSERVICEGROUP registeredGroup_ = nullptr;  // the miniport's, referenced
    PSERVICEGROUP initGroup_ = nullptr;        // returned by the miniport's Init, referenced
    DmusAllocator* allocator_ = nullptr;
    DmusMasterClock* clock_ = nullptr;

    // Guards miniport_ and the capture list during a service (DISPATCH_LEVEL).
    mutable KSPIN_LOCK serviceLock_ = 0;
    static constexpr size_t kMaxCapturePins = 4;
    DmusPin* capturePins_[kMaxCapturePins] = {};  // referenced; pulled at every service
    uint64_t services_ = 0;

    mutable std::mutex pinsMutex_;
    std::vector<DmusPin*> pins_;  // referenced
    bool released_ = false;
};

}  // namespace q407::sim::portcls
