#include "sim/host/portcls/port_wave_pci.h"

#include <algorithm>
#include <new>

#include "sim/host/portcls/dma_channel.h"
#include "sim/host/portcls/pin_intersection.h"
#include "sim/host/portcls/port_pool_tags.h"
#include "sim/host/verifier.h"

namespace q407::sim::portcls {

NTSTATUS PortWavePci::Create(PPORT* port) {
    *port = nullptr;
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(PortWavePci), kWavePciPoolTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* self = new (memory) PortWavePci();
    KeInitializeSpinLock(&self->serviceLock_);
    *port = static_cast<IPortWavePci*>(self);
    return STATUS_SUCCESS;
}

PortWavePci* PortWavePci::FromPort(PPORT port) {
    if (port == nullptr) return nullptr;
    PVOID object = nullptr;
    if (!NT_SUCCESS(port->QueryInterface(IID_IPortWavePci, &object))) return nullptr;
    // This port is the emulation's only IPortWavePci.
    auto* self = static_cast<PortWavePci*>(static_cast<IPortWavePci*>(object));
    self->Release();
    return self;
}

PortWavePci::~PortWavePci() {
    // ReleaseChildren has run, or Init never bound a miniport.
    if (miniport_ != nullptr) miniport_->Release();
    if (serviceGroup_ != nullptr) serviceGroup_->Release();
}

STDMETHODIMP_(NTSTATUS) PortWavePci::QueryInterface(REFIID iid, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPort) ||
        IsEqualGUID(iid, IID_IPortWavePci)) {
        *object = static_cast<IPortWavePci*>(this);
    } else if (IsEqualGUID(iid, IID_IServiceSink)) {
        *object = static_cast<IServiceSink*>(this);
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) PortWavePci::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
}

STDMETHODIMP_(ULONG) PortWavePci::Release() {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) {
        this->~PortWavePci();
        ExFreePoolWithTag(this, kWavePciPoolTag);
    }
    return static_cast<ULONG>(left);
}

