// The DirectMusic port (IPortDMus): it binds a DirectMusic miniport, owns the event allocator and
// the master clock its streams are given, and opens render and capture streams for clients.
//
// The miniport registers its service group with the port; Notify makes the group request
// service, and the port's service (at DISPATCH_LEVEL) runs the miniport's Service and pulls the
// input of every capture stream into the sink connected to it. Notify without a group services
// the port at once.
//
// As with the wave-PCI port, the miniport keeps a reference to the port; the subdevice's end
// (Shutdown) closes the pins and lets the miniport go.
#pragma once

#include <mutex>
#include <vector>

#include "platform/portcls/portcls.h"
#include "sim/host/portcls/dmus_pin.h"
#include "sim/host/portcls/port_base.h"

namespace q407::sim::portcls {

class DmusAllocator;
class DmusMasterClock;

class PortDMus final : public PortOf<IPortDMus>, public IServiceSink {
  public:
    static NTSTATUS Create(PPORT* port);
    static PortDMus* FromBase(PortBase* port);

    // IUnknown, for both the port and its service sink.
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
        return PortOf<IPortDMus>::QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return PortOf<IPortDMus>::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return PortOf<IPortDMus>::Release(); }
    // IPortDMus
    STDMETHODIMP_(void) Notify(PSERVICEGROUP serviceGroup) override;
    STDMETHODIMP_(void) RegisterServiceGroup(PSERVICEGROUP serviceGroup) override;
    // IServiceSink
    STDMETHODIMP_(void) RequestService() override;

    DmusAllocator* Allocator() const { return allocator_; }
    DmusMasterClock* Clock() const { return clock_; }
    bool HasStreamingPin(bool capture) const;

    // Opens the render or capture stream of the first streaming pin of that direction, with the
    // pin's first data range as its format. PASSIVE_LEVEL.
    NTSTATUS OpenPin(bool capture, DmusPin** pin);
    size_t OpenPins() const;
    uint64_t Services() const;

  protected:
    const GUID& PortInterfaceId() const override { return IID_IPortDMus; }
    PVOID QueryExtraInterface(REFIID iid) override;
    NTSTATUS BindMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                          PRESOURCELIST resourceList) override;
    void UnbindMiniport() override;
    void OnShutdown() override;

  private:
    static constexpr size_t kMaxCapturePins = 4;

    PortDMus() : PortOf<IPortDMus>(PortKind::DMus) {}
    ~PortDMus() override;
    NTSTATUS OpenPinLocked(bool capture, DmusPin** pin);
    void ForgetClosedPinsLocked();

    PMINIPORTDMUS miniport_ = nullptr;
    PSERVICEGROUP registeredGroup_ = nullptr;  // the miniport's, referenced
    DmusAllocator* allocator_ = nullptr;
    DmusMasterClock* clock_ = nullptr;

    // Guards miniport_ and the capture list during a service (DISPATCH_LEVEL).
    mutable KSPIN_LOCK serviceLock_ = 0;
    DmusPin* capturePins_[kMaxCapturePins] = {};  // referenced; pulled at every service
    uint64_t services_ = 0;

    mutable std::mutex pinsMutex_;
    std::vector<DmusPin*> pins_;  // referenced
    bool ended_ = false;
};

}  // namespace q407::sim::portcls
