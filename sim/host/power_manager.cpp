// The power manager's services to drivers (device power requests, the power-request sequence,
// declared power states) and the system power requests the machine sends.
#include "sim/host/power_manager.h"

#include <cstdio>
#include <mutex>

#include "sim/host/io_internal.h"
#include "sim/host/io_manager.h"
#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"

namespace q407::sim {
namespace {

// Guards the power fields of every device record.
std::mutex g_powerMutex;

// One device power request on its way: what PoRequestPowerIrp was asked for and by whom.
struct PowerRequest {
    PDEVICE_OBJECT target;  // the physical device named by the caller
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
    const void* requester;  // the driver that asked; its callback runs charged to it
};

const char* MinorName(UCHAR minor) {
    switch (minor) {
        case IRP_MN_WAIT_WAKE:
            return "wait-wake";
        case IRP_MN_POWER_SEQUENCE:
            return "power-sequence";
        case IRP_MN_SET_POWER:
            return "set-power";
        case IRP_MN_QUERY_POWER:
            return "query-power";
        default:
            return "unknown";
    }
}

// The power request a driver holds must be at one of its locations with the power major.
PIO_STACK_LOCATION RequirePowerIrpAtCurrent(PIRP irp, const char* call) {
    if (irp == nullptr) BugCheck(call, "null IRP");
    if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount)
        BugCheck(call, "the IRP is at no driver's stack location (not sent, or completed)");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_POWER)
        BugCheck(call,
                 "not a power IRP (major function " + std::to_string(stack->MajorFunction) + ")");
    return stack;
}

// The power manager's own completion of a device power request: tell the requester, free it.
NTSTATUS DevicePowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<PowerRequest*>(context);
    if (irp->IoStatus.Status == STATUS_PENDING)
        BugCheck("PoRequestPowerIrp", "device power request completed with STATUS_PENDING");
    if (request->completion != nullptr) {
        IO_STATUS_BLOCK status = irp->IoStatus;
        DriverScope scope(request->requester);
        request->completion(request->target, request->minor, request->state, request->context,
                            &status);
    }
    delete request;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

DEVICE_POWER_STATE DeclaredDevicePowerState(PDEVICE_OBJECT device) {
    std::lock_guard lock(g_powerMutex);
    return detail::RecordOf(device).devicePower;
}

SYSTEM_POWER_STATE DeclaredSystemPowerState(PDEVICE_OBJECT device) {
    std::lock_guard lock(g_powerMutex);
    return detail::RecordOf(device).systemPower;
}

ULONG StartNextPowerIrpCalls(PDEVICE_OBJECT device) {
    std::lock_guard lock(g_powerMutex);
    return detail::RecordOf(device).startNextPowerCalls;
}

NTSTATUS SendSystemPowerRequest(PDEVICE_OBJECT device, UCHAR minorFunction,
                                SYSTEM_POWER_STATE state) {
    if (minorFunction != IRP_MN_SET_POWER && minorFunction != IRP_MN_QUERY_POWER)
        BugCheck("SendSystemPowerRequest", "system power requests are set-power or query-power");
    return SendSystemRequest(
        device, IRP_MJ_POWER, minorFunction,
        [state](PIO_STACK_LOCATION stack) {
            stack->Parameters.Power.SystemContext = 0;
            stack->Parameters.Power.Type = SystemPowerState;
            stack->Parameters.Power.State.SystemState = state;
            stack->Parameters.Power.ShutdownType = 0;
        },
        STATUS_NOT_SUPPORTED);
}

}  // namespace q407::sim

using namespace q407::sim;

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    RequireAtMostDispatch("PoRequestPowerIrp");
    if (!IsDeviceObject(DeviceObject)) BugCheck("PoRequestPowerIrp", "not a device object");
    if (!detail::IsStackBottom(DeviceObject))
        BugCheck("PoRequestPowerIrp",
                 "the device is not a physical device object (it is attached to another device "
                 "or deleted): device power requests name the stack's physical device");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    if (MinorFunction != IRP_MN_WAIT_WAKE &&
        (PowerState.DeviceState < PowerDeviceD0 || PowerState.DeviceState > PowerDeviceD3))
        BugCheck("PoRequestPowerIrp", std::string(MinorName(MinorFunction)) +
                                          " request for an invalid device power state " +
                                          std::to_string(static_cast<int>(PowerState.DeviceState)));

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp;
    {
        // The request is the power manager's, not the caller's.
        DriverScope system(nullptr);
        irp = IoAllocateIrp(top->StackSize, FALSE);
    }
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* request =
        new PowerRequest{DeviceObject,       MinorFunction, PowerState,
                         CompletionFunction, Context,       CurrentThreadContext().driver};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        // Wait-wake names the deepest system state the device can wake the machine from.
        next->Parameters.Power.Type = SystemPowerState;
        next->Parameters.Power.State = PowerState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
    }
    IoSetCompletionRoutine(irp, DevicePowerRequestDone, request, TRUE, TRUE, TRUE);
    if (Irp != nullptr) *Irp = irp;
    {
        DriverScope system(nullptr);
        // The request's outcome reaches the caller through its completion function only.
        (void)IoCallDriver(top, irp);
    }
    ObDereferenceObject(top);
    return STATUS_PENDING;
}

void PoStartNextPowerIrp(PIRP Irp) {
    RequireAtMostDispatch("PoStartNextPowerIrp");
    PIO_STACK_LOCATION stack = RequirePowerIrpAtCurrent(Irp, "PoStartNextPowerIrp");
    if (stack->DeviceObject == nullptr) return;
    std::lock_guard lock(g_powerMutex);
    ++detail::RecordOf(stack->DeviceObject).startNextPowerCalls;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    RequireAtMostDispatch("PoCallDriver");
    if (Irp == nullptr) BugCheck("PoCallDriver", "null IRP");
    if (Irp->CurrentLocation <= 1)
        BugCheck("PoCallDriver", "no stack location left (stack location overrun)");
    const UCHAR major = IoGetNextIrpStackLocation(Irp)->MajorFunction;
    if (major != IRP_MJ_POWER)
        BugCheck("PoCallDriver", "not a power IRP (major function " + std::to_string(major) +
                                     "): other requests go down with IoCallDriver");
    return IoCallDriver(DeviceObject, Irp);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    RequireAtMostDispatch("PoSetPowerState");
    if (!IsDeviceObject(DeviceObject)) BugCheck("PoSetPowerState", "not a device object");
    POWER_STATE old{};
    std::lock_guard lock(g_powerMutex);
    detail::DeviceRecord& record = detail::RecordOf(DeviceObject);
    if (Type == DevicePowerState) {
        if (State.DeviceState < PowerDeviceD0 || State.DeviceState > PowerDeviceD3)
            BugCheck("PoSetPowerState", "invalid device power state " +
                                            std::to_string(static_cast<int>(State.DeviceState)));
        old.DeviceState = record.devicePower;
        record.devicePower = State.DeviceState;
    } else if (Type == SystemPowerState) {
        if (State.SystemState < PowerSystemWorking || State.SystemState > PowerSystemShutdown)
            BugCheck("PoSetPowerState", "invalid system power state " +
                                            std::to_string(static_cast<int>(State.SystemState)));
        old.SystemState = record.systemPower;
        record.systemPower = State.SystemState;
    } else {
        BugCheck("PoSetPowerState",
                 "invalid power state type " + std::to_string(static_cast<int>(Type)));
    }
    return old;
}
