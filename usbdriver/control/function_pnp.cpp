#include "usbdriver/control/function_pnp.h"

#include "usbdriver/control/child_device.h"
#include "usbdriver/control/control_pool.h"
#include "usbdriver/control/function_device.h"
#include "usbdriver/control/irp_forwarding.h"
#include "usbdriver/engine/engine_trace.h"

namespace q407 {
namespace {

LONG StateOf(const DeviceExtension* ext) {
    return InterlockedCompareExchange(const_cast<volatile LONG*>(&ext->pnpState), 0, 0);
}

void SetState(DeviceExtension* ext, PnpState state) {
    InterlockedExchange(&ext->pnpState, static_cast<LONG>(state));
}

bool InterfaceHeld(DeviceExtension* ext) {
    return InterlockedCompareExchange(&ext->interfaceReferences, 0, 0) != 0;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    return CompleteRequest(irp, status, irp->IoStatus.Information);
}

NTSTATUS StartDevice(DeviceExtension* ext, PIRP irp) {
    NTSTATUS status = ForwardAndWait(ext->lowerDevice, irp);
    if (!NT_SUCCESS(status)) return Complete(irp, status);
    // A start after a stop finds the child of the first start still there (it lives until
    // removal) and the interface name gone with the facade.
    if (ext->facade == nullptr) {
        DeviceFacade* facade = nullptr;
        status = CreateFacade(ext->self, ext->lowerDevice, &facade);
        if (NT_SUCCESS(status) && facade == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
        ext->facade = NT_SUCCESS(status) ? facade : nullptr;
    }
    if (NT_SUCCESS(status) && ext->interfaceName.Buffer == nullptr)
        status = RegisterDeviceInterface(ext);
    if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&ext->interfaceName, TRUE);
    if (NT_SUCCESS(status) && ext->childCount == 0) status = CreateChildDevice(ext, 1);
    if (NT_SUCCESS(status)) {
        SetState(ext, PnpState::Started);
    } else {
        // Nothing half-started stays behind; removal still finds the device consistent.
        ENGINE_TRACE("StartDevice failed 0x%08X\n", static_cast<unsigned>(status));
        StopFacade(ext);
    }
    return Complete(irp, status);
}

NTSTATUS RemoveDevice(DeviceExtension* ext, PIRP irp) {
    // Leaving the started state first refuses new control messages while the facade stops.
    SetState(ext, PnpState::Removed);
    StopFacade(ext);
    irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = PassDown(ext->lowerDevice, irp);
    // The device's hold and the hold of this request go; every other holder is waited for.
    ReleaseRemoveLockAndWait(&ext->removeLock);
    DeleteChildDevices(ext);
    IoDetachDevice(ext->lowerDevice);
    ext->lowerDevice = nullptr;
    IoDeleteDevice(ext->self);
    return status;
}

// The relations already in the request, then every child, in a new list.
NTSTATUS QueryBusRelations(DeviceExtension* ext, PIRP irp) {
    auto* old = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
    const ULONG oldCount = old != nullptr ? old->Count : 0;
    const ULONG count = oldCount + ext->childCount;
    const SIZE_T size =
        sizeof(DEVICE_RELATIONS) + (count > 1 ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
    auto* relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kChildPoolTag));
    if (relations == nullptr) {
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        return PassDown(ext->lowerDevice, irp);
    }
    relations->Count = count;
    for (ULONG i = 0; i < oldCount; ++i) relations->Objects[i] = old->Objects[i];
    if (old != nullptr) ExFreePool(old);
    for (ULONG i = 0; i < ext->childCount; ++i) {
        ObReferenceObject(ext->children[i]);
        relations->Objects[oldCount + i] = ext->children[i];
    }
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(ext->lowerDevice, irp);
}

NTSTATUS QueryCapabilities(DeviceExtension* ext, PIRP irp) {
    PDEVICE_CAPABILITIES caps =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps == nullptr || caps->Version == 0 || caps->Size < sizeof(DEVICE_CAPABILITIES))
        return Complete(irp, STATUS_UNSUCCESSFUL);
    caps->SurpriseRemovalOK = 1;
    const NTSTATUS status = ForwardAndWait(ext->lowerDevice, irp);
    if (NT_SUCCESS(status)) RtlCopyMemory(&ext->capabilities, caps, sizeof(ext->capabilities));
    // The bus may have cleared it; this device copes with being pulled out.
    caps->SurpriseRemovalOK = 1;
    ext->capabilities.SurpriseRemovalOK = 1;
    return Complete(irp, status);
}

NTSTATUS HandlePnp(DeviceExtension* ext, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return StartDevice(ext, irp);
        case IRP_MN_QUERY_REMOVE_DEVICE:
            if (InterfaceHeld(ext)) return Complete(irp, STATUS_UNSUCCESSFUL);
            ext->previousPnpState = StateOf(ext);
            SetState(ext, PnpState::RemovePending);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(ext->lowerDevice, irp);
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            if (StateOf(ext) == static_cast<LONG>(PnpState::RemovePending)) {
                const NTSTATUS status = ForwardAndWait(ext->lowerDevice, irp);
                if (NT_SUCCESS(status)) InterlockedExchange(&ext->pnpState, ext->previousPnpState);
                return Complete(irp, status);
            }
            return PassDown(ext->lowerDevice, irp);
        case IRP_MN_STOP_DEVICE:
            // Only a stop the device agreed to ends the facade; a stray one goes down alone.
            if (StateOf(ext) == static_cast<LONG>(PnpState::StopPending)) {
                StopFacade(ext);
                SetState(ext, PnpState::NotStarted);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(ext->lowerDevice, irp);
        case IRP_MN_QUERY_STOP_DEVICE:
            if (InterfaceHeld(ext)) return Complete(irp, STATUS_UNSUCCESSFUL);
            if (StateOf(ext) == static_cast<LONG>(PnpState::Started))
                SetState(ext, PnpState::StopPending);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(ext->lowerDevice, irp);
        case IRP_MN_CANCEL_STOP_DEVICE:
            if (StateOf(ext) == static_cast<LONG>(PnpState::StopPending)) {
                const NTSTATUS status = ForwardAndWait(ext->lowerDevice, irp);
                if (NT_SUCCESS(status)) SetState(ext, PnpState::Started);
                return Complete(irp, status);
            }
            return PassDown(ext->lowerDevice, irp);
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type == BusRelations)
                return QueryBusRelations(ext, irp);
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
            return PassDown(ext->lowerDevice, irp);
        case IRP_MN_QUERY_CAPABILITIES:
            return QueryCapabilities(ext, irp);
        case IRP_MN_SURPRISE_REMOVAL:
            SetState(ext, PnpState::SurpriseRemoved);
            StopFacade(ext);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(ext->lowerDevice, irp);
        default:
            return PassDown(ext->lowerDevice, irp);
    }
}

}  // namespace

NTSTATUS FunctionDevicePnp(PDEVICE_OBJECT device, PIRP irp) {
    DeviceExtension* ext = ExtensionOf(device);
    if (!NT_SUCCESS(AcquireRemoveLock(&ext->removeLock)))
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    // Removal gives up its own hold once every other request has drained.
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE)
        return RemoveDevice(ext, irp);
    const NTSTATUS status = HandlePnp(ext, irp);
    ReleaseRemoveLock(&ext->removeLock);
    return status;
}

}  // namespace q407
