// The child device's query-interface answers and the stream link's reference count.
#include "usbdriver/control/link_interface.h"

#include "shared/device_interface.h"
#include "usbdriver/control/emulated_dma_adapter.h"
#include "usbdriver/control/stream_link.h"

namespace q407 {
namespace {

constexpr USHORT kBusInterfaceVersion = 1;

const GUID kStreamLinkGuid = {
    GUID_Q407_STREAM_LINK.Data1,
    GUID_Q407_STREAM_LINK.Data2,
    GUID_Q407_STREAM_LINK.Data3,
    {GUID_Q407_STREAM_LINK.Data4[0], GUID_Q407_STREAM_LINK.Data4[1], GUID_Q407_STREAM_LINK.Data4[2],
     GUID_Q407_STREAM_LINK.Data4[3], GUID_Q407_STREAM_LINK.Data4[4], GUID_Q407_STREAM_LINK.Data4[5],
     GUID_Q407_STREAM_LINK.Data4[6], GUID_Q407_STREAM_LINK.Data4[7]}};

// The bus interface is not counted: the child outlives every user of its DMA adapter.
void BusInterfaceReference(PVOID context) {
    UNREFERENCED_PARAMETER(context);
}

NTSTATUS AnswerStreamLink(PDEVICE_OBJECT child, PIO_STACK_LOCATION stack, NTSTATUS current) {
    const auto& query = stack->Parameters.QueryInterface;
    if (query.Version == 0) return current;
    if (query.Size < kStreamLinkSize || query.Interface == nullptr) return STATUS_INVALID_PARAMETER;
    const ChildDevice* extension = ChildOf(child);
    DeviceExtension* parent = ExtensionOf(extension->parent);
    auto* link = reinterpret_cast<StreamLinkInterface*>(query.Interface);
    FillStreamLinkInterface(link, parent, static_cast<ULONG>(extension->index));
    StreamLinkReference(parent);
    return STATUS_SUCCESS;
}

NTSTATUS AnswerBusInterface(PDEVICE_OBJECT child, PIO_STACK_LOCATION stack) {
    const auto& query = stack->Parameters.QueryInterface;
    if (query.Size < sizeof(BUS_INTERFACE_STANDARD) || query.Interface == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto* bus = reinterpret_cast<PBUS_INTERFACE_STANDARD>(query.Interface);
    bus->Size = sizeof(BUS_INTERFACE_STANDARD);
    bus->Version = kBusInterfaceVersion;
    bus->Context = child;
    bus->InterfaceReference = BusInterfaceReference;
    bus->InterfaceDereference = BusInterfaceReference;
    bus->GetDmaAdapter = GetEmulatedDmaAdapter;
    return STATUS_SUCCESS;
}

}  // namespace

void StreamLinkReference(PVOID context) {
    InterlockedIncrement(&static_cast<DeviceExtension*>(context)->interfaceReferences);
}

void StreamLinkDereference(PVOID context) {
    InterlockedDecrement(&static_cast<DeviceExtension*>(context)->interfaceReferences);
}

void FillStreamLinkInterface(StreamLinkInterface* link, DeviceExtension* parent, ULONG index) {
    RtlZeroMemory(link, sizeof(*link));
    link->size = kStreamLinkSize;
    link->version = kStreamLinkVersion;
    link->context = parent;
    link->reference = StreamLinkReference;
    link->dereference = StreamLinkDereference;
    link->dispatch = StreamLinkDispatch;
    link->deviceContext = parent->facade;
    link->index = index;
}

bool AnswerLinkQueryInterface(PDEVICE_OBJECT child, PIRP irp, NTSTATUS* status) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const GUID* type = stack->Parameters.QueryInterface.InterfaceType;
    if (type == nullptr) {
        *status = irp->IoStatus.Status;
        return true;
    }
    if (IsEqualGUID(*type, kStreamLinkGuid)) {
        *status = AnswerStreamLink(child, stack, irp->IoStatus.Status);
        return true;
    }
    if (IsEqualGUID(*type, GUID_BUS_INTERFACE_STANDARD)) {
        *status = AnswerBusInterface(child, stack);
        return true;
    }
    return false;
}

}  // namespace q407
