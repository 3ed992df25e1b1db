#include "usbdriver/control/irp_forwarding.h"

namespace q407 {
namespace {

NTSTATUS SignalForwardedDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    (void)irp;  // the waiting dispatch routine owns the request again and completes it
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteWithCurrentStatus(PIRP irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalForwardedDone, &done, TRUE, TRUE, TRUE);
    const NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        const NTSTATUS waited = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        (void)waited;  // untimed kernel-mode wait: it returns when the event is set
    }
    return irp->IoStatus.Status;
}

}  // namespace q407
