// IRQL and spin locks. A spin lock holds its owner's token, so releasing a lock that is not held,
// or taking one twice on the same thread, is caught.
#include <sched.h>

#include "platform/kernel/ke.h"
#include "sim/host/paged_pool.h"
#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"

using q407::sim::BugCheck;
using q407::sim::CurrentThreadContext;

KIRQL KeGetCurrentIrql() {
    return CurrentThreadContext().irql;
}

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    auto& ctx = CurrentThreadContext();
    if (NewIrql < ctx.irql)
        BugCheck("KeRaiseIrql",
                 "raising to IRQL " + std::to_string(NewIrql) + ", below the current IRQL");
    if (NewIrql > HIGH_LEVEL) BugCheck("KeRaiseIrql", "invalid IRQL " + std::to_string(NewIrql));
    *OldIrql = ctx.irql;
    if (NewIrql >= DISPATCH_LEVEL && ctx.irql < DISPATCH_LEVEL)
        q407::sim::detail::PageOutPagedPool();
    ctx.irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) {
    auto& ctx = CurrentThreadContext();
    if (NewIrql > ctx.irql)
        BugCheck("KeLowerIrql",
                 "lowering to IRQL " + std::to_string(NewIrql) + ", above the current IRQL");
    if (NewIrql < DISPATCH_LEVEL && ctx.spinLocksHeld != 0)
        BugCheck("KeLowerIrql", "lowering below DISPATCH_LEVEL while holding a spin lock");
    ctx.irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

namespace {

KSPIN_LOCK OwnerToken() {
    // The address of the thread's context is unique among live threads; bit 0 keeps it non-zero.
    return reinterpret_cast<KSPIN_LOCK>(&CurrentThreadContext()) | 1;
}

void Acquire(PKSPIN_LOCK lock, const char* call) {
    const KSPIN_LOCK me = OwnerToken();
    KSPIN_LOCK expected = 0;
    unsigned spins = 0;
    while (!__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
        if (expected == me) BugCheck(call, "spin lock already held by this thread (deadlock)");
        expected = 0;
        if (++spins % 64 == 0) sched_yield();
    }
    ++CurrentThreadContext().spinLocksHeld;
}

void Release(PKSPIN_LOCK lock, const char* call) {
    const KSPIN_LOCK me = OwnerToken();
    const KSPIN_LOCK value = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (value == 0) BugCheck(call, "releasing a spin lock that is not held");
    if (value != me) BugCheck(call, "releasing a spin lock held by another thread");
    --CurrentThreadContext().spinLocksHeld;
    __atomic_store_n(lock, KSPIN_LOCK(0), __ATOMIC_RELEASE);
}

}  // namespace

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, KSPIN_LOCK(0), __ATOMIC_RELAXED);
}

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    if (CurrentThreadContext().irql > DISPATCH_LEVEL)
        BugCheck("KeAcquireSpinLock", "called above DISPATCH_LEVEL");
    KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
    Acquire(SpinLock, "KeAcquireSpinLock");
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL old;
    if (CurrentThreadContext().irql > DISPATCH_LEVEL)
        BugCheck("KeAcquireSpinLockRaiseToDpc", "called above DISPATCH_LEVEL");
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Acquire(SpinLock, "KeAcquireSpinLockRaiseToDpc");
    return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    if (CurrentThreadContext().irql != DISPATCH_LEVEL)
        BugCheck("KeReleaseSpinLock", "called at an IRQL other than DISPATCH_LEVEL");
    Release(SpinLock, "KeReleaseSpinLock");
    KeLowerIrql(NewIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (CurrentThreadContext().irql < DISPATCH_LEVEL)
        BugCheck("KeAcquireSpinLockAtDpcLevel", "called below DISPATCH_LEVEL");
    Acquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (CurrentThreadContext().irql < DISPATCH_LEVEL)
        BugCheck("KeReleaseSpinLockFromDpcLevel", "called below DISPATCH_LEVEL");
    Release(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}
