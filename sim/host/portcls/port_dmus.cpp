#include "sim/host/portcls/port_dmus.h"

#include <algorithm>
#include <new>

#include "sim/host/portcls/dmus_allocator.h"
#include "sim/host/portcls/dmus_master_clock.h"
#include "sim/host/portcls/pin_intersection.h"
#include "sim/host/portcls/port_pool_tags.h"
#include "sim/host/verifier.h"

namespace q407::sim::portcls {

NTSTATUS PortDMus::Create(PPORT* port) {
    *port = nullptr;
    auto* self = new (NonPagedPoolNx, kDmusPoolTag) PortDMus();
    if (self == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeSpinLock(&self->serviceLock_);
    NTSTATUS status =
        DmusAllocator::Create(DmusAllocator::kEvents, DmusAllocator::kBuffers, &self->allocator_);
    if (NT_SUCCESS(status)) status = DmusMasterClock::Create(&self->clock_);
    if (!NT_SUCCESS(status)) {
        self->ReleasePortReference();
        return status;
    }
    *port = static_cast<IPortDMus*>(self);
    return STATUS_SUCCESS;
}

PortDMus* PortDMus::FromBase(PortBase* port) {
    if (port == nullptr || port->Kind() != PortKind::DMus) return nullptr;
    return static_cast<PortDMus*>(port);
}

PortDMus::~PortDMus() {
    UnbindMiniport();
    if (clock_ != nullptr) clock_->Release();
    if (allocator_ != nullptr) allocator_->Release();
}

PVOID PortDMus::QueryExtraInterface(REFIID iid) {
    if (IsEqualGUID(iid, IID_IServiceSink)) return static_cast<IServiceSink*>(this);
    return nullptr;
}

NTSTATUS PortDMus::BindMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                                PRESOURCELIST resourceList) {
    PVOID object = nullptr;
    if (!NT_SUCCESS(unknownMiniport->QueryInterface(IID_IMiniportDMus, &object)))
        return STATUS_INVALID_PARAMETER;
    miniport_ = static_cast<PMINIPORTDMUS>(object);
    PSERVICEGROUP group = nullptr;
    const NTSTATUS status = miniport_->Init(unknownAdapter, resourceList, this, &group);
    if (!NT_SUCCESS(status)) {
        UnbindMiniport();  // a failing miniport's service group is not ours to release
        return status;
    }
    // The group Init returns is serviced like a registered one.
    if (group != nullptr) {
        if (group != registeredGroup_) RegisterServiceGroup(group);
        group->Release();
    }
    return STATUS_SUCCESS;
}

void PortDMus::UnbindMiniport() {
    if (registeredGroup_ != nullptr) {
        registeredGroup_->RemoveMember(static_cast<IServiceSink*>(this));
        registeredGroup_->Release();
        registeredGroup_ = nullptr;
    }
    KIRQL old;
    KeAcquireSpinLock(&serviceLock_, &old);
    PMINIPORTDMUS miniport = miniport_;
    miniport_ = nullptr;
    KeReleaseSpinLock(&serviceLock_, old);
    if (miniport != nullptr) miniport->Release();
}

STDMETHODIMP_(void) PortDMus::Notify(PSERVICEGROUP serviceGroup) {
    RequireAtMostDispatch("IPortDMus::Notify");
    if (serviceGroup != nullptr)
        serviceGroup->RequestService();
    else
        RequestService();
}

STDMETHODIMP_(void) PortDMus::RegisterServiceGroup(PSERVICEGROUP serviceGroup) {
    RequirePassive("IPortDMus::RegisterServiceGroup");
    if (serviceGroup == nullptr || serviceGroup == registeredGroup_) return;
    if (registeredGroup_ != nullptr) {
        registeredGroup_->RemoveMember(static_cast<IServiceSink*>(this));
        registeredGroup_->Release();
    }
    serviceGroup->AddRef();
    registeredGroup_ = serviceGroup;
    const NTSTATUS status = registeredGroup_->AddMember(static_cast<IServiceSink*>(this));
    if (!NT_SUCCESS(status))
        BugCheck("IPortDMus::RegisterServiceGroup", "the service group refused the port");
}

STDMETHODIMP_(void) PortDMus::RequestService() {
    KIRQL old;
    KeAcquireSpinLock(&serviceLock_, &old);
    ++services_;
    if (miniport_ != nullptr) miniport_->Service();
    for (DmusPin* pin : capturePins_)
        if (pin != nullptr) pin->PullInput();
    KeReleaseSpinLock(&serviceLock_, old);
}

bool PortDMus::HasStreamingPin(bool capture) const {
    ULONG pinId = 0;
    return NT_SUCCESS(FindStreamingPin(Descriptor(), capture, PinMajor::Music, &pinId));
}

NTSTATUS PortDMus::OpenPin(bool capture, DmusPin** pin) {
    RequirePassive("PortDMus::OpenPin");
    *pin = nullptr;
    if (!EnterMiniportCall()) return STATUS_DEVICE_REMOVED;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lock(pinsMutex_);
        status = ended_ ? STATUS_DEVICE_REMOVED : OpenPinLocked(capture, pin);
    }
    LeaveMiniportCall();
    return status;
}

