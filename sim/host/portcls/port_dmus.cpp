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
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(PortDMus), kDmusPoolTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* self = new (memory) PortDMus();
    KeInitializeSpinLock(&self->serviceLock_);
    *port = static_cast<IPortDMus*>(self);
    return STATUS_SUCCESS;
}

PortDMus* PortDMus::FromPort(PPORT port) {
    if (port == nullptr) return nullptr;
    PVOID object = nullptr;
    if (!NT_SUCCESS(port->QueryInterface(IID_IPortDMus, &object))) return nullptr;
    // This port is the emulation's only IPortDMus.
    auto* self = static_cast<PortDMus*>(static_cast<IPortDMus*>(object));
    self->Release();
    return self;
}

PortDMus::~PortDMus() {
    if (miniport_ != nullptr) miniport_->Release();
    if (registeredGroup_ != nullptr) registeredGroup_->Release();
    if (initGroup_ != nullptr) initGroup_->Release();
    if (clock_ != nullptr) clock_->Release();
    if (allocator_ != nullptr) allocator_->Release();
}

STDMETHODIMP_(NTSTATUS) PortDMus::QueryInterface(REFIID iid, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPort) ||
        IsEqualGUID(iid, IID_IPortDMus)) {
        *object = static_cast<IPortDMus*>(this);
    } else if (IsEqualGUID(iid, IID_IServiceSink)) {
        *object = static_cast<IServiceSink*>(this);
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) PortDMus::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
}

STDMETHODIMP_(ULONG) PortDMus::Release() {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) {
        this->~PortDMus();
        ExFreePoolWithTag(this, kDmusPoolTag);
    }
    return static_cast<ULONG>(left);
}

STDMETHODIMP_(NTSTATUS)
PortDMus::Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
               PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) {
    UNREFERENCED_PARAMETER(irp);  // the start request: nothing of it is needed here
    RequirePassive("IPortDMus::Init");
    if (miniport_ != nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (deviceObject == nullptr || unknownMiniport == nullptr) return STATUS_INVALID_PARAMETER;
    PVOID object = nullptr;
    NTSTATUS status = unknownMiniport->QueryInterface(IID_IMiniportDMus, &object);
    if (!NT_SUCCESS(status)) return status;
    auto* miniport = static_cast<PMINIPORTDMUS>(object);
    deviceObject_ = deviceObject;

    if (allocator_ == nullptr)
        status =
            DmusAllocator::Create(DmusAllocator::kEvents, DmusAllocator::kBuffers, &allocator_);
    if (NT_SUCCESS(status) && clock_ == nullptr) status = DmusMasterClock::Create(&clock_);
    if (NT_SUCCESS(status)) status = miniport->GetDescription(&filter_);
    if (NT_SUCCESS(status) && filter_ == nullptr) status = STATUS_INVALID_DEVICE_REQUEST;
    PSERVICEGROUP group = nullptr;
    if (NT_SUCCESS(status)) {
        miniport_ = miniport;
        status = miniport->Init(unknownAdapter, resourceList, this, &group);
        if (!NT_SUCCESS(status)) {
            miniport_ = nullptr;
            group = nullptr;  // a failing miniport's out value is not ours
        }
    }
    if (!NT_SUCCESS(status)) {
        filter_ = nullptr;
        miniport->Release();
        return status;
    }
    // The group Init returns is serviced like a registered one.
    initGroup_ = group;
    if (group != nullptr && group != registeredGroup_) RegisterServiceGroup(group);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
PortDMus::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength,
                            PVOID propertyBuffer, PULONG resultLength) {
    UNREFERENCED_PARAMETER(property);
    UNREFERENCED_PARAMETER(bufferLength);
    UNREFERENCED_PARAMETER(propertyBuffer);
    if (resultLength != nullptr) *resultLength = 0;
    return STATUS_NOT_SUPPORTED;  // the machine keeps no registry properties for devices
}

STDMETHODIMP_(NTSTATUS)
PortDMus::NewRegistryKey(PREGISTRYKEY* key, PUNKNOWN outer, ULONG keyType, ACCESS_MASK access,
                         POBJECT_ATTRIBUTES attributes, ULONG createOptions, PULONG disposition) {
    UNREFERENCED_PARAMETER(outer);
    UNREFERENCED_PARAMETER(keyType);
    UNREFERENCED_PARAMETER(access);
    UNREFERENCED_PARAMETER(attributes);
    UNREFERENCED_PARAMETER(createOptions);
    UNREFERENCED_PARAMETER(disposition);
    if (key != nullptr) *key = nullptr;
    return STATUS_NOT_SUPPORTED;  // the emulation offers no registry key objects
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
    return NT_SUCCESS(FindStreamingPin(filter_, capture, PinMajor::Music, &pinId));
}

NTSTATUS PortDMus::OpenPin(bool capture, DmusPin** pin) {
    RequirePassive("PortDMus::OpenPin");
    *pin = nullptr;
    std::lock_guard lock(pinsMutex_);
    if (released_ || miniport_ == nullptr) return STATUS_DEVICE_REMOVED;
    // Pins closed by their clients leave the books.
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
    ULONG pinId = 0;
    NTSTATUS status = FindStreamingPin(filter_, capture, PinMajor::Music, &pinId);
    if (!NT_SUCCESS(status)) return STATUS_INVALID_DEVICE_REQUEST;
    const PCPIN_DESCRIPTOR* descriptor = PinDescriptorAt(filter_, pinId);
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
    created->AddRef();  // the port's reference, for closing at removal
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

void PortDMus::ReleaseChildren() {
    RequirePassive("PortDMus::ReleaseChildren");
    std::vector<DmusPin*> pins;
    DmusPin* captures[kMaxCapturePins] = {};
    {
        std::lock_guard lock(pinsMutex_);
        if (released_) return;
        released_ = true;
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
    if (registeredGroup_ != nullptr) {
        registeredGroup_->RemoveMember(static_cast<IServiceSink*>(this));
        registeredGroup_->Release();
        registeredGroup_ = nullptr;
    }
    if (initGroup_ != nullptr) {
        initGroup_->Release();
        initGroup_ = nullptr;
    }
    KIRQL old;
    KeAcquireSpinLock(&serviceLock_, &old);
    PMINIPORTDMUS miniport = miniport_;
    miniport_ = nullptr;
    KeReleaseSpinLock(&serviceLock_, old);
    if (miniport != nullptr) miniport->Release();
}

}  // namespace q407::sim::portcls
