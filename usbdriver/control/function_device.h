// Q407DRV's functional device: its extension, the driver's entry and dispatch routines for
// create, close, clean-up and device control, the device interface, and the start and removal
// steps the Plug and Play handling calls.
#pragma once

#include "platform/kernel/wdk.h"
#include "usbdriver/control/device_extension.h"

namespace q407 {

// The driver's entry: dispatch routines, add-device and unload. The Windows image's DriverEntry
// calls it; the bench loads the driver through it.
NTSTATUS Q407DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS Q407AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);

// Start: creates the facade (engine up, pipes running), enters the started state and enables the
// device interface. STATUS_INSUFFICIENT_RESOURCES or the engine's status on failure.
NTSTATUS StartFunctionDevice(PDEVICE_OBJECT device);
// Stop, surprise removal: leaves the started state so new control messages are refused, waits
// for running ones, gives the removal notice and destroys the facade, disables the interface.
void StopFunctionDevice(PDEVICE_OBJECT device);
// Removal in two steps: the first stops the device and drains the remove lock (requests are
// refused with STATUS_DELETE_PENDING from then on); the second detaches and deletes the device.
void BeginRemoveFunctionDevice(PDEVICE_OBJECT device);
void FinishRemoveFunctionDevice(PDEVICE_OBJECT device);

}  // namespace q407