// Pins closed by their clients leave the books.
void PortDMus::ForgetClosedPinsLocked() {
    for (auto it = pins_.begin(); it != pins_.end();) {
        if (!(*it)->Closed()) {
            ++it;
            continue;
        }
        DmusPin* closed = *it;
        KIRQL old;
        KeAcquireSpinLock(&serviceLock_, &old);
        for (DmusPin*& slot : capturePins_)
            if (slot == closed) slot = nullptr;
        KeReleaseSpinLock(&serviceLock_, old);
        if (closed->Capture()) closed->Release();  // the capture slot's reference
        closed->Release();
        it = pins_.erase(it);
    }
}

NTSTATUS PortDMus::OpenPinLocked(bool capture, DmusPin** pin) {
    ForgetClosedPinsLocked();
    const PCFILTER_DESCRIPTOR* filter = Descriptor();
    ULONG pinId = 0;
    NTSTATUS status = FindStreamingPin(filter, capture, PinMajor::Music, &pinId);
    if (!NT_SUCCESS(status)) return STATUS_INVALID_DEVICE_REQUEST;
    const PCPIN_DESCRIPTOR* descriptor = PinDescriptorAt(filter, pinId);
    const ULONG open = static_cast<ULONG>(std::count_if(
        pins_.begin(), pins_.end(), [pinId](DmusPin* p) { return p->PinId() == pinId; }));
    if (open >= descriptor->MaxFilterInstanceCount || open >= descriptor->MaxGlobalInstanceCount)
        return STATUS_INSUFFICIENT_RESOURCES;
    size_t slot = 0;
    if (capture) {
        while (slot < kMaxCapturePins && capturePins_[slot] != nullptr) ++slot;
        if (slot == kMaxCapturePins) return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The port's own intersection: the pin's first range is the format.
    const PKSDATARANGE range = descriptor->KsPinDescriptor.DataRanges[0];
    KSDATAFORMAT format = *reinterpret_cast<const KSDATAFORMAT*>(range);
    format.FormatSize = sizeof(KSDATAFORMAT);
    DmusPin* created = nullptr;
    status = DmusPin::Create(miniport_, pinId, capture, &format, allocator_, clock_, &created);
    if (!NT_SUCCESS(status)) return status;
    created->AddRef();  // the port's reference, for closing at the subdevice's end
    pins_.push_back(created);
    if (capture) {
        created->AddRef();  // the capture slot's
        KIRQL old;
        KeAcquireSpinLock(&serviceLock_, &old);
        capturePins_[slot] = created;
        KeReleaseSpinLock(&serviceLock_, old);
    }
    *pin = created;
    return STATUS_SUCCESS;
}

size_t PortDMus::OpenPins() const {
    std::lock_guard lock(pinsMutex_);
    return static_cast<size_t>(
        std::count_if(pins_.begin(), pins_.end(), [](DmusPin* p) { return !p->Closed(); }));
}

uint64_t PortDMus::Services() const {
    KIRQL old;
    KeAcquireSpinLock(&serviceLock_, &old);
    const uint64_t services = services_;
    KeReleaseSpinLock(&serviceLock_, old);
    return services;
}

void PortDMus::OnShutdown() {
    std::vector<DmusPin*> pins;
    DmusPin* captures[kMaxCapturePins] = {};
    {
        std::lock_guard lock(pinsMutex_);
        ended_ = true;
        pins.swap(pins_);
        KIRQL old;
        KeAcquireSpinLock(&serviceLock_, &old);
        for (size_t i = 0; i < kMaxCapturePins; ++i) {
            captures[i] = capturePins_[i];
            capturePins_[i] = nullptr;
        }
        KeReleaseSpinLock(&serviceLock_, old);
    }
    for (DmusPin* pin : captures)
        if (pin != nullptr) pin->Release();
    for (DmusPin* pin : pins) {
        pin->Close();
        pin->Release();
    }
}

}  // namespace q407::sim::portcls
