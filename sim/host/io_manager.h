// The I/O manager's side of the emulated machine: loading drivers, naming physical devices, and
// sending requests the way the system does (for the Plug and Play manager, processes and tests).
#pragma once

#include <functional>
#include <string>

#include "platform/kernel/wdk.h"

namespace q407::sim {

// Creates the driver object of a service and calls its DriverEntry at PASSIVE_LEVEL with the
// registry path "\Registry\Machine\System\CurrentControlSet\Services\<serviceName>". On failure
// the driver object is deleted again and the entry's status returned.
NTSTATUS LoadDriver(const std::wstring& serviceName, PDRIVER_INITIALIZE entry,
                    PDRIVER_OBJECT* driver = nullptr);
// Calls the driver's unload routine and deletes its driver object. STATUS_OBJECT_NAME_NOT_FOUND
// for a service that is not loaded; STATUS_INVALID_DEVICE_REQUEST while the driver still has
// device objects or has no unload routine.
NTSTATUS UnloadDriver(const std::wstring& serviceName);
PDRIVER_OBJECT FindDriver(const std::wstring& serviceName);
// Calls the driver's add-device routine for a physical device at PASSIVE_LEVEL.
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);
// ZwUnloadDriver asks this first when set (the Plug and Play manager removes the driver's devices
// and then unloads it); its status is returned.
void SetUnloadDriverHandler(std::function<NTSTATUS(const std::wstring& serviceName)> handler);

// Makes a device object the physical device object of a device instance (as a bus driver's child
// is named by the Plug and Play manager). The instance path ("USB\VID_0000&PID_0000\1") names its
// registry keys and device interfaces.
void SetPhysicalDevice(PDEVICE_OBJECT device, const std::wstring& instancePath);
// Empty for a device that is not a physical device object.
std::wstring DeviceInstancePath(PDEVICE_OBJECT device);
// The device an IRP for this device's stack goes to (the top of the stack), not referenced.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
bool IsDeviceObject(const void* object);

// Sends a system request to the top of a device's stack and waits for it (PASSIVE_LEVEL): the
// IRP is built as the system builds its own requests (status preset to initialStatus, which is
// STATUS_NOT_SUPPORTED for Plug and Play requests), fill sets up the driver's first stack location.
NTSTATUS SendSystemRequest(PDEVICE_OBJECT device, UCHAR majorFunction, UCHAR minorFunction,
                           const std::function<void(PIO_STACK_LOCATION)>& fill,
                           NTSTATUS initialStatus, ULONG_PTR* information = nullptr);

// Files opened on a physical device (through its interfaces) and not yet closed.
size_t OpenFileCount(PDEVICE_OBJECT physicalDevice);
// Called (PASSIVE_LEVEL, on the closing thread) when the last open file of a physical device has
// been closed; the Plug and Play manager finishes a surprise removal then. Null clears it.
void SetLastFileClosedHandler(std::function<void(PDEVICE_OBJECT physicalDevice)> handler);

// IRPs allocated and not yet freed (any owner).
size_t LiveIrpCount();

// Machine start-up: forgets loaded drivers, named devices and interfaces of a previous machine.
void ResetIoManager();

}  // namespace q407::sim
