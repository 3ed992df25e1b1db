// Q407DRV's functional device: entry, add-device, the client-facing dispatch routines, and the
// start and removal steps.
#include "usbdriver/control/function_device.h"

#include "shared/control_message_fields.h"
#include "shared/device_interface.h"
#include "usbdriver/control/client_attachment.h"
#include "usbdriver/control/control_dispatch.h"
#include "usbdriver/driver_pool.h"
#include "usbdriver/engine/engine_trace.h"

namespace q407 {
namespace {

const GUID kInterfaceClass = {GUID_DEVINTERFACE_Q407.Data1,
                              GUID_DEVINTERFACE_Q407.Data2,
                              GUID_DEVINTERFACE_Q407.Data3,
                              {GUID_DEVINTERFACE_Q407.Data4[0], GUID_DEVINTERFACE_Q407.Data4[1],
                               GUID_DEVINTERFACE_Q407.Data4[2], GUID_DEVINTERFACE_Q407.Data4[3],
                               GUID_DEVINTERFACE_Q407.Data4[4], GUID_DEVINTERFACE_Q407.Data4[5],
                               GUID_DEVINTERFACE_Q407.Data4[6], GUID_DEVINTERFACE_Q407.Data4[7]}};

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The facade while the device is started, counted so that stopping waits for its users.
DeviceFacade* EnterFacade(DeviceExtension* ext) {
    InterlockedIncrement(&ext->facadeUsers);
    if (InterlockedCompareExchange(&ext->pnpState, 0, 0) != static_cast<LONG>(PnpState::Started)) {
        if (InterlockedDecrement(&ext->facadeUsers) == 0)
            KeSetEvent(&ext->facadeIdle, IO_NO_INCREMENT, FALSE);
        return nullptr;
    }
    return ext->facade;
}

void LeaveFacade(DeviceExtension* ext) {
    if (InterlockedDecrement(&ext->facadeUsers) == 0)
        KeSetEvent(&ext->facadeIdle, IO_NO_INCREMENT, FALSE);
}

void WaitForFacadeUsers(DeviceExtension* ext) {
    while (InterlockedCompareExchange(&ext->facadeUsers, 0, 0) != 0) {
        const NTSTATUS status =
            KeWaitForSingleObject(&ext->facadeIdle, Executive, KernelMode, FALSE, nullptr);
        (void)status;  // untimed kernel-mode wait: it returns when the event is set
    }
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    DeviceExtension* ext = ExtensionOf(device);
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    // A new handle needs a device that is not going away; closing one always succeeds.
    if (major == IRP_MJ_CREATE) {
        if (!NT_SUCCESS(AcquireRemoveLock(&ext->removeLock)))
            return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
        ReleaseRemoveLock(&ext->removeLock);
    }
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

// The handle's client is done (it closed the handle or its process ended): what it was given is
// released here, in its own process.
NTSTATUS DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    DeviceExtension* ext = ExtensionOf(device);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    DeviceFacade* facade = EnterFacade(ext);
    ReleaseClientResources(facade, file);
    if (facade != nullptr) LeaveFacade(ext);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    DeviceExtension* ext = ExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = AcquireRemoveLock(&ext->removeLock);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);

    ULONG_PTR information = 0;
    DeviceFacade* facade = nullptr;
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_Q407_CONTROL_MESSAGE ||
        (facade = EnterFacade(ext)) == nullptr) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        // A shorter message would have the driver read or write past the buffer.
        if (inputLength < kControlMessageSize || outputLength < kControlMessageSize ||
            irp->AssociatedIrp.SystemBuffer == nullptr) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            ControlMessage message;
            RtlCopyMemory(&message, irp->AssociatedIrp.SystemBuffer, sizeof(message));
            status = DispatchControlMessage(facade, &message, stack->FileObject);
            RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &message, sizeof(message));
            information = outputLength;
        }
        LeaveFacade(ext);
    }
    CompleteRequest(irp, status, information);
    ReleaseRemoveLock(&ext->removeLock);
    return status;
}

