// What every emulated port has in common: reference counting, IPort (Init binds the miniport
// and reads its filter description), IPortEvents (events the miniport generates are recorded so
// tests and the audio stack can see them), power notification of the miniport, and the
// subdevice's end (Shutdown: the port lets go of its miniport, which breaks the reference cycle
// between the two).
//
// A concrete port derives from PortOf<its port interface> and supplies the miniport binding.
// Ports live in pool under kPortClassPoolTag (or their own tag), so a port or miniport left
// behind shows in the leak report of the driver that created it.
//
// IRQL: Init, Shutdown, the miniport calls made through EnterMiniportCall at PASSIVE_LEVEL;
// reference counting and GenerateEventList at DISPATCH_LEVEL or below.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/portcls/portcls.h"

namespace q407::sim::portcls {

inline constexpr ULONG kPortClassPoolTag = POOL_TAG("ZPpc");

// Answers QueryInterface with the PortBase* of an emulated port; never leaves the emulation.
// {5E8C6B1A-2D4F-4C1E-9A07-3B6E1F0D2C41}
inline constexpr GUID kIidEmulatedPort = {
    0x5E8C6B1Au, 0x2D4Fu, 0x4C1Eu, {0x9Au, 0x07u, 0x3Bu, 0x6Eu, 0x1Fu, 0x0Du, 0x2Cu, 0x41u}};

enum class PortKind { WaveCyclic, WavePci, Topology, DMus };
const char* PortKindName(PortKind kind);

// One GenerateEventList call of the miniport.
struct PortEventRecord {
    GUID set{};
    ULONG eventId = 0;
    bool pinEvent = false;
    ULONG pinId = 0;
    bool nodeEvent = false;
    ULONG nodeId = 0;
};

class PortBase : public IPortEvents {
  public:
    PortKind Kind() const { return kind_; }
    // The adapter's device object given to Init; null before.
    PDEVICE_OBJECT DeviceObject() const { return deviceObject_; }
    // The miniport's filter description, read at Init; null before Init and after Shutdown.
    const PCFILTER_DESCRIPTOR* Descriptor() const { return descriptor_; }
    bool Initialized() const { return initialized_; }
    bool ShutDown() const { return shutDown_; }
    // The subdevice name once registered ("" before).
    std::wstring Name() const;
    void SetName(const std::wstring& name);

    // Events the miniport generated, oldest first.
    std::vector<PortEventRecord> Events() const;
    size_t EventEntriesAdded() const;

    // Brackets a call into the miniport made on behalf of a client (property requests, pins).
    // False when the subdevice is ending: the miniport may no longer be called.
    bool EnterMiniportCall();
    void LeaveMiniportCall();
    // The miniport's IMiniport while bound (use inside EnterMiniportCall/LeaveMiniportCall).
    PMINIPORT Miniport() const { return miniport_; }
    // The miniport's IUnknown while bound: the MajorTarget of its property requests.
    PUNKNOWN MiniportUnknown() const { return miniportUnknown_; }
    // The driver the miniport belongs to (its allocations are charged to it).
    const void* Driver() const;

    // Tells the miniport of a device power change when it answers IPowerNotify.
    void NotifyPowerChange(DEVICE_POWER_STATE state);

    // The subdevice ends: OnShutdown (ends pins and streams), waits for client calls in flight,
    // releases the miniport. Idempotent. PASSIVE_LEVEL.
    void Shutdown();

    // The reference counting of the port object as a whole.
    ULONG AddPortReference();
    ULONG ReleasePortReference();
    // A reference unless the port is already being destroyed (its count reached 0).
    bool TryAddPortReference();

    // IPortEvents (the IUnknown slots are the concrete port's).
    STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY eventEntry) override;
    STDMETHODIMP_(void)
    GenerateEventList(GUID* set, ULONG eventId, BOOL pinEvent, ULONG pinId, BOOL nodeEvent,
                      ULONG nodeId) override;

    // Ports live in pool.
    static void operator delete(void* p);

  protected:
    explicit PortBase(PortKind kind);
    virtual ~PortBase();

    // IPort::Init, common to every port: checks the call, binds the miniport (BindMiniport),
    // reads its description and remembers power notification.
    NTSTATUS InitPort(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
                      PUNKNOWN unknownAdapter, PRESOURCELIST resourceList);
    // QueryInterface for the common interfaces; the concrete port's interface comes from
    // PortInterface().
    NTSTATUS QueryPortInterface(REFIID iid, PVOID* object);

