// Work items: the routine runs at PASSIVE_LEVEL on a worker thread while the device object stays
// referenced, and a routine that returns in the wrong state stops the machine.
#include <gtest/gtest.h>

#include <thread>

#include "platform/kernel/wdk.h"
#include "sim/host/machine.h"
#include "sim/host/object_manager.h"
#include "sim/host/pool.h"
#include "tests/sim/host/test_driver.h"

using namespace q407::sim;
using namespace q407::test;

namespace {

struct Seen {
    PIO_WORKITEM item = nullptr;
    PDEVICE_OBJECT device = nullptr;
    KIRQL irql = HIGH_LEVEL;
    std::thread::id thread;
    LONG references = 0;
    int runs = 0;
    int queueAgain = 0;  // times the routine queues its own item again
    KEVENT done;
};

void Record(PDEVICE_OBJECT device, PVOID context) {
    auto* seen = static_cast<Seen*>(context);
    seen->device = device;
    seen->irql = KeGetCurrentIrql();
    seen->thread = std::this_thread::get_id();
    seen->references = ObjectReferenceCount(device);
    ++seen->runs;
    if (seen->queueAgain > 0) {
        --seen->queueAgain;
        IoQueueWorkItem(seen->item, Record, CriticalWorkQueue, seen);
        return;
    }
    KeSetEvent(&seen->done, IO_NO_INCREMENT, FALSE);
}

void ReturnHoldingALock(PDEVICE_OBJECT, PVOID context) {
    static KSPIN_LOCK lock = 0;
    (void)context;
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
}

TEST(WorkItems, RoutineRunsAtPassiveLevelOnAWorkerWithTheDeviceReferenced) {
    Machine m;
    PDRIVER_OBJECT driver = LoadTestDriver();
    TestDevice* device = CreateTestDevice(driver, TestDevice::Role::Bottom, "wi", nullptr);
    const LONG references = ObjectReferenceCount(device->self);

    Seen seen;
    KeInitializeEvent(&seen.done, NotificationEvent, FALSE);
    seen.item = IoAllocateWorkItem(device->self);
    ASSERT_NE(seen.item, nullptr);
    EXPECT_EQ(Pool::Usage(POOL_TAG("IoWk")).allocations, 1u);
    seen.queueAgain = 2;
    // Queued from DISPATCH_LEVEL, as a completion routine would.
    KIRQL irql = KeRaiseIrqlToDpcLevel();
    IoQueueWorkItem(seen.item, Record, DelayedWorkQueue, &seen);
    KeLowerIrql(irql);
    KeWaitForSingleObject(&seen.done, Executive, KernelMode, FALSE, nullptr);

    EXPECT_EQ(seen.runs, 3);
    EXPECT_EQ(seen.device, device->self);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_NE(seen.thread, std::this_thread::get_id());
    EXPECT_GT(seen.references, references);
    m.RunUntilIdle();
    EXPECT_EQ(ObjectReferenceCount(device->self), references);
    IoFreeWorkItem(seen.item);
    EXPECT_EQ(Pool::Usage(POOL_TAG("IoWk")).allocations, 0u);
    DeleteTestDevice(device);
}

TEST(WorkItems, RoutineThatReturnsHoldingASpinLock) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Machine m;
            PDRIVER_OBJECT driver = LoadTestDriver();
            TestDevice* device = CreateTestDevice(driver, TestDevice::Role::Bottom, "wi", nullptr);
            PIO_WORKITEM item = IoAllocateWorkItem(device->self);
            IoQueueWorkItem(item, ReturnHoldingALock, DelayedWorkQueue, nullptr);
            m.RunUntilIdle();
        },
        "VERIFIER: work item routine: returned");
}

}  // namespace
