#include "sim/host/portcls/port_base.h"

#include <string>

#include "sim/host/portcls/adapter.h"
#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"

namespace q407::sim::portcls {

const char* PortKindName(PortKind kind) {
    switch (kind) {
        case PortKind::WaveCyclic:
            return "wave-cyclic";
        case PortKind::WavePci:
            return "wave-PCI";
        case PortKind::Topology:
            return "topology";
        case PortKind::DMus:
            return "DirectMusic";
    }
    return "unknown";
}

PortBase::PortBase(PortKind kind) : kind_(kind) {
    KeInitializeEvent(&callsDone_, NotificationEvent, FALSE);
}

PortBase::~PortBase() {
    if (initialized_) detail::ForgetBoundPort(deviceObject_, this);
    // A port whose miniport does not hold it ends here without Shutdown.
    if (!shutDown_) ReleaseMiniportReferences();
}

void PortBase::operator delete(void* p) {
    ExFreePool(p);
}

std::wstring PortBase::Name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void PortBase::SetName(const std::wstring& name) {
    std::lock_guard lock(mutex_);
    name_ = name;
}

std::vector<PortEventRecord> PortBase::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

size_t PortBase::EventEntriesAdded() const {
    std::lock_guard lock(mutex_);
    return eventEntries_;
}

const void* PortBase::Driver() const {
    return deviceObject_ != nullptr ? deviceObject_->DriverObject : nullptr;
}

ULONG PortBase::AddPortReference() {
    const LONG refs = InterlockedIncrement(&refs_);
    if (refs <= 1) BugCheck("IPort::AddRef", "reference to a port that was already released");
    return ULONG(refs);
}

bool PortBase::TryAddPortReference() {
    LONG refs = refs_;
    while (refs > 0) {
        const LONG seen = InterlockedCompareExchange(&refs_, refs + 1, refs);
        if (seen == refs) return true;
        refs = seen;
    }
    return false;
}

ULONG PortBase::ReleasePortReference() {
    const LONG refs = InterlockedDecrement(&refs_);
    if (refs < 0) BugCheck("IPort::Release", "port released more often than referenced");
    if (refs == 0) {
        delete this;
        return 0;
    }
    return ULONG(refs);
}

NTSTATUS PortBase::QueryPortInterface(REFIID iid, PVOID* object) {
    if (object == nullptr) BugCheck("IPort::QueryInterface", "null interface pointer");
    PVOID answer = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPort) ||
        IsEqualGUID(iid, PortInterfaceId())) {
        answer = PortInterface();
    } else if (IsEqualGUID(iid, IID_IPortEvents)) {
        answer = static_cast<IPortEvents*>(this);
    } else if (IsEqualGUID(iid, kIidEmulatedPort)) {
        answer = this;
    } else {
        answer = QueryExtraInterface(iid);
    }
    *object = answer;
    if (answer == nullptr) return STATUS_INVALID_PARAMETER;
    AddPortReference();
    return STATUS_SUCCESS;
}

PVOID PortBase::QueryExtraInterface(REFIID) {
    return nullptr;
}

NTSTATUS PortBase::InitPort(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
                            PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) {
    RequirePassive("IPort::Init");
    UNREFERENCED_PARAMETER(irp);
    if (deviceObject == nullptr) BugCheck("IPort::Init", "null device object");
    if (unknownMiniport == nullptr) BugCheck("IPort::Init", "null miniport");
    if (initialized_ || shutDown_)
        BugCheck("IPort::Init", std::string("the ") + PortKindName(kind_) +
                                    " port was initialised before: a port binds one miniport");
    deviceObject_ = deviceObject;

    NTSTATUS status =
        unknownMiniport->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&miniportUnknown_));
    if (NT_SUCCESS(status))
        status =
            unknownMiniport->QueryInterface(IID_IMiniport, reinterpret_cast<PVOID*>(&miniport_));
    if (!NT_SUCCESS(status)) {
        ReleaseMiniportReferences();
        return STATUS_INVALID_PARAMETER;
    }
    // Optional: a miniport that does not answer it hears of no power changes.
    if (!NT_SUCCESS(unknownMiniport->QueryInterface(IID_IPowerNotify,
                                                    reinterpret_cast<PVOID*>(&powerNotify_))))
        powerNotify_ = nullptr;

    status = BindMiniport(unknownMiniport, unknownAdapter, resourceList);
    if (!NT_SUCCESS(status)) {
        ReleaseMiniportReferences();
        return status;
    }
    PPCFILTER_DESCRIPTOR description = nullptr;
    status = miniport_->GetDescription(&description);
    if (NT_SUCCESS(status) && description == nullptr)
        BugCheck("IMiniport::GetDescription", "success without a filter description");
    if (!NT_SUCCESS(status)) {
        UnbindMiniport();
        ReleaseMiniportReferences();
        return status;
    }
    if (description->PinCount != 0 &&
        (description->Pins == nullptr || description->PinSize < sizeof(PCPIN_DESCRIPTOR)))
        BugCheck("IMiniport::GetDescription", "pins without a pin table of PCPIN_DESCRIPTOR size");
    if (description->NodeCount != 0 &&
        (description->Nodes == nullptr || description->NodeSize < sizeof(PCNODE_DESCRIPTOR)))
        BugCheck("IMiniport::GetDescription",
                 "nodes without a node table of PCNODE_DESCRIPTOR size");
    if (description->ConnectionCount != 0 && description->Connections == nullptr)
        BugCheck("IMiniport::GetDescription", "connections without a connection table");
    if (description->CategoryCount != 0 && description->Categories == nullptr)
        BugCheck("IMiniport::GetDescription", "categories without a category table");
    descriptor_ = description;
    initialized_ = true;
    detail::NoteBoundPort(deviceObject, this);
    return STATUS_SUCCESS;
}

