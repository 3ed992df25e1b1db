// Kernel executive services: IRQL, spin locks, dispatcher objects (events, timers), DPCs, waits,
// time and interlocked operations.
#pragma once

#include "nt_types.h"
#include "ntstatus_values.h"

// --- IRQL -------------------------------------------------------------------------------------
KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel();

// --- Spin locks -------------------------------------------------------------------------------
using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;
void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

// --- Dispatcher objects -----------------------------------------------------------------------
enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum KWAIT_REASON { Executive = 0, UserRequest = 6 };

// Common head of every waitable object. SignalState is the whole state; the emulation keeps no
// hidden per-object allocations, so objects may live anywhere (stack, pool, extensions).
struct DISPATCHER_HEADER {
    UCHAR Type;  // one of the DispatcherObject* values below
    UCHAR Reserved[3];
    volatile LONG SignalState;
};

enum : UCHAR {
    DispatcherObjectNotificationEvent = 0,
    DispatcherObjectSynchronizationEvent = 1,
    DispatcherObjectTimer = 8,
    DispatcherObjectThread = 6,
};

struct KEVENT {
    DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
// Returns the previous signal state.
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

// Timeout: null waits forever; negative is relative in 100 ns units; positive is an absolute
// system time. Returns STATUS_SUCCESS (STATUS_WAIT_0) or STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);

enum WAIT_TYPE { WaitAll = 0, WaitAny = 1 };
#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64
// WaitAny returns STATUS_WAIT_0 + the index of the object that satisfied the wait; WaitAll returns
// STATUS_WAIT_0 once all are signalled together. WaitBlockArray is not needed by the emulation.
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout, PVOID WaitBlockArray);

// --- DPCs and timers --------------------------------------------------------------------------
struct KDPC;
using PKDPC = KDPC*;
using PKDEFERRED_ROUTINE = void (*)(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                    PVOID SystemArgument2);

struct KDPC {
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile ULONG_PTR DpcData;  // non-zero while queued
};

void KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PKDPC Dpc);

struct KTIMER {
    DISPATCHER_HEADER Header;  // signalled when the timer expires
    ULONGLONG DueTime;         // interrupt time (100 ns units) of the next expiry while set
    LONG Period;               // milliseconds, 0 for a one-shot timer
    PKDPC Dpc;
    volatile ULONG64 TimerId;  // the machine clock's entry while set, else 0
};
using PKTIMER = KTIMER*;

enum TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 };
void KeInitializeTimer(PKTIMER Timer);
void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
// Returns TRUE if the timer was already set (it is then re-armed).
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
// Returns TRUE if the timer was set (and is now cancelled).
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

// --- Time -------------------------------------------------------------------------------------
// Busy-waits; the machine clock moves on meanwhile (in virtual time it advances by the delay).
void KeStallExecutionProcessor(ULONG MicroSeconds);
// Interval as for KeWaitForSingleObject's timeout. PASSIVE_LEVEL only.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval);
// 100 ns units since 1601-01-01 (the machine clock's epoch is fixed so runs repeat).
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
// 100 ns units since the machine booted.
ULONGLONG KeQueryInterruptTime();
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);

// --- Floating point and vector state around vectorised code ------------------------------------
// Kernel code may use the SSE registers freely; wider registers (AVX) only between
// KeSaveExtendedProcessorState and KeRestoreExtendedProcessorState for their mask, on the same
// thread, restored in reverse order of saving. The emulation keeps the open saves per thread.
#define XSTATE_MASK_LEGACY_FLOATING_POINT 0x1ULL
#define XSTATE_MASK_LEGACY_SSE 0x2ULL
#define XSTATE_MASK_LEGACY (XSTATE_MASK_LEGACY_FLOATING_POINT | XSTATE_MASK_LEGACY_SSE)
#define XSTATE_MASK_GSSE 0x4ULL
#define XSTATE_MASK_AVX XSTATE_MASK_GSSE
struct XSTATE_SAVE {
    XSTATE_SAVE* Prev;  // the save opened before this one on the same thread
    PVOID Thread;       // the thread that saved
    UCHAR Level;        // IRQL at the save
    ULONG64 Mask;
};
using PXSTATE_SAVE = XSTATE_SAVE*;
// IRQL <= DISPATCH_LEVEL.
NTSTATUS KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave);
void KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave);
// The project's check, called first by every routine that uses registers beyond SSE2: the
// emulated kernel bug-checks unless the current thread has an open save covering Mask.
void KeCheckExtendedStateSaved(ULONG64 Mask);

#define PF_XMMI64_INSTRUCTIONS_AVAILABLE 10
#define PF_AVX2_INSTRUCTIONS_AVAILABLE 40
BOOLEAN ExIsProcessorFeaturePresent(ULONG ProcessorFeature);

struct KFLOATING_SAVE {
    ULONG Reserved[8];
};
using PKFLOATING_SAVE = KFLOATING_SAVE*;
NTSTATUS KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave);
NTSTATUS KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave);

// --- Interlocked ------------------------------------------------------------------------------
inline LONG InterlockedIncrement(volatile LONG* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(volatile LONG* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(volatile LONG* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchangeAdd(volatile LONG* p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedOr(volatile LONG* p, LONG v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAnd(volatile LONG* p, LONG v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedCompareExchange(volatile LONG* p, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG64 InterlockedIncrement64(volatile LONG64* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedExchange64(volatile LONG64* p, LONG64 v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedCompareExchange64(volatile LONG64* p, LONG64 exchange, LONG64 comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
// Ordered loads and stores of memory that another processor reads or writes without a lock.
#define Q407_DEFINE_ORDERED_ACCESS(Type, ReadAcquireName, ReadNoFenceName, WriteReleaseName, \
                                   WriteNoFenceName)                                         \
    inline Type ReadAcquireName(Type const volatile* Source) {                               \
        return __atomic_load_n(Source, __ATOMIC_ACQUIRE);                                    \
    }                                                                                        \
    inline Type ReadNoFenceName(Type const volatile* Source) {                               \
        return __atomic_load_n(Source, __ATOMIC_RELAXED);                                    \
    }                                                                                        \
    inline void WriteReleaseName(Type volatile* Destination, Type Value) {                   \
        __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);                              \
    }                                                                                        \
    inline void WriteNoFenceName(Type volatile* Destination, Type Value) {                   \
        __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);                              \
    }
Q407_DEFINE_ORDERED_ACCESS(LONG, ReadAcquire, ReadNoFence, WriteRelease, WriteNoFence)
Q407_DEFINE_ORDERED_ACCESS(LONG64, ReadAcquire64, ReadNoFence64, WriteRelease64, WriteNoFence64)
Q407_DEFINE_ORDERED_ACCESS(ULONG, ReadULongAcquire, ReadULongNoFence, WriteULongRelease,
                           WriteULongNoFence)
Q407_DEFINE_ORDERED_ACCESS(UCHAR, ReadUCharAcquire, ReadUCharNoFence, WriteUCharRelease,
                           WriteUCharNoFence)
#undef Q407_DEFINE_ORDERED_ACCESS
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
