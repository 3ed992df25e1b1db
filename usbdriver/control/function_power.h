// Power requests of the function device: system sleep and wake turned into device power
// requests for the physical device's stack, device power requests passed down in order.
#pragma once

#include "platform/kernel/wdk.h"
#include "usbdriver/control/device_extension.h"

namespace q407 {

NTSTATUS FunctionDevicePower(PDEVICE_OBJECT device, PIRP irp);

// The device power state the device takes in a system state: D0 while working, otherwise the
// bus's answer for that state but never shallower than D3.
DEVICE_POWER_STATE DeviceStateForSystemState(const DeviceExtension* ext, SYSTEM_POWER_STATE state);

}  // namespace q407
