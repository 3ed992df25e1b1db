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
    auto* self = new (NonPagedPoolNx, kWavePciPoolTag) PortWavePci();
    if (self == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeSpinLock(&self->serviceLock_);
    *port = static_cast<IPortWavePci*>(self);
    return STATUS_SUCCESS;
}

PortWavePci* PortWavePci::FromBase(PortBase* port) {
    if (port == nullptr || port->Kind() != PortKind::WavePci) return nullptr;
    return static_cast<PortWavePci*>(port);
}

PortWavePci::~PortWavePci() {
    // Shutdown has run, or Init never bound a miniport.
    UnbindMiniport();
}

PVOID PortWavePci::QueryExtraInterface(REFIID iid) {
    if (IsEqualGUID(iid, IID_IServiceSink)) return static_cast<IServiceSink*>(this);
    return nullptr;
}

NTSTATUS PortWavePci::BindMiniport(PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                                   PRESOURCELIST resourceList) {
    PVOID object = nullptr;
    if (!NT_SUCCESS(unknownMiniport->QueryInterface(IID_IMiniportWavePci, &object)))
        return STATUS_INVALID_PARAMETER;
    // The miniport asks for its DMA channel from its Init, so it must see the port bound.
    miniport_ = static_cast<PMINIPORTWAVEPCI>(object);
    PSERVICEGROUP group = nullptr;
    NTSTATUS status = miniport_->Init(unknownAdapter, resourceList, this, &group);
    if (!NT_SUCCESS(status)) {
        UnbindMiniport();  // a failing miniport's service group is not ours to release
        return status;
    }
    serviceGroup_ = group;
    if (serviceGroup_ != nullptr) {
        status = serviceGroup_->AddMember(static_cast<IServiceSink*>(this));
        if (!NT_SUCCESS(status)) {
            serviceGroup_->Release();
            serviceGroup_ = nullptr;
            UnbindMiniport();
            return status;
        }
    }
    return STATUS_SUCCESS;
}

void PortWavePci::UnbindMiniport() {
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
    if (DeviceObject() == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
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
    const NTSTATUS status = DmaChannel::Create(DeviceObject(), request, &channel);
    if (NT_SUCCESS(status)) *dmaChannel = channel;
    return status;
}

STDMETHODIMP_(void) PortWavePci::RequestService() {
    // At DISPATCH_LEVEL under the lock, so that UnbindMiniport cannot let the miniport go
    // while its Service runs.
    KIRQL old;
    KeAcquireSpinLock(&serviceLock_, &old);
    if (miniport_ != nullptr) miniport_->Service();
    KeReleaseSpinLock(&serviceLock_, old);
}

bool PortWavePci::HasStreamingPin(bool capture) const {
    ULONG pinId = 0;
    return NT_SUCCESS(FindStreamingPin(Descriptor(), capture, PinMajor::Audio, &pinId));
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
    if (!EnterMiniportCall()) return STATUS_DEVICE_REMOVED;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lock(pinsMutex_);
        status = ended_ ? STATUS_DEVICE_REMOVED : OpenPinLocked(capture, format, pin);
    }
    LeaveMiniportCall();
    return status;
}

NTSTATUS PortWavePci::OpenPinLocked(bool capture, const WavePinFormat& format, WavePciPin** pin) {
    ForgetClosedPinsLocked();
    const PCFILTER_DESCRIPTOR* filter = Descriptor();
    ULONG pinId = 0;
    NTSTATUS status = FindStreamingPin(filter, capture, PinMajor::Audio, &pinId);
    if (!NT_SUCCESS(status)) return STATUS_INVALID_DEVICE_REQUEST;
    const PCPIN_DESCRIPTOR* descriptor = PinDescriptorAt(filter, pinId);
    const ULONG open = static_cast<ULONG>(std::count_if(
        pins_.begin(), pins_.end(), [pinId](WavePciPin* p) { return p->PinId() == pinId; }));
    if (open >= descriptor->MaxFilterInstanceCount || open >= descriptor->MaxGlobalInstanceCount)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = IntersectWaveFormat(miniport_, filter, pinId, format);
    if (!NT_SUCCESS(status)) return status;
    WavePciPin* created = nullptr;
    status = WavePciPin::Create(miniport_, pinId, capture, format, &created);
    if (!NT_SUCCESS(status)) return status;
    created->AddRef();  // the port's reference, for closing at the subdevice's end
    pins_.push_back(created);
    *pin = created;
    return STATUS_SUCCESS;
}

size_t PortWavePci::OpenPins() const {
    std::lock_guard lock(pinsMutex_);
    return static_cast<size_t>(
        std::count_if(pins_.begin(), pins_.end(), [](WavePciPin* p) { return !p->Closed(); }));
}

void PortWavePci::OnShutdown() {
    std::vector<WavePciPin*> pins;
    {
        std::lock_guard lock(pinsMutex_);
        ended_ = true;
        pins.swap(pins_);
    }
    for (WavePciPin* pin : pins) {
        pin->Close();
        pin->Release();
    }
}

}  // namespace q407::sim::portcls
