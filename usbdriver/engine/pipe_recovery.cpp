// Recovery of a streaming pipe after a transfer error. A transfer that fails for any reason but
// cancellation or removal is held, and the pipe is restarted from a work item at PASSIVE_LEVEL:
// every transfer of the pipe is brought back (abort), the pipe is reset, and the held transfers
// go down again. A pipe whose restarts keep failing, with no successful transfer in between, is
// given up with a trace and a count the clients can read.
#include "usbdriver/engine/engine_trace.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

constexpr ULONG kQuietWaitSteps = 40;  // 40 x 100 ms for the transfers to come back
constexpr LONGLONG kQuietWaitStep = -100LL * 10000LL;
constexpr LONGLONG kRestartDelayStep = -10LL * 10000LL;  // 10 ms more before every retry

ULONG CountBits(ULONG mask) {
    ULONG count = 0;
    for (; mask != 0; mask &= mask - 1) ++count;
    return count;
}

void Retire(TransferRecord* transfer) {
    PipeGroup* group = transfer->group;
    if (InterlockedDecrement(&group->pending) == 0)
        KeSetEvent(&group->drained, IO_NO_INCREMENT, FALSE);
}

// The abort and reset requests of the pipe; a URB error fails the request.
NTSTATUS SendPipeRequest(StreamEngine& engine, USHORT function, USBD_PIPE_HANDLE pipe) {
    auto* urb = static_cast<URB*>(
        ExAllocatePoolWithTag(DriverPoolType(), sizeof(_URB_PIPE_REQUEST), kEnginePoolTag));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, sizeof(_URB_PIPE_REQUEST));
    UsbBuildPipeRequest(urb, function, pipe);
    NTSTATUS status = engine.SendUrbSync(urb, IOCTL_INTERNAL_USB_SUBMIT_URB);
    if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
    ExFreePoolWithTag(urb, kEnginePoolTag);
    return status;
}

// Waits until every transfer still circulating is held, or the group stops. FALSE when the
// transfers did not come back in time.
BOOLEAN WaitAllHeld(PipeGroup* group) {
    for (ULONG step = 0; step < kQuietWaitSteps; ++step) {
        const KIRQL irql = KeAcquireSpinLockRaiseToDpc(group->lock);
        const BOOLEAN quiet =
            group->stopping != 0 || static_cast<LONG>(CountBits(group->parkedMask)) ==
                                        InterlockedCompareExchange(&group->pending, 0, 0);
        if (!quiet) KeClearEvent(&group->parked);
        KeReleaseSpinLock(group->lock, irql);
        if (quiet) return TRUE;
        LARGE_INTEGER timeout;
        timeout.QuadPart = kQuietWaitStep;
        // A time-out only means another look.
        (void)KeWaitForSingleObject(&group->parked, Executive, KernelMode, FALSE, &timeout);
    }
    return FALSE;
}

}  // namespace

void RestartPipeWork(PDEVICE_OBJECT deviceObject, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    auto* group = static_cast<PipeGroup*>(context);
    group->engine->RestartPipe(group);
}

void StreamEngine::HoldForRestart(TransferRecord* transfer, BOOLEAN failed, NTSTATUS irpStatus,
                                  USBD_STATUS urbStatus) {
    PipeGroup* group = transfer->group;
    if (failed) {
        InterlockedIncrement(&m_PipeTransferErrors);
        // What the failed transfer carried is not sent again.
        FillIdle(transfer);
    }
    group->parkedMask |= ULONG(1) << transfer->index;
    group->restarting = 1;
    KeSetEvent(&group->parked, IO_NO_INCREMENT, FALSE);
    if (group->restartQueued != 0) return;
    group->restartQueued = 1;
    KeClearEvent(&group->restartIdle);
    ENGINE_TRACE("UsbPipe ERROR pipe 0x%02X transfer failed 0x%08X/0x%08X, restarting\n",
                 group->pipe.EndpointAddress, static_cast<unsigned>(irpStatus),
                 static_cast<unsigned>(urbStatus));
    IoQueueWorkItem(group->restartItem, RestartPipeWork, DelayedWorkQueue, group);
}