STDMETHODIMP_(NTSTATUS)
PortWavePci::Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
                  PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) {
    UNREFERENCED_PARAMETER(irp);  // the start request: nothing of it is needed here
    RequirePassive("IPortWavePci::Init");
    if (miniport_ != nullptr) return STATUS_INVALID_DEVICE_REQUEST;  // bound once only
    if (deviceObject == nullptr || unknownMiniport == nullptr) return STATUS_INVALID_PARAMETER;
    PVOID object = nullptr;
    NTSTATUS status = unknownMiniport->QueryInterface(IID_IMiniportWavePci, &object);
    if (!NT_SUCCESS(status)) return status;
    auto* miniport = static_cast<PMINIPORTWAVEPCI>(object);
    deviceObject_ = deviceObject;

    status = miniport->GetDescription(&filter_);
    if (NT_SUCCESS(status) && filter_ == nullptr) status = STATUS_INVALID_DEVICE_REQUEST;
    PSERVICEGROUP group = nullptr;
    if (NT_SUCCESS(status)) {
        // The miniport may ask for its DMA channel from here, so it must see the port bound.
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
    serviceGroup_ = group;
    if (serviceGroup_ != nullptr) {
        status = serviceGroup_->AddMember(static_cast<IServiceSink*>(this));
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
PortWavePci::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength,
                               PVOID propertyBuffer, PULONG resultLength) {
    UNREFERENCED_PARAMETER(property);
    UNREFERENCED_PARAMETER(bufferLength);
    UNREFERENCED_PARAMETER(propertyBuffer);
    if (resultLength != nullptr) *resultLength = 0;
    return STATUS_NOT_SUPPORTED;  // the machine keeps no registry properties for devices
}

STDMETHODIMP_(NTSTATUS)
PortWavePci::NewRegistryKey(PREGISTRYKEY* key, PUNKNOWN outer, ULONG keyType, ACCESS_MASK access,
                            POBJECT_ATTRIBUTES attributes, ULONG createOptions,
                            PULONG disposition) {
    UNREFERENCED_PARAMETER(outer);
    UNREFERENCED_PARAMETER(keyType);
    UNREFERENCED_PARAMETER(access);
    UNREFERENCED_PARAMETER(attributes);
    UNREFERENCED_PARAMETER(createOptions);
    UNREFERENCED_PARAMETER(disposition);
    if (key != nullptr) *key = nullptr;
    return STATUS_NOT_SUPPORTED;  // the emulation offers no registry key objects
}

STDMETHODIMP_(void) PortWavePci::Notify(PSERVICEGROUP serviceGroup) {
    RequireAtMostDispatch("IPortWavePci::Notify");
    if (serviceGroup != nullptr) serviceGroup->RequestService();
}

STDMETHODIMP_(NTSTATUS)
PortWavePci::NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outer, POOL_TYPE poolType,
                                 PRESOURCELIST resourceList, BOOLEAN scatterGather,
                                 BOOLEAN dma32BitAddresses, BOOLEAN dma64BitAddresses,
                                 BOOLEAN ignoreCount, DMA_WIDTH dmaWidth, DMA_SPEED dmaSpeed,
                                 ULONG maximumLength, ULONG dmaPort) {
    UNREFERENCED_PARAMETER(outer);         // the channel is never aggregated here
    UNREFERENCED_PARAMETER(poolType);      // the channel object lives in the port's pool
    UNREFERENCED_PARAMETER(resourceList);  // a bus-master channel needs no DMA resource
    RequirePassive("IPortWavePci::NewMasterDmaChannel");
    if (dmaChannel == nullptr) return STATUS_INVALID_PARAMETER;
    *dmaChannel = nullptr;
    if (deviceObject_ == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    DmaChannelRequest request;
    request.scatterGather = scatterGather;
    request.dma32BitAddresses = dma32BitAddresses;
    request.dma64BitAddresses = dma64BitAddresses;
    request.ignoreCount = ignoreCount;
    request.dmaWidth = dmaWidth;
    request.dmaSpeed = dmaSpeed;
    request.maximumLength = maximumLength;
    request.dmaPort = dmaPort;
    DmaChannel* channel = nullptr;
    const NTSTATUS status = DmaChannel::Create(deviceObject_, request, &channel);
    if (NT_SUCCESS(status)) *dmaChannel = channel;
    return status;
}

STDMETHODIMP_(void) PortWavePci::RequestService() {
    // At DISPATCH_LEVEL under the lock, so that ReleaseChildren cannot let the miniport go
    // while its Service runs.
    KIRQL old;
    KeAcquireSpinLock(&serviceLock_, &old);
    if (miniport_ != nullptr) miniport_->Service();
    KeReleaseSpinLock(&serviceLock_, old);
}

bool PortWavePci::HasStreamingPin(bool capture) const {
    ULONG pinId = 0;
    return NT_SUCCESS(FindStreamingPin(filter_, capture, PinMajor::Audio, &pinId));
}

void PortWavePci::ForgetClosedPinsLocked() {
    auto closed = std::stable_partition(pins_.begin(), pins_.end(),
                                        [](WavePciPin* pin) { return !pin->Closed(); });
    for (auto it = closed; it != pins_.end(); ++it) (*it)->Release();
    pins_.erase(closed, pins_.end());
}

NTSTATUS PortWavePci::OpenPin(bool capture, const WavePinFormat& format, WavePciPin** pin) {
    RequirePassive("PortWavePci::OpenPin");
    *pin = nullptr;
    std::lock_guard lock(pinsMutex_);
    if (released_ || miniport_ == nullptr) return STATUS_DEVICE_REMOVED;
    ForgetClosedPinsLocked();
    ULONG pinId = 0;
    NTSTATUS status = FindStreamingPin(filter_, capture, PinMajor::Audio, &pinId);
    if (!NT_SUCCESS(status)) return STATUS_INVALID_DEVICE_REQUEST;
    const PCPIN_DESCRIPTOR* descriptor = PinDescriptorAt(filter_, pinId);
    const ULONG open = static_cast<ULONG>(std::count_if(
        pins_.begin(), pins_.end(), [pinId](WavePciPin* p) { return p->PinId() == pinId; }));
    if (open >= descriptor->MaxFilterInstanceCount || open >= descriptor->MaxGlobalInstanceCount)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = IntersectWaveFormat(miniport_, filter_, pinId, format);
    if (!NT_SUCCESS(status)) return status;
    WavePciPin* created = nullptr;
    status = WavePciPin::Create(miniport_, pinId, capture, format, &created);
    if (!NT_SUCCESS(status)) return status;
    created->AddRef();  // the port's reference, for closing at removal
    pins_.push_back(created);
    *pin = created;
    return STATUS_SUCCESS;
}

size_t PortWavePci::OpenPins() const {
    std::lock_guard lock(pinsMutex_);
    return static_cast<size_t>(
        std::count_if(pins_.begin(), pins_.end(), [](WavePciPin* p) { return !p->Closed(); }));
}

void PortWavePci::ReleaseChildren() {
    RequirePassive("PortWavePci::ReleaseChildren");
    std::vector<WavePciPin*> pins;
    {
        std::lock_guard lock(pinsMutex_);
        if (released_) return;
        released_ = true;
        pins.swap(pins_);
    }
    for (WavePciPin* pin : pins) {
        pin->Close();
        pin->Release();
    }
    if (serviceGroup_ != nullptr) {
        serviceGroup_->RemoveMember(static_cast<IServiceSink*>(this));
        serviceGroup_->Release();
        serviceGroup_ = nullptr;
    }
    KIRQL old;
    KeAcquireSpinLock(&serviceLock_, &old);
    PMINIPORTWAVEPCI miniport = miniport_;
    miniport_ = nullptr;
    KeReleaseSpinLock(&serviceLock_, old);
    if (miniport != nullptr) miniport->Release();
}

}  // namespace q407::sim::portcls
