// Events, timers, DPCs and the waits on them. All state is in the objects' headers and the
// machine's wait blocks; signalling marks the waiters runnable under the machine lock, so the
// clock never takes a woken thread for a blocked one.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/kernel/ke.h"
#include "sim/host/event_mirror.h"
#include "sim/host/kernel_time.h"
#include "sim/host/machine_core.h"
#include "sim/host/object_manager.h"
#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"

using q407::sim::BugCheck;
using q407::sim::CurrentThreadContext;
using q407::sim::detail::kMirroredEventMark;
using q407::sim::detail::kSynchronizationTimerMark;
using q407::sim::detail::MachineCore;

// --- Events mirrored to an eventfd ---------------------------------------------------------
// The eventfd is the whole state of such an event: the client sets, resets and waits on it in its
// own Linux process. The kernel side only signals, clears and polls it; each is one non-blocking
// system call, so a DPC may signal.

namespace {

std::mutex g_mirrorMutex;
std::unordered_map<const KEVENT*, int>& Mirrors() {
    static auto* mirrors = new std::unordered_map<const KEVENT*, int>();
    return *mirrors;
}

// The mirror's fd, or -1 for an ordinary event.
int MirrorFd(const KEVENT* event) {
    if (event->Header.Reserved[2] != kMirroredEventMark) return -1;
    std::lock_guard lock(g_mirrorMutex);
    auto it = Mirrors().find(event);
    return it == Mirrors().end() ? -1 : it->second;
}

bool FdSignalled(int fd) {
    pollfd p{fd, POLLIN, 0};
    int n;
    do {
        n = poll(&p, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n > 0 && (p.revents & POLLIN) != 0;
}

void SignalFd(int fd) {
    const uint64_t one = 1;
    ssize_t n;
    do {
        n = write(fd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
    // EAGAIN means the counter is at its limit: the event is signalled either way.
}

// Drains the counter; true if it was signalled.
bool DrainFd(int fd) {
    uint64_t value = 0;
    ssize_t n;
    do {
        n = read(fd, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof value) && value != 0;
}

void CheckNotMirrored(const DISPATCHER_HEADER* header, const char* call) {
    if ((header->Type == DispatcherObjectNotificationEvent ||
         header->Type == DispatcherObjectSynchronizationEvent) &&
        MirrorFd(reinterpret_cast<const KEVENT*>(header)) >= 0)
        BugCheck(call,
                 "kernel wait on an event whose state lives in a client's eventfd: only the "
                 "client waits on such an event; signal it instead");
}

}  // namespace

bool q407::sim::MirrorEventToFd(PKEVENT event, int fd) {
    if (event == nullptr || !IsObject(event, &kEventType))
        BugCheck("MirrorEventToFd", "not an event object");
    if (fd < 0) return false;
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return false;
    const int flags = fcntl(own, F_GETFL);
    if (flags < 0 || ((flags & O_NONBLOCK) == 0 && fcntl(own, F_SETFL, flags | O_NONBLOCK) != 0)) {
        close(own);
        return false;
    }
    MachineCore& core = MachineCore::Get();
    std::lock_guard lock(core.mutex);
    if (core.HasWaitersLocked(&event->Header))
        BugCheck("MirrorEventToFd", "threads are waiting on the event in the kernel");
    {
        std::lock_guard mirrorLock(g_mirrorMutex);
        if (!Mirrors().emplace(event, own).second) {
            close(own);
            return false;
        }
    }
    // The state so far moves into the eventfd.
    if (event->Header.SignalState != 0) SignalFd(own);
    event->Header.SignalState = 0;
    event->Header.Reserved[2] = kMirroredEventMark;
    return true;
}

void q407::sim::detail::DropEventMirror(PKEVENT event) {
    if (event->Header.Reserved[2] != kMirroredEventMark) return;
    int fd = -1;
    {
        std::lock_guard lock(g_mirrorMutex);
        auto it = Mirrors().find(event);
        if (it == Mirrors().end()) return;
        fd = it->second;
        Mirrors().erase(it);
    }
    event->Header.Reserved[2] = 0;
    close(fd);
}

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    MachineCore& core = MachineCore::Get();
    std::lock_guard lock(core.mutex);
    if (core.HasWaitersLocked(&Event->Header))
        BugCheck("KeInitializeEvent", "re-initialising an event that threads are waiting on");
    if (Event->Header.Reserved[2] == kMirroredEventMark && MirrorFd(Event) >= 0)
        BugCheck("KeInitializeEvent", "re-initialising an event mirrored to a client's eventfd");
    Event->Header.Type = Type == SynchronizationEvent ? DispatcherObjectSynchronizationEvent
                                                      : DispatcherObjectNotificationEvent;
    Event->Header.Reserved[0] = Event->Header.Reserved[1] = Event->Header.Reserved[2] = 0;
    Event->Header.SignalState = State != 0 ? 1 : 0;
}

static void CheckEvent(PRKEVENT Event, const char* call) {
    if (Event == nullptr) BugCheck(call, "null event");
    if (Event->Header.Type != DispatcherObjectNotificationEvent &&
        Event->Header.Type != DispatcherObjectSynchronizationEvent)
        BugCheck(call, "not an initialised event");
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    q407::sim::RequireAtMostDispatch("KeSetEvent");
    CheckEvent(Event, "KeSetEvent");
    if (const int fd = MirrorFd(Event); fd >= 0) {
        const LONG previous = FdSignalled(fd) ? 1 : 0;
        SignalFd(fd);
        return previous;
    }
    MachineCore& core = MachineCore::Get();
    std::lock_guard lock(core.mutex);
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    core.SignalLocked(&Event->Header);
    return previous;
}

void KeClearEvent(PRKEVENT Event) {
    CheckEvent(Event, "KeClearEvent");
    if (const int fd = MirrorFd(Event); fd >= 0) {
        DrainFd(fd);
        return;
    }
    MachineCore& core = MachineCore::Get();
    std::lock_guard lock(core.mutex);
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
    q407::sim::RequireAtMostDispatch("KeResetEvent");
    CheckEvent(Event, "KeResetEvent");
    if (const int fd = MirrorFd(Event); fd >= 0) return DrainFd(fd) ? 1 : 0;
    MachineCore& core = MachineCore::Get();
    std::lock_guard lock(core.mutex);
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    CheckEvent(Event, "KeReadStateEvent");
    if (const int fd = MirrorFd(Event); fd >= 0) return FdSignalled(fd) ? 1 : 0;
    MachineCore& core = MachineCore::Get();
    std::lock_guard lock(core.mutex);
    return Event->Header.SignalState;
}

static void CheckWaitable(PVOID Object, const char* call) {
    if (Object == nullptr) BugCheck(call, "null object");
    const UCHAR type = static_cast<DISPATCHER_HEADER*>(Object)->Type;
    if (type != DispatcherObjectNotificationEvent && type != DispatcherObjectSynchronizationEvent &&
        type != DispatcherObjectTimer && type != DispatcherObjectThread)
        BugCheck(call, "not a dispatcher object");
}

static void CheckWaitIrql(PLARGE_INTEGER Timeout, const char* call) {
    const KIRQL irql = CurrentThreadContext().irql;
    if (irql > DISPATCH_LEVEL) BugCheck(call, "called above DISPATCH_LEVEL");
    if (irql == DISPATCH_LEVEL && (Timeout == nullptr || Timeout->QuadPart != 0))
        BugCheck(call, "wait with a non-zero time-out at DISPATCH_LEVEL or above");
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    CheckWaitIrql(Timeout, "KeWaitForSingleObject");
    CheckWaitable(Object, "KeWaitForSingleObject");
    DISPATCHER_HEADER* header = static_cast<DISPATCHER_HEADER*>(Object);
    CheckNotMirrored(header, "KeWaitForSingleObject");
    q407::sim::ClockTicks due = 0;
    const bool timed = q407::sim::DueFromTimeout(Timeout, &due);
    return MachineCore::Get().Wait(1, &header, false, timed ? &due : nullptr);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout, PVOID WaitBlockArray) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    (void)WaitBlockArray;
    CheckWaitIrql(Timeout, "KeWaitForMultipleObjects");
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS)
        BugCheck("KeWaitForMultipleObjects", "invalid object count " + std::to_string(Count));
    DISPATCHER_HEADER* headers[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < Count; ++i) {
        CheckWaitable(Object[i], "KeWaitForMultipleObjects");
        headers[i] = static_cast<DISPATCHER_HEADER*>(Object[i]);
        CheckNotMirrored(headers[i], "KeWaitForMultipleObjects");
    }
    q407::sim::ClockTicks due = 0;
    const bool timed = q407::sim::DueFromTimeout(Timeout, &due);
    return MachineCore::Get().Wait(Count, headers, WaitType == WaitAll, timed ? &due : nullptr);
}

// --- DPCs ---------------------------------------------------------------------------------

void KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->Type = 0x13;
    Dpc->Importance = 1;
    Dpc->Number = 0;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = 0;
    MachineCore& core = MachineCore::Get();
    std::lock_guard lock(core.mutex);
    core.SetDpcDriverLocked(Dpc, CurrentThreadContext().driver);
}

BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    if (Dpc == nullptr || Dpc->DeferredRoutine == nullptr)
        BugCheck("KeInsertQueueDpc", "DPC not initialised");
    MachineCore& core = MachineCore::Get();
    std::lock_guard lock(core.mutex);
    return core.InsertDpcLocked(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN KeRemoveQueueDpc(PKDPC Dpc) {
    MachineCore& core = MachineCore::Get();
    std::lock_guard lock(core.mutex);
    if (Dpc->DpcData == 0) return FALSE;
    core.CancelLocked(Dpc->DpcData);
    Dpc->DpcData = 0;
    return TRUE;
}

// --- Timers -------------------------------------------------------------------------------

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    Timer->Header.Type = DispatcherObjectTimer;
    Timer->Header.Reserved[0] = Type == SynchronizationTimer ? kSynchronizationTimerMark : 0;
    Timer->Header.Reserved[1] = Timer->Header.Reserved[2] = 0;
    Timer->Header.SignalState = 0;
    Timer->DueTime = 0;
    Timer->Period = 0;
    Timer->Dpc = nullptr;
    Timer->TimerId = 0;
}

void KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    q407::sim::RequireAtMostDispatch("KeSetTimerEx");
    if (Timer == nullptr || Timer->Header.Type != DispatcherObjectTimer)
        BugCheck("KeSetTimerEx", "not an initialised timer");
    if (Period < 0) BugCheck("KeSetTimerEx", "negative period");
    MachineCore& core = MachineCore::Get();
    q407::sim::ClockTicks due = 0;
    q407::sim::DueFromTimeout(&DueTime, &due);
    std::lock_guard lock(core.mutex);
    return core.SetTimerLocked(Timer, due, Period, Dpc);
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    q407::sim::RequireAtMostDispatch("KeCancelTimer");
    MachineCore& core = MachineCore::Get();
    std::lock_guard lock(core.mutex);
    if (Timer->TimerId == 0) return FALSE;
    core.CancelLocked(Timer->TimerId);
    Timer->TimerId = 0;
    return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    MachineCore& core = MachineCore::Get();
    std::lock_guard lock(core.mutex);
    return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}