void StreamEngine::RestartPipe(PipeGroup* group) {
    PKSPIN_LOCK lock = group->lock;
    const UCHAR endpoint = group->pipe.EndpointAddress;
    for (;;) {
        // Every transfer of the pipe comes back before the pipe is reset.
        NTSTATUS status = SendPipeRequest(*this, URB_FUNCTION_ABORT_PIPE, group->pipe.PipeHandle);
        if (NT_SUCCESS(status) && !WaitAllHeld(group)) status = STATUS_IO_TIMEOUT;
        if (NT_SUCCESS(status) && InterlockedCompareExchange(&group->stopping, 0, 0) == 0) {
            // Each retry waits a little longer, so that a device that needs a moment gets it.
            LARGE_INTEGER delay;
            delay.QuadPart =
                kRestartDelayStep * (InterlockedCompareExchange(&group->failedRestarts, 0, 0) + 1);
            // The delay cannot fail: it only passes time.
            (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
            status = SendPipeRequest(*this, URB_FUNCTION_RESET_PIPE, group->pipe.PipeHandle);
        }

        KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
        const ULONG held = group->parkedMask;
        group->parkedMask = 0;
        const LONG attempt = InterlockedIncrement(&group->failedRestarts);
        BOOLEAN resubmit = FALSE;
        if (group->stopping == 0) {
            if (NT_SUCCESS(status) && attempt <= kMaxFailedRestarts) {
                resubmit = TRUE;
                group->restarting = 0;
                // Readied under the lock, so that a stop from now on cancels them on their way.
                for (ULONG i = 0; i < kMaxTransfersPerPipe; ++i) {
                    if ((held & (ULONG(1) << i)) != 0) PrepareTransfer(group->transfers[i]);
                }
            } else {
                group->gaveUp = 1;
            }
        }
        const BOOLEAN gaveUp = group->gaveUp != 0 && group->stopping == 0;
        KeReleaseSpinLock(lock, irql);

        for (ULONG i = 0; i < kMaxTransfersPerPipe; ++i) {
            if ((held & (ULONG(1) << i)) == 0) continue;
            // The completion routine sees every outcome of the call.
            if (resubmit)
                (void)IofCallDriver(m_LowerDevice, group->transfers[i]->irp);
            else
                Retire(group->transfers[i]);
        }
        if (resubmit) {
            InterlockedIncrement(&m_PipeRestarts);
        } else if (gaveUp) {
            InterlockedIncrement(&m_PipesGivenUp);
            ENGINE_TRACE("UsbPipe ERROR pipe 0x%02X given up after %d restarts, status 0x%08X\n",
                         endpoint, static_cast<int>(attempt - 1), static_cast<unsigned>(status));
        }

        // Transfers that failed again while this restart resubmitted wait for the next round;
        // what a stop or a give-up left held is retired here.
        irql = KeAcquireSpinLockRaiseToDpc(lock);
        if (group->parkedMask != 0 && group->stopping == 0 && group->gaveUp == 0) {
            group->restarting = 1;
            KeReleaseSpinLock(lock, irql);
            continue;
        }
        const ULONG left = group->parkedMask;
        group->parkedMask = 0;
        KeReleaseSpinLock(lock, irql);
        for (ULONG i = 0; i < kMaxTransfersPerPipe; ++i) {
            if ((left & (ULONG(1) << i)) != 0) Retire(group->transfers[i]);
        }
        // The last touch of the group: a stop waiting for this event may free it at once.
        irql = KeAcquireSpinLockRaiseToDpc(lock);
        group->restartQueued = 0;
        KeSetEvent(&group->restartIdle, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(lock, irql);
        return;
    }
}

void StreamEngine::GetPipeErrorCounts(PipeErrorCounts* counts) const {
    if (counts == nullptr) return;
    auto* self = const_cast<StreamEngine*>(this);
    counts->transferErrors =
        static_cast<ULONG>(InterlockedCompareExchange(&self->m_PipeTransferErrors, 0, 0));
    counts->restarts = static_cast<ULONG>(InterlockedCompareExchange(&self->m_PipeRestarts, 0, 0));
    counts->pipesGivenUp =
        static_cast<ULONG>(InterlockedCompareExchange(&self->m_PipesGivenUp, 0, 0));
}

}  // namespace q407
