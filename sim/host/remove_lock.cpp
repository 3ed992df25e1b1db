// Remove locks. The count starts at 1 (the lock's own hold); removal drops that hold and the
// caller's, then waits for every other hold to go. Each hold's tag is tracked so that a release
// without a matching acquire is caught.
#include <mutex>
#include <unordered_map>

#include "platform/kernel/wdk.h"
#include "sim/host/verifier.h"

namespace {

std::mutex g_mutex;
// Outstanding holds per lock and tag.
std::unordered_map<const IO_REMOVE_LOCK*, std::unordered_map<PVOID, int>>& Holds() {
    static auto* holds =
        new std::unordered_map<const IO_REMOVE_LOCK*, std::unordered_map<PVOID, int>>();
    return *holds;
}

void DropHold(PIO_REMOVE_LOCK lock, PVOID tag, const char* call) {
    std::lock_guard guard(g_mutex);
    auto it = Holds().find(lock);
    if (it == Holds().end()) q407::sim::BugCheck(call, "remove lock not initialised");
    auto hold = it->second.find(tag);
    if (hold == it->second.end())
        q407::sim::BugCheck(call, "release with a tag that holds no acquisition");
    if (--hold->second == 0) it->second.erase(hold);
}

void Decrement(PIO_REMOVE_LOCK lock, const char* call) {
    const LONG left = InterlockedDecrement(&lock->IoCount);
    if (left < 0) q407::sim::BugCheck(call, "remove lock released more often than acquired");
    if (left == 0) KeSetEvent(&lock->RemoveEvent, IO_NO_INCREMENT, FALSE);
}

}  // namespace

void IoInitializeRemoveLock(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                            ULONG HighWatermark) {
    (void)MaxLockedMinutes;
    (void)HighWatermark;
    Lock->Removed = FALSE;
    Lock->IoCount = 1;
    Lock->AllocateTag = AllocateTag;
    KeInitializeEvent(&Lock->RemoveEvent, NotificationEvent, FALSE);
    std::lock_guard guard(g_mutex);
    Holds()[Lock].clear();
}

NTSTATUS IoAcquireRemoveLock(PIO_REMOVE_LOCK RemoveLock, PVOID Tag) {
    q407::sim::RequireAtMostDispatch("IoAcquireRemoveLock");
    InterlockedIncrement(&RemoveLock->IoCount);
    if (__atomic_load_n(&RemoveLock->Removed, __ATOMIC_SEQ_CST)) {
        Decrement(RemoveLock, "IoAcquireRemoveLock");
        return STATUS_DELETE_PENDING;
    }
    std::lock_guard guard(g_mutex);
    auto it = Holds().find(RemoveLock);
    if (it == Holds().end())
        q407::sim::BugCheck("IoAcquireRemoveLock", "remove lock not initialised");
    ++it->second[Tag];
    return STATUS_SUCCESS;
}

void IoReleaseRemoveLock(PIO_REMOVE_LOCK RemoveLock, PVOID Tag) {
    q407::sim::RequireAtMostDispatch("IoReleaseRemoveLock");
    DropHold(RemoveLock, Tag, "IoReleaseRemoveLock");
    Decrement(RemoveLock, "IoReleaseRemoveLock");
}

void IoReleaseRemoveLockAndWait(PIO_REMOVE_LOCK RemoveLock, PVOID Tag) {
    q407::sim::RequirePassive("IoReleaseRemoveLockAndWait");
    DropHold(RemoveLock, Tag, "IoReleaseRemoveLockAndWait");
    __atomic_store_n(&RemoveLock->Removed, BOOLEAN(TRUE), __ATOMIC_SEQ_CST);
    Decrement(RemoveLock, "IoReleaseRemoveLockAndWait");  // the lock's own hold
    Decrement(RemoveLock, "IoReleaseRemoveLockAndWait");  // the caller's
    KeWaitForSingleObject(&RemoveLock->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}
