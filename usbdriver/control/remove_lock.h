// The driver's own remove lock: a count of requests running in the device and a flag that
// removal sets, so that removal can wait until every running request has let go.
#pragma once

#include "platform/kernel/wdk.h"

namespace q407 {

struct RemoveLock {
    volatile LONG count;     // 1 (the device's own hold) plus one per running request
    volatile LONG removing;  // set by removal; no new hold is granted from then on
    KEVENT drained;          // signalled when the count reaches 0
};

// Count 1, not removing, event not signalled.
void InitializeRemoveLock(RemoveLock* lock);
// STATUS_SUCCESS, or STATUS_DELETE_PENDING once removal has begun.
NTSTATUS AcquireRemoveLock(RemoveLock* lock);
void ReleaseRemoveLock(RemoveLock* lock);
// Removal, holding one hold of its own: gives up that hold and the device's, then waits until
// every other holder has released. PASSIVE_LEVEL.
void ReleaseRemoveLockAndWait(RemoveLock* lock);

}  // namespace q407
