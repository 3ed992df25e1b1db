// Work items: a driver's way from DISPATCH_LEVEL to a PASSIVE_LEVEL system thread. Each queued
// item runs on a worker thread of its own, so items queued together may run at the same time, as
// they may on the system's worker threads.
#include <atomic>
#include <new>
#include <string>

#include "platform/kernel/wdk.h"
#include "sim/host/io_manager.h"
#include "sim/host/process_internal.h"
#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"

struct IO_WORKITEM {
    ULONG magic;
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    // From IoQueueWorkItem until the worker calls the routine: the item may be neither queued
    // again nor freed meanwhile.
    std::atomic<bool> queued;
};

namespace {

using q407::sim::BugCheck;
using q407::sim::CurrentThreadContext;

constexpr ULONG kWorkItemMagic = 0x6B57496F;  // "IoWk"
constexpr ULONG kFreedMagic = 0x64656546;
constexpr ULONG kWorkItemTag = POOL_TAG("IoWk");

IO_WORKITEM* Checked(PIO_WORKITEM item, const char* call) {
    if (item == nullptr) BugCheck(call, "null work item");
    if (item->magic == kFreedMagic) BugCheck(call, "work item already freed");
    if (item->magic != kWorkItemMagic) BugCheck(call, "not a work item from IoAllocateWorkItem");
    return item;
}

struct WorkerStart {
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    IO_WORKITEM* item;
};

void RunWorkItem(void* arg) {
    WorkerStart start = *static_cast<WorkerStart*>(arg);
    delete static_cast<WorkerStart*>(arg);
    // The routine may free or queue the item again: nothing here touches it afterwards.
    start.item->queued.store(false);
    start.routine(start.device, start.context);
    const auto& ctx = CurrentThreadContext();
    if (ctx.irql != PASSIVE_LEVEL)
        BugCheck("work item routine",
                 "returned above PASSIVE_LEVEL (IRQL " + std::to_string(ctx.irql) + ")");
    if (ctx.spinLocksHeld != 0) BugCheck("work item routine", "returned holding a spin lock");
    ObDereferenceObject(start.device);
}

}  // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    q407::sim::RequireAtMostDispatch("IoAllocateWorkItem");
    if (!q407::sim::IsDeviceObject(DeviceObject))
        BugCheck("IoAllocateWorkItem", "not a device object");
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_WORKITEM), kWorkItemTag);
    if (memory == nullptr) return nullptr;
    auto* item = new (memory) IO_WORKITEM{};
    item->magic = kWorkItemMagic;
    item->device = DeviceObject;
    return item;
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    q407::sim::RequireAtMostDispatch("IoFreeWorkItem");
    IO_WORKITEM* item = Checked(IoWorkItem, "IoFreeWorkItem");
    if (item->queued.load())
        BugCheck("IoFreeWorkItem", "work item freed while queued (its routine has not run)");
    item->magic = kFreedMagic;
    item->~IO_WORKITEM();
    ExFreePoolWithTag(item, kWorkItemTag);
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
    q407::sim::RequireAtMostDispatch("IoQueueWorkItem");
    IO_WORKITEM* item = Checked(IoWorkItem, "IoQueueWorkItem");
    if (WorkerRoutine == nullptr) BugCheck("IoQueueWorkItem", "null worker routine");
    if (QueueType != CriticalWorkQueue && QueueType != DelayedWorkQueue &&
        QueueType != HyperCriticalWorkQueue)
        BugCheck("IoQueueWorkItem", "unknown work queue " + std::to_string(int(QueueType)));
    if (item->queued.exchange(true))
        BugCheck("IoQueueWorkItem", "work item queued again before its routine ran");
    item->routine = WorkerRoutine;
    item->context = Context;
    ObReferenceObject(item->device);
    auto* start = new WorkerStart{item->device, WorkerRoutine, Context, item};
    NTSTATUS status = STATUS_SUCCESS;
    PKTHREAD thread = q407::sim::detail::StartThread(nullptr, RunWorkItem, start, &status);
    // The system's worker threads always take the item; the machine has no way to refuse it.
    if (thread == nullptr) BugCheck("IoQueueWorkItem", "no worker thread could be started");
    ObDereferenceObject(thread);
}
