// Q407DRV's driver entry, add-device and unload, the dispatch routines of both kinds of device,
// and the facade's life inside the function device: who may use it and how it is stopped.
#pragma once

#include "platform/kernel/wdk.h"
#include "usbdriver/control/device_extension.h"

namespace q407 {

// The driver's entry: dispatch routines, add-device and unload. The Windows image's DriverEntry
// calls it; the bench loads the driver through it. STATUS_UNSUCCESSFUL on a system without WDM
// 6.0.
NTSTATUS Q407DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
// Creates the function device above the bus's physical device; the status of the failing step,
// STATUS_NO_SUCH_DEVICE when there is no stack to attach to.
NTSTATUS Q407AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);

// Registers the device interface class on the physical device, keeping the link name.
NTSTATUS RegisterDeviceInterface(DeviceExtension* ext);
// Leaves no facade: gives running control messages time to finish (the caller has already left
// the started state, so no new one enters), gives the removal notice and destroys the facade;
// then disables the device interface and frees its name. Does nothing twice. PASSIVE_LEVEL.
void StopFacade(DeviceExtension* ext);

}  // namespace q407
