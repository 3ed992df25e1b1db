#include "sim/host/portcls/dma_channel.h"

#include <new>
#include <string>

#include "sim/host/portcls/port_pool_tags.h"
#include "sim/host/verifier.h"

namespace q407::sim::portcls {
namespace {

constexpr ULONG kPageBytes = 4096;

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours: freed below
}

}  // namespace

NTSTATUS QueryDeviceInterface(PDEVICE_OBJECT deviceObject, const GUID& type, USHORT size,
                              USHORT version, PINTERFACE record) {
    RequirePassive("QueryDeviceInterface");
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(deviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &type;
    next->Parameters.QueryInterface.Size = size;
    next->Parameters.QueryInterface.Version = version;
    next->Parameters.QueryInterface.Interface = record;
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return status;
}

NTSTATUS DmaChannel::Create(PDEVICE_OBJECT deviceObject, const DmaChannelRequest& request,
                            DmaChannel** channel) {
    *channel = nullptr;
    if (deviceObject == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(DmaChannel), kWavePciPoolTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* self = new (memory) DmaChannel();

    NTSTATUS status = QueryDeviceInterface(deviceObject, GUID_BUS_INTERFACE_STANDARD,
                                           sizeof(BUS_INTERFACE_STANDARD), 1,
                                           reinterpret_cast<PINTERFACE>(&self->bus_));
    if (!NT_SUCCESS(status)) {
        self->Release();
        return status;
    }
    self->haveBus_ = true;
    if (self->bus_.GetDmaAdapter == nullptr) {
        self->Release();
        return STATUS_NOT_SUPPORTED;
    }

    DEVICE_DESCRIPTION& d = self->description_;
    d.Version = DEVICE_DESCRIPTION_VERSION;
    d.Master = TRUE;
    d.ScatterGather = request.scatterGather;
    d.Dma32BitAddresses = request.dma32BitAddresses;
    d.Dma64BitAddresses = request.dma64BitAddresses;
    d.IgnoreCount = request.ignoreCount;
    d.InterfaceType = PCIBus;
    d.DmaWidth = request.dmaWidth;
    d.DmaSpeed = request.dmaSpeed;
    d.MaximumLength = request.maximumLength;
    d.DmaPort = request.dmaPort;
    self->adapter_ = self->bus_.GetDmaAdapter(self->bus_.Context, &d, &self->mapRegisters_);
    if (self->adapter_ == nullptr || self->adapter_->DmaOperations == nullptr) {
        self->adapter_ = nullptr;
        self->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // What one transfer can cover: the map registers' pages, or the length asked for.
    self->maximumSize_ = self->mapRegisters_ * kPageBytes;
    if (self->maximumSize_ < request.maximumLength) self->maximumSize_ = request.maximumLength;
    *channel = self;
    return STATUS_SUCCESS;
}

DmaChannel::~DmaChannel() {
    FreeBuffer();
    if (adapter_ != nullptr) adapter_->DmaOperations->PutDmaAdapter(adapter_);
    if (haveBus_ && bus_.InterfaceDereference != nullptr) bus_.InterfaceDereference(bus_.Context);
}

STDMETHODIMP_(NTSTATUS) DmaChannel::QueryInterface(REFIID iid, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IDmaChannel)) {
        *object = static_cast<IDmaChannel*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) DmaChannel::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
}

STDMETHODIMP_(ULONG) DmaChannel::Release() {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) {
        this->~DmaChannel();
        ExFreePoolWithTag(this, kWavePciPoolTag);
    }
    return static_cast<ULONG>(left);
}

STDMETHODIMP_(NTSTATUS)
DmaChannel::AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS physicalAddressConstraint) {
    UNREFERENCED_PARAMETER(physicalAddressConstraint);  // no bus addresses on this machine
    if (buffer_ != nullptr)
        BugCheckTag("IDmaChannel::AllocateBuffer", "the channel already has a buffer",
                    kWavePciPoolTag);
    if (bufferSize == 0 || bufferSize > maximumSize_) return STATUS_INVALID_PARAMETER;
    buffer_ = adapter_->DmaOperations->AllocateCommonBuffer(adapter_, bufferSize, &logical_, FALSE);
    if (buffer_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    allocatedSize_ = bufferSize_ = bufferSize;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) DmaChannel::FreeBuffer() {
    if (buffer_ == nullptr) return;
    adapter_->DmaOperations->FreeCommonBuffer(adapter_, allocatedSize_, logical_, buffer_, FALSE);
    buffer_ = nullptr;
    allocatedSize_ = bufferSize_ = 0;
    logical_.QuadPart = 0;
}

STDMETHODIMP_(ULONG) DmaChannel::TransferCount() {
    return maximumSize_;
}

STDMETHODIMP_(ULONG) DmaChannel::MaximumBufferSize() {
    return maximumSize_;
}

STDMETHODIMP_(ULONG) DmaChannel::AllocatedBufferSize() {
    return allocatedSize_;
}

STDMETHODIMP_(ULONG) DmaChannel::BufferSize() {
    return bufferSize_;
}

STDMETHODIMP_(void) DmaChannel::SetBufferSize(ULONG bufferSize) {
    if (bufferSize > allocatedSize_)
        BugCheckTag("IDmaChannel::SetBufferSize",
                    "size " + std::to_string(bufferSize) + " exceeds the allocated " +
                        std::to_string(allocatedSize_) + " bytes",
                    kWavePciPoolTag);
    bufferSize_ = bufferSize;
}

STDMETHODIMP_(PVOID) DmaChannel::SystemAddress() {
    return buffer_;
}

STDMETHODIMP_(PHYSICAL_ADDRESS) DmaChannel::PhysicalAddress() {
    return logical_;
}

STDMETHODIMP_(PADAPTER_OBJECT) DmaChannel::GetAdapterObject() {
    return reinterpret_cast<PADAPTER_OBJECT>(adapter_);
}

STDMETHODIMP_(void) DmaChannel::CopyTo(PVOID destination, PVOID source, ULONG byteCount) {
    RtlCopyMemory(destination, source, byteCount);
}

STDMETHODIMP_(void) DmaChannel::CopyFrom(PVOID destination, PVOID source, ULONG byteCount) {
    RtlCopyMemory(destination, source, byteCount);
}

}  // namespace q407::sim::portcls
