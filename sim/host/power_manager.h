// The power manager as tests and the Plug and Play manager see it: what each device told it, and
// system power requests sent to a device stack.
#pragma once

#include "platform/kernel/wdk.h"

namespace q407::sim {

// The states a driver last declared for its device with PoSetPowerState (Unspecified before any).
DEVICE_POWER_STATE DeclaredDevicePowerState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE DeclaredSystemPowerState(PDEVICE_OBJECT device);
// How many power requests the device's driver has declared itself ready after
// (PoStartNextPowerIrp with an IRP at one of the device's stack locations).
ULONG StartNextPowerIrpCalls(PDEVICE_OBJECT device);

// Sends a system power request (query-power or set-power of a system state) to the top of a
// device's stack and waits for it (PASSIVE_LEVEL); the request's final status.
NTSTATUS SendSystemPowerRequest(PDEVICE_OBJECT device, UCHAR minorFunction,
                                SYSTEM_POWER_STATE state);

}  // namespace q407::sim
