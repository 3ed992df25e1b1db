#include "usbdriver/control/child_device.h"

#include "usbdriver/control/control_pool.h"
#include "usbdriver/control/irp_forwarding.h"
#include "usbdriver/control/link_interface.h"

namespace q407 {
namespace {

constexpr ULONG kMaxIdChars = 32;
// Reserved minor of the Plug and Play major: the child agrees to it as to the resource queries.
constexpr UCHAR kReservedPnpMinor = 0x0E;
constexpr UCHAR kLastKnownPnpMinor = IRP_MN_QUERY_LEGACY_BUS_INFORMATION;

// Appends text; false when the identifier would not fit.
bool Append(WCHAR* out, ULONG* length, const WCHAR* text) {
    for (; *text != 0; ++text) {
        if (*length + 1 >= kMaxIdChars) return false;
        out[(*length)++] = *text;
    }
    return true;
}

// Appends value in decimal, zero-padded to digits ("%02d", "%04d").
bool AppendNumber(WCHAR* out, ULONG* length, ULONG value, ULONG digits) {
    WCHAR text[12];
    ULONG n = 0;
    do {
        text[n++] = static_cast<WCHAR>(L'0' + value % 10);
        value /= 10;
    } while (value != 0 && n < 10);
    while (n < digits && n < 10) text[n++] = L'0';
    WCHAR reversed[12];
    for (ULONG i = 0; i < n; ++i) reversed[i] = text[n - 1 - i];
    reversed[n] = 0;
    return Append(out, length, reversed);
}

// The parent's stack answered a request the child handed on: the child's request gets the
// answer and completes.
NTSTATUS ParentAnswered(PDEVICE_OBJECT device, PIRP forwarded, PVOID context) {
    (void)device;
    PIRP irp = static_cast<PIRP>(context);
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(forwarded);
    ObDereferenceObject(static_cast<PDEVICE_OBJECT>(own->Parameters.Others.Argument1));
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (forwarded->IoStatus.Status == STATUS_NOT_SUPPORTED) {
        // Nobody above the bus knew it; for these the child's own answer is a plain failure,
        // for the others the child's request keeps what it says.
        if (minor == IRP_MN_READ_CONFIG || minor == IRP_MN_WRITE_CONFIG || minor == IRP_MN_EJECT ||
            minor == IRP_MN_SET_LOCK || minor == IRP_MN_QUERY_BUS_INFORMATION ||
            minor == IRP_MN_QUERY_LEGACY_BUS_INFORMATION)
            irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    } else {
        irp->IoStatus.Status = forwarded->IoStatus.Status;
        irp->IoStatus.Information = forwarded->IoStatus.Information;
    }
    IoFreeIrp(forwarded);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Hands the child's request to the top of the parent's stack in a new request of its own.
NTSTATUS ForwardToParentStack(PDEVICE_OBJECT child, PIRP irp) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(ChildOf(child)->parent);
    PIRP forwarded = IoAllocateIrp(static_cast<CCHAR>(top->StackSize + 1), FALSE);
    if (forwarded == nullptr) {
        ObDereferenceObject(top);
        return CompleteWithCurrentStatus(irp);
    }
    // The extra location is the child's own: it keeps the reference to drop at completion.
    IoSetNextIrpStackLocation(forwarded);
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(forwarded);
    own->DeviceObject = child;
    own->Parameters.Others.Argument1 = top;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(forwarded);
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
    next->MajorFunction = current->MajorFunction;
    next->MinorFunction = current->MinorFunction;
    next->Flags = current->Flags;
    next->Parameters = current->Parameters;
    next->FileObject = current->FileObject;
    forwarded->IoStatus.Status = STATUS_NOT_SUPPORTED;
    forwarded->IoStatus.Information = 0;
    IoSetCompletionRoutine(forwarded, ParentAnswered, irp, TRUE, TRUE, TRUE);
    IoMarkIrpPending(irp);
    (void)IoCallDriver(top, forwarded);  // the answer arrives in ParentAnswered
    return STATUS_PENDING;
}

NTSTATUS TargetRelation(PDEVICE_OBJECT child, PIRP irp) {
    auto* relations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kChildPoolTag));
    if (relations == nullptr) return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    auto* old = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
    if (old != nullptr) ExFreePool(old);
    relations->Count = 1;
    relations->Objects[0] = child;
    ObReferenceObject(child);
    return CompleteRequest(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
}

NTSTATUS QueryId(PDEVICE_OBJECT child, PIRP irp) {
    WCHAR* id = nullptr;
    const NTSTATUS status = BuildChildId(
        ChildOf(child)->index, IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType, &id);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, irp->IoStatus.Information);
    return CompleteRequest(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(id));
}

// The parent's count of references the audio driver holds drops with the child's removal;
// never below zero.
void DropInterfaceReference(PDEVICE_OBJECT child) {
    DeviceExtension* parent = ExtensionOf(ChildOf(child)->parent);
    LONG seen = InterlockedCompareExchange(&parent->interfaceReferences, 0, 0);
    while (seen > 0) {
        const LONG before =
            InterlockedCompareExchange(&parent->interfaceReferences, seen - 1, seen);
        if (before == seen) break;
        seen = before;
    }
}

}  // namespace

