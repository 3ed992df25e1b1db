// Q407DRV's entry, add-device and unload, and the dispatch routines: the client-facing ones
// (create, close, clean-up, device control) here, Plug and Play and power in their own files.
#include "usbdriver/control/function_device.h"

#include "shared/control_message_fields.h"
#include "shared/device_interface.h"
#include "usbdriver/control/child_device.h"
#include "usbdriver/control/client_attachment.h"
#include "usbdriver/control/control_dispatch.h"
#include "usbdriver/control/function_pnp.h"
#include "usbdriver/control/function_power.h"
#include "usbdriver/control/irp_forwarding.h"
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

// A device pulled out (its handles stay open until their clients close them) or being removed
// will never take a control message again.
bool RemovalUnderWay(DeviceExtension* ext) {
    const LONG state = InterlockedCompareExchange(&ext->pnpState, 0, 0);
    return state == static_cast<LONG>(PnpState::SurpriseRemoved) ||
           state == static_cast<LONG>(PnpState::Removed);
}

// Create and close always succeed; the child device has no clients of its own either.
NTSTATUS DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

// The handle's client is done (it closed the handle or its process ended): what it was given is
// released here, in its own process.
NTSTATUS DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    if (IsChildDevice(device)) return CompleteRequest(irp, STATUS_SUCCESS, 0);
    DeviceExtension* ext = ExtensionOf(device);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    DeviceFacade* facade = EnterFacade(ext);
    ReleaseClientResources(facade, file);
    if (facade != nullptr) LeaveFacade(ext);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    if (IsChildDevice(device)) return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    DeviceExtension* ext = ExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = AcquireRemoveLock(&ext->removeLock);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);

    ULONG_PTR information = 0;
    DeviceFacade* facade = nullptr;
    if (RemovalUnderWay(ext)) {
        status = STATUS_DELETE_PENDING;
    } else if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_Q407_CONTROL_MESSAGE ||
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

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    if (IsChildDevice(device)) return ChildDevicePnp(device, irp);
    return FunctionDevicePnp(device, irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    if (IsChildDevice(device)) return ChildDevicePower(device, irp);
    return FunctionDevicePower(device, irp);
}

// Management instrumentation is the bus driver's business; the child, a bus device itself,
// answers with what the request already says.
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
    if (IsChildDevice(device)) return CompleteWithCurrentStatus(irp);
    return PassDown(ExtensionOf(device)->lowerDevice, irp);
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
    if (!IoIsWdmVersionAvailable(6, 0)) return STATUS_UNSUCCESSFUL;
    InitializeClientAttachment();
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    driver->DriverExtension->AddDevice = Q407AddDevice;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

NTSTATUS Q407AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    DeviceExtension* ext = ExtensionOf(device);
    RtlZeroMemory(ext, sizeof(*ext));
    ext->childFlag = 0;
    ext->self = device;
    ext->physicalDevice = physicalDevice;
    ext->driver = driver;
    InitializeRemoveLock(&ext->removeLock);
    ext->pnpState = static_cast<LONG>(PnpState::NotStarted);
    ext->previousPnpState = static_cast<LONG>(PnpState::NotStarted);
    KeInitializeEvent(&ext->facadeIdle, SynchronizationEvent, FALSE);

    status = RegisterDeviceInterface(ext);
    if (NT_SUCCESS(status)) {
        ext->lowerDevice = IoAttachDeviceToDeviceStack(device, physicalDevice);
        if (ext->lowerDevice == nullptr) status = STATUS_NO_SUCH_DEVICE;
    }
    if (!NT_SUCCESS(status)) {
        if (ext->interfaceName.Buffer != nullptr) RtlFreeUnicodeString(&ext->interfaceName);
        if (ext->lowerDevice != nullptr) IoDetachDevice(ext->lowerDevice);
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    ext->devicePowerState = PowerDeviceD0;
    ext->systemPowerState = PowerSystemWorking;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    (void)PoSetPowerState(device, DevicePowerState, state);  // the previous state is of no use
    device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

NTSTATUS RegisterDeviceInterface(DeviceExtension* ext) {
    return IoRegisterDeviceInterface(ext->physicalDevice, &kInterfaceClass, nullptr,
                                     &ext->interfaceName);
}

void StopFacade(DeviceExtension* ext) {
    WaitForFacadeUsers(ext);
    if (ext->facade != nullptr) {
        NotifyRemoval(ext->facade);
        DestroyFacade(ext->facade);
        ext->facade = nullptr;
    }
    if (ext->interfaceName.Buffer != nullptr) {
        const NTSTATUS status = IoSetDeviceInterfaceState(&ext->interfaceName, FALSE);
        if (!NT_SUCCESS(status)) ENGINE_TRACE("StopFacade interface 0x%08X\n", status);
        RtlFreeUnicodeString(&ext->interfaceName);
        RtlZeroMemory(&ext->interfaceName, sizeof(ext->interfaceName));
    }
}

}  // namespace q407