void DriverUnload(PDRIVER_OBJECT driver) {
    (void)driver;
    // Clean-up of every handle has released its buffers; anything left is released here.
    if (SharedBufferCount() != 0) ENGINE_TRACE("DriverUnload: shared buffers left\n");
    ReleaseAllSharedBuffers();
    ENGINE_TRACE("DRV DriverUnload >>>>>>\n");
}

}  // namespace

NTSTATUS Q407DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    (void)registryPath;
    ENGINE_TRACE("USB 2.0 Audio DriverEntry:\n");
    // Before anything is allocated. A version that cannot be read leaves the plain pool, which
    // every system accepts, so the entry goes on.
    const NTSTATUS poolStatus = SelectDriverPoolType();
    if (!NT_SUCCESS(poolStatus))
        ENGINE_TRACE("DriverEntry: system version unreadable 0x%08X\n",
                     static_cast<unsigned>(poolStatus));
    InitializeClientAttachment();
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverExtension->AddDevice = Q407AddDevice;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

NTSTATUS Q407AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    DeviceExtension* ext = ExtensionOf(device);
    RtlZeroMemory(ext, sizeof(*ext));
    ext->self = device;
    ext->physicalDevice = physicalDevice;
    ext->pnpState = static_cast<LONG>(PnpState::NotStarted);
    InitializeRemoveLock(&ext->removeLock);
    KeInitializeEvent(&ext->facadeIdle, SynchronizationEvent, FALSE);

    status =
        IoRegisterDeviceInterface(physicalDevice, &kInterfaceClass, nullptr, &ext->interfaceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    ext->lowerDevice = IoAttachDeviceToDeviceStack(device, physicalDevice);
    if (ext->lowerDevice == nullptr) {
        RtlFreeUnicodeString(&ext->interfaceName);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

NTSTATUS StartFunctionDevice(PDEVICE_OBJECT device) {
    DeviceExtension* ext = ExtensionOf(device);
    if (ext->facade != nullptr) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = CreateFacade(device, ext->lowerDevice, &ext->facade);
    if (!NT_SUCCESS(status)) return status;
    InterlockedExchange(&ext->pnpState, static_cast<LONG>(PnpState::Started));
    status = IoSetDeviceInterfaceState(&ext->interfaceName, TRUE);
    if (!NT_SUCCESS(status)) ENGINE_TRACE("StartDevice interface 0x%08X\n", status);
    return STATUS_SUCCESS;
}

void StopFunctionDevice(PDEVICE_OBJECT device) {
    DeviceExtension* ext = ExtensionOf(device);
    const LONG previous =
        InterlockedExchange(&ext->pnpState, static_cast<LONG>(PnpState::NotStarted));
    if (previous == static_cast<LONG>(PnpState::Started)) {
        const NTSTATUS status = IoSetDeviceInterfaceState(&ext->interfaceName, FALSE);
        if (!NT_SUCCESS(status)) ENGINE_TRACE("StopDevice interface 0x%08X\n", status);
    }
    WaitForFacadeUsers(ext);
    if (ext->facade == nullptr) return;
    NotifyRemoval(ext->facade);
    DestroyFacade(ext->facade);
    ext->facade = nullptr;
}

void BeginRemoveFunctionDevice(PDEVICE_OBJECT device) {
    DeviceExtension* ext = ExtensionOf(device);
    StopFunctionDevice(device);
    const NTSTATUS status = AcquireRemoveLock(&ext->removeLock);
    if (NT_SUCCESS(status)) ReleaseRemoveLockAndWait(&ext->removeLock);
    InterlockedExchange(&ext->pnpState, static_cast<LONG>(PnpState::Removed));
}

void FinishRemoveFunctionDevice(PDEVICE_OBJECT device) {
    DeviceExtension* ext = ExtensionOf(device);
    RtlFreeUnicodeString(&ext->interfaceName);
    if (ext->lowerDevice != nullptr) IoDetachDevice(ext->lowerDevice);
    ext->lowerDevice = nullptr;
    IoDeleteDevice(device);
}

}  // namespace q407
