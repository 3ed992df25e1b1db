// The adapter device: PcInitializeAdapterDriver, PcAddAdapterDevice and the port-class driver's
// handling of the adapter's requests (PcDispatchIrp).
#include <algorithm>
#include <cwctype>
#include <string>

#include "sim/host/portcls/adapter_state.h"
#include "sim/host/portcls/resource_list.h"
#include "sim/host/verifier.h"

namespace q407::sim::portcls {
namespace detail {
namespace {

constexpr DEVICE_TYPE kFileDeviceKs = 0x0000002f;
uint64_t g_nextSequence = 1;

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits for the lower drivers; the caller completes it.
NTSTATUS ForwardAndWait(AdapterState* adapter, PIRP irp, bool power) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    const NTSTATUS sent =
        power ? PoCallDriver(adapter->lower, irp) : IoCallDriver(adapter->lower, irp);
    if (sent == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS PassDown(AdapterState* adapter, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(adapter->lower, irp);
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void ForgetAdapter(AdapterState* adapter) {
    std::lock_guard lock(RegistryMutex());
    std::erase(Adapters(), adapter);
}

NTSTATUS StartAdapter(AdapterState* adapter, PIRP irp) {
    NTSTATUS status = ForwardAndWait(adapter, irp, false);
    if (!NT_SUCCESS(status)) return CompleteWith(irp, status);
    PRESOURCELIST resources = nullptr;
    status = NewEmptyResourceList(&resources);
    if (!NT_SUCCESS(status)) return CompleteWith(irp, status);
    adapter->started = true;
    adapter->devicePower = PowerDeviceD0;
    status = adapter->startDevice(adapter->self, irp, resources);
    resources->Release();
    if (status == STATUS_PENDING)
        BugCheck("PcDispatchIrp", "the adapter's start routine returned STATUS_PENDING");
    if (!NT_SUCCESS(status)) adapter->started = false;
    return CompleteWith(irp, status);
}

NTSTATUS RemoveAdapter(AdapterState* adapter, PIRP irp) {
    PDEVICE_OBJECT self = adapter->self;
    PDEVICE_OBJECT lower = adapter->lower;
    UnregisterSubdevices(adapter);
    adapter->started = false;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(lower, irp);
    ForgetAdapter(adapter);
    auto* area = static_cast<PortClassArea*>(self->DeviceExtension);
    area->magic = 0;
    area->state = nullptr;
    delete adapter;
    IoDetachDevice(lower);
    IoDeleteDevice(self);
    return status;
}

NTSTATUS DispatchPnp(AdapterState* adapter, PIRP irp) {
    RequirePassive("PcDispatchIrp (Plug and Play)");
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return StartAdapter(adapter, irp);
        case IRP_MN_STOP_DEVICE:
            UnregisterSubdevices(adapter);
            adapter->started = false;
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(adapter, irp);
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(adapter, irp);
        case IRP_MN_SURPRISE_REMOVAL:
            DisableSubdeviceInterfaces(adapter);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(adapter, irp);
        case IRP_MN_REMOVE_DEVICE:
            return RemoveAdapter(adapter, irp);
        default:
            // Query-interface, capabilities, identifiers, relations, ...: the bus answers.
            return PassDown(adapter, irp);
    }
}

struct DevicePowerWait {
    KEVENT done;
    NTSTATUS status;
};

void DevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus) {
    auto* wait = static_cast<DevicePowerWait*>(context);
    wait->status = ioStatus->Status;
    KeSetEvent(&wait->done, IO_NO_INCREMENT, FALSE);
}

// The adapter as power policy owner asks for the device power state that goes with a system
// state, and waits for the request to come through its own stack.
NTSTATUS RequestDevicePower(AdapterState* adapter, DEVICE_POWER_STATE state) {
    DevicePowerWait wait;
    KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
    wait.status = STATUS_SUCCESS;
    POWER_STATE power;
    power.DeviceState = state;
    const NTSTATUS status = PoRequestPowerIrp(adapter->physical, IRP_MN_SET_POWER, power,
                                              DevicePowerDone, &wait, nullptr);
    if (status != STATUS_PENDING) return status;
    KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
    return wait.status;
}

void DeclareDevicePower(AdapterState* adapter, DEVICE_POWER_STATE state) {
    adapter->devicePower = state;
    POWER_STATE power;
    power.DeviceState = state;
    (void)PoSetPowerState(adapter->self, DevicePowerState, power);  // the old state is not needed
}

NTSTATUS SetDevicePower(AdapterState* adapter, PIRP irp, DEVICE_POWER_STATE state) {
    if (state > adapter->devicePower) {
        // Powering down: the miniports hear of it while the device still runs.
        NotifyPowerChange(adapter, state);
        DeclareDevicePower(adapter, state);
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(adapter->lower, irp);
    }
    // Powering up: the miniports hear of it once the device below is up.
    const NTSTATUS status = ForwardAndWait(adapter, irp, true);
    if (NT_SUCCESS(status) && state != adapter->devicePower) {
        DeclareDevicePower(adapter, state);
        NotifyPowerChange(adapter, state);
    }
    PoStartNextPowerIrp(irp);
    return CompleteWith(irp, status);
}

NTSTATUS SetSystemPower(AdapterState* adapter, PIRP irp, SYSTEM_POWER_STATE state) {
    if (state != PowerSystemWorking) {
        const NTSTATUS deviceStatus = RequestDevicePower(adapter, PowerDeviceD3);
        if (!NT_SUCCESS(deviceStatus)) {
            PoStartNextPowerIrp(irp);
            return CompleteWith(irp, deviceStatus);
        }
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(adapter->lower, irp);
    }
    NTSTATUS status = ForwardAndWait(adapter, irp, true);
    if (NT_SUCCESS(status) && adapter->devicePower != PowerDeviceD0)
        status = RequestDevicePower(adapter, PowerDeviceD0);
    PoStartNextPowerIrp(irp);
    return CompleteWith(irp, status);
}

NTSTATUS DispatchPower(AdapterState* adapter, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        // The adapter's device is pageable for power: requests arrive at PASSIVE_LEVEL, where
        // the adapter can wait for its own device power request.
        RequirePassive("PcDispatchIrp (set-power)");
        if (stack->Parameters.Power.Type == DevicePowerState)
            return SetDevicePower(adapter, irp, stack->Parameters.Power.State.DeviceState);
        return SetSystemPower(adapter, irp, stack->Parameters.Power.State.SystemState);
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(adapter->lower, irp);
}

// A client opens a subdevice by its interface ("...\ZEL_Wave1"): the remainder names it.
NTSTATUS DispatchCreate(AdapterState* adapter, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    std::wstring name;
    if (file != nullptr && file->FileName.Buffer != nullptr)
        name.assign(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR));
    if (!name.empty() && name[0] == L'\\') name.erase(0, 1);
    bool found = false;
    {
        std::lock_guard lock(RegistryMutex());
        for (const SubdeviceEntry& entry : adapter->subdevices) {
            if (entry.enabled && entry.name.size() == name.size() &&
                std::equal(name.begin(), name.end(), entry.name.begin(), [](wchar_t a, wchar_t b) {
                    return std::towlower(a) == std::towlower(b);
                }))
                found = true;
        }
    }
    return CompleteWith(irp, found ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace

std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<AdapterState*>& Adapters() {
    static std::vector<AdapterState*> adapters;
    return adapters;
}

AdapterState* FindAdapter(PDEVICE_OBJECT deviceObject) {
    if (deviceObject == nullptr || deviceObject->DeviceExtension == nullptr) return nullptr;
    auto* area = static_cast<PortClassArea*>(deviceObject->DeviceExtension);
    if (area->magic != kPortClassAreaMagic || area->state == nullptr) return nullptr;
    return area->state;
}

AdapterState* AdapterOf(PDEVICE_OBJECT deviceObject, const char* call) {
    AdapterState* adapter = FindAdapter(deviceObject);
    if (adapter == nullptr)
        BugCheck(call, "the device object is not an adapter added with PcAddAdapterDevice");
    return adapter;
}

}  // namespace detail

std::vector<PDEVICE_OBJECT> AdapterPhysicalDevices() {
    std::lock_guard lock(detail::RegistryMutex());
    std::vector<PDEVICE_OBJECT> devices;
    for (const detail::AdapterState* adapter : detail::Adapters())
        devices.push_back(adapter->physical);
    return devices;
}

}  // namespace q407::sim::portcls

using namespace q407::sim;
using namespace q407::sim::portcls::detail;

namespace {
// The port-class driver's own unload: nothing of it stays behind per driver.
void PortClassUnload(PDRIVER_OBJECT) {}
}  // namespace

NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                   PDRIVER_ADD_DEVICE AddDevice) {
    RequirePassive("PcInitializeAdapterDriver");
    UNREFERENCED_PARAMETER(RegistryPathName);
    if (DriverObject == nullptr) BugCheck("PcInitializeAdapterDriver", "null driver object");
    if (AddDevice == nullptr) BugCheck("PcInitializeAdapterDriver", "null add-device routine");
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = PortClassUnload;
    DriverObject->MajorFunction[IRP_MJ_PNP] = PcDispatchIrp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = PcDispatchIrp;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = PcDispatchIrp;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = PcDispatchIrp;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = PcDispatchIrp;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PcDispatchIrp;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PcDispatchIrp;
    return STATUS_SUCCESS;
}

NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects,
                            ULONG DeviceExtensionSize) {
    RequirePassive("PcAddAdapterDevice");
    if (DriverObject == nullptr || PhysicalDeviceObject == nullptr || StartDevice == nullptr)
        BugCheck("PcAddAdapterDevice", "null driver, physical device or start routine");
    // The extension must hold at least the port-class driver's area; 0 asks for just that.
    if (DeviceExtensionSize == 0) DeviceExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE;
    if (DeviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE || MaxObjects == 0)
        return STATUS_INVALID_PARAMETER;

    PDEVICE_OBJECT self = nullptr;
    NTSTATUS status =
        IoCreateDevice(DriverObject, DeviceExtensionSize, nullptr, kFileDeviceKs,
                       FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &self);
    if (!NT_SUCCESS(status)) return status;
    RtlZeroMemory(self->DeviceExtension, DeviceExtensionSize);

    auto* adapter = new AdapterState;
    adapter->self = self;
    adapter->physical = PhysicalDeviceObject;
    adapter->startDevice = StartDevice;
    adapter->maxObjects = MaxObjects;
    adapter->lower = IoAttachDeviceToDeviceStack(self, PhysicalDeviceObject);
    if (adapter->lower == nullptr) {
        delete adapter;
        IoDeleteDevice(self);
        return STATUS_NO_SUCH_DEVICE;
    }
    auto* area = static_cast<PortClassArea*>(self->DeviceExtension);
    area->magic = kPortClassAreaMagic;
    area->state = adapter;
    {
        std::lock_guard lock(RegistryMutex());
        adapter->sequence = g_nextSequence++;
        Adapters().push_back(adapter);
    }
    self->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    self->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    AdapterState* adapter = AdapterOf(DeviceObject, "PcDispatchIrp");
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
        case IRP_MJ_PNP:
            return DispatchPnp(adapter, Irp);
        case IRP_MJ_POWER:
            return DispatchPower(adapter, Irp);
        case IRP_MJ_CREATE:
            return DispatchCreate(adapter, Irp);
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            return CompleteWith(Irp, STATUS_SUCCESS);
        case IRP_MJ_SYSTEM_CONTROL:
            return PassDown(adapter, Irp);
        default:
            // The bench's audio stack reaches filters and pins in-process, not by I/O control.
            return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}