NTSTATUS CreateChildDevice(DeviceExtension* parent, LONG index) {
    if (parent->childCount >= kMaxChildren) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT child = nullptr;
    const NTSTATUS status =
        IoCreateDevice(parent->driver, sizeof(ChildDevice), nullptr, FILE_DEVICE_BUS_EXTENDER,
                       FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &child);
    if (!NT_SUCCESS(status)) return status;
    ChildDevice* ext = ChildOf(child);
    RtlZeroMemory(ext, sizeof(*ext));
    ext->childFlag = kChildFlag;
    ext->index = index;
    ext->self = child;
    ext->parent = parent->self;
    child->Flags |= DO_POWER_PAGABLE;
    child->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    parent->children[parent->childCount++] = child;
    return STATUS_SUCCESS;
}

void DeleteChildDevices(DeviceExtension* parent) {
    for (ULONG i = 0; i < parent->childCount; ++i) {
        IoDeleteDevice(parent->children[i]);
        parent->children[i] = nullptr;
    }
    parent->childCount = 0;
}

NTSTATUS BuildChildId(LONG index, BUS_QUERY_ID_TYPE type, WCHAR** id) {
    WCHAR text[kMaxIdChars];
    ULONG length = 0;
    const ULONG number = index > 0 ? static_cast<ULONG>(index) : 0;
    bool fits;
    switch (type) {
        case BusQueryDeviceID:  // "%ws\%ws_%02d"
            fits = Append(text, &length, L"ZEL") && Append(text, &length, L"\\") &&
                   Append(text, &length, L"Q407") && Append(text, &length, L"_") &&
                   AppendNumber(text, &length, number, 2);
            break;
        case BusQueryHardwareIDs:  // "%ws%02d"
            fits = Append(text, &length, L"ZEL\\Q407_") && AppendNumber(text, &length, number, 2);
            break;
        case BusQueryInstanceID:  // "%04d"
            fits = AppendNumber(text, &length, number, 4);
            break;
        default:
            return STATUS_NOT_SUPPORTED;
    }
    if (!fits) return STATUS_INVALID_PARAMETER;
    const SIZE_T bytes = (length + 2) * sizeof(WCHAR);
    auto* copy = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes, kChildPoolTag));
    if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(copy, text, length * sizeof(WCHAR));
    copy[length] = 0;
    copy[length + 1] = 0;
    *id = copy;
    return STATUS_SUCCESS;
}

NTSTATUS ChildQueryInterface(PDEVICE_OBJECT child, PIRP irp) {
    NTSTATUS status = STATUS_SUCCESS;
    if (!AnswerLinkQueryInterface(child, irp, &status)) return ForwardToParentStack(child, irp);
    return CompleteRequest(irp, status, irp->IoStatus.Information);
}

NTSTATUS ChildDevicePnp(PDEVICE_OBJECT child, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_RESOURCES:
        case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
        case kReservedPnpMinor:
        case IRP_MN_SURPRISE_REMOVAL:
            return CompleteRequest(irp, STATUS_SUCCESS, irp->IoStatus.Information);
        case IRP_MN_REMOVE_DEVICE:
            DropInterfaceReference(child);
            return CompleteRequest(irp, STATUS_SUCCESS, irp->IoStatus.Information);
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
                return TargetRelation(child, irp);
            return CompleteWithCurrentStatus(irp);
        case IRP_MN_QUERY_INTERFACE:
            return ChildQueryInterface(child, irp);
        case IRP_MN_QUERY_CAPABILITIES:
        case IRP_MN_READ_CONFIG:
        case IRP_MN_WRITE_CONFIG:
        case IRP_MN_EJECT:
        case IRP_MN_SET_LOCK:
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
        case IRP_MN_QUERY_BUS_INFORMATION:
        case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        case IRP_MN_QUERY_LEGACY_BUS_INFORMATION:
            return ForwardToParentStack(child, irp);
        case IRP_MN_QUERY_ID:
            return QueryId(child, irp);
        case IRP_MN_QUERY_DEVICE_TEXT:
        default:
            static_assert(kLastKnownPnpMinor == 0x18, "minors above 24 keep their status");
            return CompleteWithCurrentStatus(irp);
    }
}

NTSTATUS ChildDevicePower(PDEVICE_OBJECT child, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_WAIT_WAKE:
            return CompleteRequest(irp, STATUS_NOT_SUPPORTED, 0);
        case IRP_MN_SET_POWER:
            if (stack->Parameters.Power.Type == DevicePowerState) {
                const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
                if (state < PowerDeviceD0 || state > PowerDeviceD3)
                    return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
                (void)PoSetPowerState(child, DevicePowerState, stack->Parameters.Power.State);
            }
            // A system state needs nothing of the child: the function device powers the
            // hardware.
            return CompleteRequest(irp, STATUS_SUCCESS, 0);
        case IRP_MN_QUERY_POWER:
            return CompleteRequest(irp, STATUS_SUCCESS, 0);
        case IRP_MN_POWER_SEQUENCE:
        default:
            return CompleteWithCurrentStatus(irp);
    }
}

}  // namespace q407