    // The port as its own port interface (IPortTopology*, IPortWavePci*, ...).
    virtual PUNKNOWN PortInterface() = 0;
    virtual const GUID& PortInterfaceId() const = 0;
    // Further interfaces a port answers (null: none).
    virtual PVOID QueryExtraInterface(REFIID iid);
    // Asks the miniport for its class's interface and calls its Init with this port; keeps the
    // interface on success.
    virtual NTSTATUS BindMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                                  PRESOURCELIST resourceList) = 0;
    // Releases the interface BindMiniport kept.
    virtual void UnbindMiniport() = 0;
    // The subdevice ends: pins and streams are closed before the miniport goes.
    virtual void OnShutdown() {}

  private:
    void ReleaseMiniportReferences();

    const PortKind kind_;
    volatile LONG refs_ = 1;
    PDEVICE_OBJECT deviceObject_ = nullptr;
    PUNKNOWN miniportUnknown_ = nullptr;
    PMINIPORT miniport_ = nullptr;
    PPOWERNOTIFY powerNotify_ = nullptr;
    const PCFILTER_DESCRIPTOR* descriptor_ = nullptr;
    bool initialized_ = false;
    bool shutDown_ = false;

    // Client calls into the miniport in flight, and the event Shutdown waits on for them.
    mutable std::mutex callMutex_;
    LONG callsInFlight_ = 0;
    bool ending_ = false;
    KEVENT callsDone_;

    mutable std::mutex mutex_;
    std::wstring name_;
    std::vector<PortEventRecord> events_;
    size_t eventEntries_ = 0;
};

// The IUnknown and IPort slots of a concrete port whose interface is PortInterfaceT.
template <class PortInterfaceT>
class PortOf : public PortInterfaceT, public PortBase {
  public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
        return QueryPortInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddPortReference(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleasePortReference(); }

    STDMETHODIMP_(NTSTATUS)
    Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
         PRESOURCELIST resourceList) override {
        return InitPort(deviceObject, irp, unknownMiniport, unknownAdapter, resourceList);
    }
    // The bench keeps no device registry values for ports to read.
    STDMETHODIMP_(NTSTATUS)
    GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG resultLength) override {
        if (resultLength != nullptr) *resultLength = 0;
        return STATUS_NOT_SUPPORTED;
    }
    STDMETHODIMP_(NTSTATUS)
    NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES,
                   ULONG, PULONG) override {
        if (outRegistryKey != nullptr) *outRegistryKey = nullptr;
        return STATUS_NOT_SUPPORTED;
    }

  protected:
    explicit PortOf(PortKind kind) : PortBase(kind) {}
    PUNKNOWN PortInterface() override {
        PortInterfaceT* port = this;
        return port;
    }
};

// A port whose miniport's Init takes (adapter, resources, port): the miniport is bound through its
// own interface and released when the port lets it go.
template <typename PortInterfaceT, typename MiniportInterfaceT>
class MiniportBindingPortOf : public PortOf<PortInterfaceT> {
  public:
    ~MiniportBindingPortOf() override {
        if (miniport_ != nullptr) miniport_->Release();
    }

  protected:
    MiniportBindingPortOf(PortKind kind, const GUID& miniportId)
        : PortOf<PortInterfaceT>(kind), miniportId_(miniportId) {}
    NTSTATUS BindMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                          PRESOURCELIST resourceList) override {
        NTSTATUS status =
            unknownMiniport->QueryInterface(miniportId_, reinterpret_cast<PVOID*>(&miniport_));
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
    const GUID& miniportId_;
    MiniportInterfaceT* miniport_ = nullptr;
};

// Creates a port of class PortT from the port-class pool; null and
// STATUS_INSUFFICIENT_RESOURCES when the pool refuses.
template <typename PortT>
NTSTATUS NewPortObject(PPORT* port, ULONG tag) {
    auto* created = new (NonPagedPoolNx, tag) PortT();
    *port = created;
    return created != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// The emulated port behind an IUnknown, referenced (release with ReleasePortReference), or null
// for anything else.
PortBase* ReferenceEmulatedPort(PUNKNOWN unknown);

}  // namespace q407::sim::portcls
