#include "tests/sim/host/test_driver.h"

#include <new>

#include "sim/host/io_manager.h"

namespace q407::test {
namespace {

TestDevice* Ext(PDEVICE_OBJECT d) {
    return static_cast<TestDevice*>(d->DeviceExtension);
}

void Log(TestDevice* d, const std::string& what) {
    if (d->log != nullptr) d->log->push_back(std::string(d->name) + ":" + what);
}

NTSTATUS FilterRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* d = static_cast<TestDevice*>(context);
    Log(d, "completion");
    d->sawPendingReturned = irp->PendingReturned != 0;
    if (device != d->self) Log(d, "wrong device");
    if (d->routineResult == STATUS_MORE_PROCESSING_REQUIRED) {
        d->heldIrp = irp;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (irp->PendingReturned && d->propagatePending) IoMarkIrpPending(irp);
    return d->routineResult;
}

void CompleteLater(PKDPC, PVOID context, PVOID, PVOID) {
    auto* d = static_cast<TestDevice*>(context);
    KeAcquireSpinLockAtDpcLevel(&d->lock);
    PIRP irp = d->pending;
    d->pending = nullptr;
    if (irp != nullptr && d->cancelable && IoSetCancelRoutine(irp, nullptr) == nullptr)
        irp = nullptr;  // the cancel routine owns it
    KeReleaseSpinLockFromDpcLevel(&d->lock);
    if (irp == nullptr) return;
    Log(d, "complete from DPC");
    irp->IoStatus.Status = d->completeStatus;
    irp->IoStatus.Information = d->information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    TestDevice* d = Ext(device);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&d->lock, &irql);
    if (d->pending == irp) d->pending = nullptr;
    KeReleaseSpinLock(&d->lock, irql);
    Log(d, "cancel");
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    TestDevice* d = Ext(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            ++d->creates;
            Log(d, "create");
            break;
        case IRP_MJ_CLEANUP:
            ++d->cleanups;
            Log(d, "cleanup");
            break;
        case IRP_MJ_CLOSE:
            ++d->closes;
            Log(d, "close");
            break;
        default:
            break;
    }
    if (d->role == TestDevice::Role::Filter) {
        Log(d, "dispatch");
        IoCopyCurrentIrpStackLocationToNext(irp);
        if (d->setRoutine)
            IoSetCompletionRoutine(irp, FilterRoutine, d, d->onSuccess, d->onError, d->onCancel);
        if (d->setRoutine && d->routineResult == STATUS_MORE_PROCESSING_REQUIRED &&
            d->pendWhenKeeping) {
            // The routine keeps the IRP and the driver completes it later: it pends it first.
            IoMarkIrpPending(irp);
            IoCallDriver(d->lower, irp);
            return STATUS_PENDING;
        }
        return IoCallDriver(d->lower, irp);
    }
    Log(d, "dispatch");
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL && d->control != nullptr) {
        ++d->controls;
        ULONG_PTR information = 0;
        const NTSTATUS status = d->control(irp, &information);
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        (stack->Parameters.DeviceIoControl.IoControlCode & 3) == METHOD_BUFFERED) {
        ++d->controls;
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        const ULONG n = stack->Parameters.DeviceIoControl.InputBufferLength <
                                stack->Parameters.DeviceIoControl.OutputBufferLength
                            ? stack->Parameters.DeviceIoControl.InputBufferLength
                            : stack->Parameters.DeviceIoControl.OutputBufferLength;
        for (ULONG i = 0; i < n; ++i) buffer[i] = static_cast<UCHAR>(buffer[i] + 1);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = n;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    if (d->pend && stack->MajorFunction != IRP_MJ_CREATE &&
        stack->MajorFunction != IRP_MJ_CLEANUP && stack->MajorFunction != IRP_MJ_CLOSE) {
        if (d->markPending) IoMarkIrpPending(irp);
        KIRQL irql;
        KeAcquireSpinLock(&d->lock, &irql);
        d->pending = irp;
        if (d->cancelable) IoSetCancelRoutine(irp, CancelRoutine);
        KeReleaseSpinLock(&d->lock, irql);
        if (d->completeAfter != 0) {
            LARGE_INTEGER due;
            due.QuadPart = -d->completeAfter;
            KeSetTimer(&d->timer, due, &d->dpc);
        }
        return STATUS_PENDING;
    }
    const NTSTATUS status =
        stack->MajorFunction <= IRP_MJ_CLOSE || stack->MajorFunction == IRP_MJ_CLEANUP
            ? STATUS_SUCCESS
            : d->completeStatus;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = d->information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void Unload(PDRIVER_OBJECT) {}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = Dispatch;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

}  // namespace

PDRIVER_OBJECT LoadTestDriver() {
    PDRIVER_OBJECT driver = nullptr;
    if (!NT_SUCCESS(sim::LoadDriver(L"TestDrv", Entry, &driver))) return nullptr;
    return driver;
}

TestDevice* CreateTestDevice(PDRIVER_OBJECT driver, TestDevice::Role role, const char* name,
                             std::vector<std::string>* log) {
    PDEVICE_OBJECT device;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(TestDevice), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &device)))
        return nullptr;
    auto* d = new (device->DeviceExtension) TestDevice();
    d->role = role;
    d->name = name;
    d->self = device;
    d->log = log;
    KeInitializeTimer(&d->timer);
    KeInitializeDpc(&d->dpc, CompleteLater, d);
    KeInitializeSpinLock(&d->lock);
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    return d;
}

void Attach(TestDevice* filter, PDEVICE_OBJECT stack) {
    filter->lower = IoAttachDeviceToDeviceStack(filter->self, stack);
}

void DeleteTestDevice(TestDevice* device) {
    KeCancelTimer(&device->timer);
    KeRemoveQueueDpc(&device->dpc);
    PDEVICE_OBJECT self = device->self;
    if (device->lower != nullptr) IoDetachDevice(device->lower);
    device->~TestDevice();
    IoDeleteDevice(self);
}

}  // namespace q407::test
