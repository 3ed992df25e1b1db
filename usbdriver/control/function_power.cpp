#include "usbdriver/control/function_power.h"

#include "usbdriver/control/control_pool.h"
#include "usbdriver/control/irp_forwarding.h"

namespace q407 {
namespace {

enum class PowerStep : LONG {
    Start,
    SystemWakeForwarded,
    SystemWakeDeviceAfter,
    SystemSleepDeviceFirst,
    SystemSleepForwarded,
    DeviceWakeForwarded,
    DeviceSleepForwarded,
    DeviceQueryWakeForwarded,
    DeviceQuerySleepForwarded,
};

enum class PowerEvent : LONG {
    Arrival = 0,
    LowerCompleted = 1,          // the lower driver completed the forwarded request
    DeviceRequestCompleted = 2,  // the device power request we asked for completed
};

// One set-power or query-power request on its way through the function device.
struct PowerContext {
    DeviceExtension* ext;
    PIRP irp;
    PowerStep state;
    NTSTATUS status;
    DEVICE_POWER_STATE targetDeviceState;
    DEVICE_POWER_STATE previousDeviceState;
    UCHAR minor;
    // Waking: the lower driver's completion and the device power request's may finish in
    // either order, the second one to finish completes the system request.
    volatile LONG wakeParties;
};

NTSTATUS RunPowerMachine(PowerContext* ctx, PowerEvent event, NTSTATUS status);

// Ends the request's way through the machine. From the lower driver's completion the request
// carries on upwards with the status; otherwise it is completed here.
NTSTATUS Finish(PowerContext* ctx, NTSTATUS status, bool inLowerCompletion) {
    PIRP irp = ctx->irp;
    DeviceExtension* ext = ctx->ext;
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    if (!inLowerCompletion) IoCompleteRequest(irp, IO_NO_INCREMENT);
    ExFreePoolWithTag(ctx, kChildPoolTag);
    ReleaseRemoveLock(&ext->removeLock);
    return status;
}

NTSTATUS LowerCompleted(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    return RunPowerMachine(static_cast<PowerContext*>(context), PowerEvent::LowerCompleted,
                           irp->IoStatus.Status);
}

void DeviceRequestCompleted(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                            PIO_STATUS_BLOCK ioStatus) {
    (void)device;
    (void)minor;
    (void)state;
    (void)RunPowerMachine(static_cast<PowerContext*>(context), PowerEvent::DeviceRequestCompleted,
                          ioStatus->Status);  // the machine completes the system request itself
}

// The context may be gone when this returns: the lower drivers can complete at once.
void Forward(PowerContext* ctx, PowerStep next) {
    ctx->state = next;
    PIRP irp = ctx->irp;
    PDEVICE_OBJECT lower = ctx->ext->lowerDevice;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, LowerCompleted, ctx, TRUE, TRUE, TRUE);
    (void)PoCallDriver(lower, irp);  // the outcome arrives in LowerCompleted
}

// Asks for the device power request; STATUS_PENDING when it is on its way (its completion may
// already have run the machine on), otherwise the status that kept it from being issued.
NTSTATUS RequestDevicePower(PowerContext* ctx, PowerStep next) {
    ctx->state = next;
    POWER_STATE state;
    state.DeviceState = ctx->targetDeviceState;
    return PoRequestPowerIrp(ctx->ext->physicalDevice, ctx->minor, state, DeviceRequestCompleted,
                             ctx, nullptr);
}

void DeclareDeviceState(DeviceExtension* ext, DEVICE_POWER_STATE state) {
    POWER_STATE declared;
    declared.DeviceState = state;
    (void)PoSetPowerState(ext->self, DevicePowerState, declared);  // the old state is not needed
}

void Arrive(PowerContext* ctx) {
    DeviceExtension* ext = ctx->ext;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(ctx->irp);
    if (stack->Parameters.Power.Type == SystemPowerState) {
        const SYSTEM_POWER_STATE target = stack->Parameters.Power.State.SystemState;
        if (target < ext->systemPowerState) {
            Forward(ctx, PowerStep::SystemWakeForwarded);
            return;
        }
        ctx->targetDeviceState = DeviceStateForSystemState(ext, target);
        const NTSTATUS status = RequestDevicePower(ctx, PowerStep::SystemSleepDeviceFirst);
        if (status != STATUS_PENDING) (void)Finish(ctx, status, false);
        return;
    }
    const DEVICE_POWER_STATE target = stack->Parameters.Power.State.DeviceState;
    ctx->targetDeviceState = target;
    const bool waking = target < ext->devicePowerState;
    if (ctx->minor == IRP_MN_QUERY_POWER) {
        Forward(ctx, waking ? PowerStep::DeviceQueryWakeForwarded
                            : PowerStep::DeviceQuerySleepForwarded);
        return;
    }
    if (waking) {
        Forward(ctx, PowerStep::DeviceWakeForwarded);
        return;
    }
    // Going deeper: the device is in the new state before the bus powers it down.
    if (target > ext->devicePowerState) {
        ctx->previousDeviceState = static_cast<DEVICE_POWER_STATE>(ext->devicePowerState);
        ext->devicePowerState = target;
        DeclareDeviceState(ext, target);
    }
    Forward(ctx, PowerStep::DeviceSleepForwarded);
}

NTSTATUS RunPowerMachine(PowerContext* ctx, PowerEvent event, NTSTATUS status) {
    DeviceExtension* ext = ctx->ext;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(ctx->irp);
    switch (ctx->state) {
        case PowerStep::Start:
            if (event == PowerEvent::Arrival) Arrive(ctx);
            return STATUS_PENDING;
        case PowerStep::SystemWakeForwarded: {
            if (!NT_SUCCESS(status)) return Finish(ctx, status, true);
            const SYSTEM_POWER_STATE target = stack->Parameters.Power.State.SystemState;
            if (ctx->minor == IRP_MN_SET_POWER) ext->systemPowerState = target;
            ctx->targetDeviceState = DeviceStateForSystemState(ext, target);
            ctx->wakeParties = 2;
            const NTSTATUS requested = RequestDevicePower(ctx, PowerStep::SystemWakeDeviceAfter);
            if (requested != STATUS_PENDING) return Finish(ctx, requested, true);
            if (InterlockedDecrement(&ctx->wakeParties) == 0)
                return Finish(ctx, ctx->status, true);  // the device request is already done
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        case PowerStep::SystemWakeDeviceAfter:
            ctx->status = status;
            if (InterlockedDecrement(&ctx->wakeParties) == 0) (void)Finish(ctx, status, false);
            return STATUS_SUCCESS;
        case PowerStep::SystemSleepDeviceFirst:
            if (!NT_SUCCESS(status)) return Finish(ctx, status, false);
            Forward(ctx, PowerStep::SystemSleepForwarded);
            return STATUS_SUCCESS;
        case PowerStep::SystemSleepForwarded:
            if (ctx->minor == IRP_MN_SET_POWER && NT_SUCCESS(status))
                ext->systemPowerState = stack->Parameters.Power.State.SystemState;
            return Finish(ctx, status, true);
        case PowerStep::DeviceWakeForwarded:
            if (NT_SUCCESS(status) && ctx->minor == IRP_MN_SET_POWER) {
                ctx->previousDeviceState = static_cast<DEVICE_POWER_STATE>(ext->devicePowerState);
                ext->devicePowerState = ctx->targetDeviceState;
                DeclareDeviceState(ext, ctx->targetDeviceState);
            }
            return Finish(ctx, status, true);
        case PowerStep::DeviceSleepForwarded:
        case PowerStep::DeviceQueryWakeForwarded:
        case PowerStep::DeviceQuerySleepForwarded:
            return Finish(ctx, status, true);
    }
    return status;
}

// The sender's enumerations read as plain numbers: a value outside the enumeration must not be
// loaded as one before it is checked.
ULONG RawEnumValue(const void* field) {
    ULONG raw = 0;
    RtlCopyMemory(&raw, field, sizeof(raw));
    return raw;
}

bool ValidPowerState(const IO_STACK_LOCATION* stack) {
    const ULONG type = RawEnumValue(&stack->Parameters.Power.Type);
    const ULONG state = RawEnumValue(&stack->Parameters.Power.State);
    if (type == static_cast<ULONG>(SystemPowerState))
        return state >= static_cast<ULONG>(PowerSystemWorking) &&
               state <= static_cast<ULONG>(PowerSystemShutdown);
    if (type == static_cast<ULONG>(DevicePowerState))
        return state >= static_cast<ULONG>(PowerDeviceD0) &&
               state <= static_cast<ULONG>(PowerDeviceD3);
    return false;
}

}  // namespace

DEVICE_POWER_STATE DeviceStateForSystemState(const DeviceExtension* ext, SYSTEM_POWER_STATE state) {
    if (state == PowerSystemWorking) return PowerDeviceD0;
    // The bus's table gives the D-state for the sleeping state, but one shallower than D3 is
    // raised to D3 and one past D3 is no D-state: whatever the table holds, the answer is D3.
    // Its entry (written by the bus, so possibly no valid enumerator) is therefore not loaded.
    (void)ext;
    return PowerDeviceD3;
}

NTSTATUS FunctionDevicePower(PDEVICE_OBJECT device, PIRP irp) {
    DeviceExtension* ext = ExtensionOf(device);
    if (!NT_SUCCESS(AcquireRemoveLock(&ext->removeLock))) {
        PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = stack->MinorFunction;
    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = PoCallDriver(ext->lowerDevice, irp);
        ReleaseRemoveLock(&ext->removeLock);
        return status;
    }
    // A state no system or device has would index past the tables.
    if (!ValidPowerState(stack)) {
        PoStartNextPowerIrp(irp);
        const NTSTATUS status = CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
        ReleaseRemoveLock(&ext->removeLock);
        return status;
    }
    auto* ctx = static_cast<PowerContext*>(
        ExAllocatePoolWithTag(DriverPoolType(), sizeof(PowerContext), kChildPoolTag));
    if (ctx == nullptr) {
        PoStartNextPowerIrp(irp);
        const NTSTATUS status = CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        ReleaseRemoveLock(&ext->removeLock);
        return status;
    }
    RtlZeroMemory(ctx, sizeof(*ctx));
    ctx->ext = ext;
    ctx->irp = irp;
    ctx->state = PowerStep::Start;
    ctx->status = STATUS_SUCCESS;
    ctx->minor = minor;
    ctx->previousDeviceState = static_cast<DEVICE_POWER_STATE>(ext->devicePowerState);
    // The hold taken here is the machine's until it finishes.
    IoMarkIrpPending(irp);
    (void)RunPowerMachine(ctx, PowerEvent::Arrival, STATUS_SUCCESS);
    return STATUS_PENDING;
}

}  // namespace q407
