// The power manager's services to drivers: device power requests, the power-request sequence,
// and a device's declared power state.
#pragma once

#include "io_manager.h"

using PREQUEST_POWER_COMPLETE = void (*)(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                         POWER_STATE PowerState, PVOID Context,
                                         PIO_STATUS_BLOCK IoStatus);

// Builds a power request of this minor (set, query or wait-wake) for the top of the stack that
// DeviceObject (a physical device object) is in, sends it, and calls CompletionFunction when the
// request completes. STATUS_PENDING when sent; Irp, when given, receives the request.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);
// The driver is ready for the next power request of its device.
void PoStartNextPowerIrp(PIRP Irp);
// Passes a power request to the next driver.
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Records the device's new power state; returns the previous one.
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);