void PortBase::ReleaseMiniportReferences() {
    descriptor_ = nullptr;
    if (powerNotify_ != nullptr) powerNotify_->Release();
    powerNotify_ = nullptr;
    if (miniport_ != nullptr) miniport_->Release();
    miniport_ = nullptr;
    if (miniportUnknown_ != nullptr) miniportUnknown_->Release();
    miniportUnknown_ = nullptr;
}

bool PortBase::EnterMiniportCall() {
    std::lock_guard lock(callMutex_);
    if (ending_ || !initialized_) return false;
    ++callsInFlight_;
    return true;
}

void PortBase::LeaveMiniportCall() {
    std::lock_guard lock(callMutex_);
    if (callsInFlight_ <= 0) BugCheck("LeaveMiniportCall", "no miniport call in flight");
    if (--callsInFlight_ == 0 && ending_) KeSetEvent(&callsDone_, IO_NO_INCREMENT, FALSE);
}

void PortBase::NotifyPowerChange(DEVICE_POWER_STATE state) {
    if (powerNotify_ == nullptr || !EnterMiniportCall()) return;
    POWER_STATE power;
    power.DeviceState = state;
    powerNotify_->PowerChangeNotify(power);
    LeaveMiniportCall();
}

void PortBase::Shutdown() {
    RequirePassive("PortBase::Shutdown");
    if (shutDown_) return;
    bool wait = false;
    {
        std::lock_guard lock(callMutex_);
        ending_ = true;
        wait = callsInFlight_ > 0;
    }
    if (wait) {
        // An emulated wait: a client's call may itself wait for the device in virtual time.
        (void)KeWaitForSingleObject(&callsDone_, Executive, KernelMode, FALSE,
                                    nullptr);  // no time-out: the calls end
    }
    OnShutdown();
    shutDown_ = true;
    if (initialized_) UnbindMiniport();
    ReleaseMiniportReferences();
}

STDMETHODIMP_(void) PortBase::AddEventToEventList(PKSEVENT_ENTRY eventEntry) {
    RequireAtMostDispatch("IPortEvents::AddEventToEventList");
    if (eventEntry == nullptr) BugCheck("IPortEvents::AddEventToEventList", "null event entry");
    std::lock_guard lock(mutex_);
    ++eventEntries_;
}

STDMETHODIMP_(void)
PortBase::GenerateEventList(GUID* set, ULONG eventId, BOOL pinEvent, ULONG pinId, BOOL nodeEvent,
                            ULONG nodeId) {
    RequireAtMostDispatch("IPortEvents::GenerateEventList");
    PortEventRecord record;
    record.set = set != nullptr ? *set : GUID{};
    record.eventId = eventId;
    record.pinEvent = pinEvent != 0;
    record.pinId = pinId;
    record.nodeEvent = nodeEvent != 0;
    record.nodeId = nodeId;
    std::lock_guard lock(mutex_);
    events_.push_back(record);
}

PortBase* ReferenceEmulatedPort(PUNKNOWN unknown) {
    if (unknown == nullptr) return nullptr;
    PVOID port = nullptr;
    if (!NT_SUCCESS(unknown->QueryInterface(kIidEmulatedPort, &port))) return nullptr;
    return static_cast<PortBase*>(port);
}

}  // namespace q407::sim::portcls
