#include "usbdriver/control/remove_lock.h"

namespace q407 {

void InitializeRemoveLock(RemoveLock* lock) {
    lock->count = 1;
    lock->removing = 0;
    KeInitializeEvent(&lock->drained, NotificationEvent, FALSE);
}

NTSTATUS AcquireRemoveLock(RemoveLock* lock) {
    InterlockedIncrement(&lock->count);
    if (InterlockedCompareExchange(&lock->removing, 0, 0) != 0) {
        // Removal may be waiting for exactly this hold to go.
        if (InterlockedDecrement(&lock->count) == 0)
            KeSetEvent(&lock->drained, IO_NO_INCREMENT, FALSE);
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

void ReleaseRemoveLock(RemoveLock* lock) {
    if (InterlockedDecrement(&lock->count) == 0) KeSetEvent(&lock->drained, IO_NO_INCREMENT, FALSE);
}

void ReleaseRemoveLockAndWait(RemoveLock* lock) {
    InterlockedExchange(&lock->removing, 1);
    ReleaseRemoveLock(lock);
    ReleaseRemoveLock(lock);
    const NTSTATUS status =
        KeWaitForSingleObject(&lock->drained, Executive, KernelMode, FALSE, nullptr);
    (void)status;  // untimed kernel-mode wait: it returns when the event is set
}

}  // namespace q407
