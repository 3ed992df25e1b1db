// Each verifier check stops the process with a message naming the call.
#include <gtest/gtest.h>

#include "platform/kernel/wdk.h"
#include "sim/host/machine.h"
#include "sim/host/process.h"
#include "tests/sim/host/test_driver.h"

using namespace q407::sim;
using namespace q407::test;

namespace {

class Verifier : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

NTSTATUS CompleteAndReturn(PDEVICE_OBJECT, PIRP irp, PVOID) {
    (void)irp;
    return STATUS_SUCCESS;  // lets completion run on to the top
}

void NoOp(PVOID) {}

}  // namespace

TEST_F(Verifier, LoweringIrqlToAHigherLevel) {
    EXPECT_DEATH(
        {
            Machine m;
            KeLowerIrql(DISPATCH_LEVEL);
        },
        "VERIFIER: KeLowerIrql: lowering to IRQL 2, above the current IRQL \\(IRQL 0\\)");
}

TEST_F(Verifier, RaisingIrqlToALowerLevel) {
    EXPECT_DEATH(
        {
            Machine m;
            KIRQL old = KeRaiseIrqlToDpcLevel();
            KeRaiseIrql(PASSIVE_LEVEL, &old);
        },
        "VERIFIER: KeRaiseIrql: raising to IRQL 0, below the current IRQL");
}

TEST_F(Verifier, ReleasingASpinLockThatIsNotHeld) {
    EXPECT_DEATH(
        {
            Machine m;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old = KeRaiseIrqlToDpcLevel();
            KeReleaseSpinLock(&lock, old);
        },
        "VERIFIER: KeReleaseSpinLock: releasing a spin lock that is not held \\(IRQL 2\\)");
}

TEST_F(Verifier, WaitingWithATimeOutAtDispatchLevel) {
    EXPECT_DEATH(
        {
            Machine m;
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, FALSE);
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            LARGE_INTEGER t;
            t.QuadPart = -10000;
            KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
        },
        "VERIFIER: KeWaitForSingleObject: wait with a non-zero time-out at DISPATCH_LEVEL or "
        "above \\(IRQL 2\\)");
}

TEST_F(Verifier, PagedAllocationAboveApcLevel) {
    EXPECT_DEATH(
        {
            Machine m;
            KeRaiseIrqlToDpcLevel();
            ExAllocatePoolWithTag(PagedPool, 16, POOL_TAG("Zel6"));
        },
        "VERIFIER: ExAllocatePoolWithTag: PagedPool allocation at IRQL 2 \\(tag Zel6\\)");
}

TEST_F(Verifier, RegistryCallAbovePassiveLevel) {
    EXPECT_DEATH(
        {
            Machine m;
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, L"Value");
            ULONG v = 0;
            ZwSetValueKey(nullptr, &name, 0, REG_DWORD, &v, sizeof v);
        },
        "VERIFIER: ZwSetValueKey: called above PASSIVE_LEVEL \\(IRQL 1\\)");
}

TEST_F(Verifier, ThreadCreationAbovePassiveLevel) {
    EXPECT_DEATH(
        {
            Machine m;
            KeRaiseIrqlToDpcLevel();
            HANDLE h;
            PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, NoOp, nullptr);
        },
        "VERIFIER: PsCreateSystemThread: called above PASSIVE_LEVEL \\(IRQL 2\\)");
}

TEST_F(Verifier, IrpCompletedTwice) {
    EXPECT_DEATH(
        {
            Machine m;
            PDRIVER_OBJECT driver = LoadTestDriver();
            TestDevice* d = CreateTestDevice(driver, TestDevice::Role::Bottom, "D", nullptr);
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb;
            PIRP irp = IoBuildDeviceIoControlRequest(0x220003, d->self, nullptr, 0, nullptr, 0,
                                                     TRUE, &event, &iosb);
            IoCallDriver(d->self, irp);  // the bottom device completes it
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "VERIFIER: IofCompleteRequest: IRP used after it was freed \\(completed twice\\?\\)");
}

TEST_F(Verifier, DriverIrpCompletedTwice) {
    EXPECT_DEATH(
        {
            Machine m;
            PDRIVER_OBJECT driver = LoadTestDriver();
            TestDevice* d = CreateTestDevice(driver, TestDevice::Role::Bottom, "D", nullptr);
            PIRP irp = IoAllocateIrp(d->self->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(
                irp,
                [](PDEVICE_OBJECT, PIRP, PVOID) {
                    return NTSTATUS(STATUS_MORE_PROCESSING_REQUIRED);
                },
                nullptr, TRUE, TRUE, TRUE);
            IoCallDriver(d->self, irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);  // nobody owns it any more
        },
        "VERIFIER: IofCompleteRequest: IRP completed twice \\(no driver owns it\\)");
}

TEST_F(Verifier, StackLocationOverrun) {
    EXPECT_DEATH(
        {
            Machine m;
            PDRIVER_OBJECT driver = LoadTestDriver();
            TestDevice* bottom = CreateTestDevice(driver, TestDevice::Role::Bottom, "B", nullptr);
            TestDevice* filter = CreateTestDevice(driver, TestDevice::Role::Filter, "F", nullptr);
            Attach(filter, bottom->self);
            PIRP irp = IoAllocateIrp(1, FALSE);  // one location short for a two-device stack
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoCallDriver(filter->self, irp);
        },
        "VERIFIER: IofCallDriver: no stack location left \\(stack location overrun\\)");
}

TEST_F(Verifier, IrpFreedWhilePending) {
    EXPECT_DEATH(
        {
            Machine m;
            PDRIVER_OBJECT driver = LoadTestDriver();
            TestDevice* d = CreateTestDevice(driver, TestDevice::Role::Bottom, "D", nullptr);
            d->pend = true;
            PIRP irp = IoAllocateIrp(d->self->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoCallDriver(d->self, irp);
            IoFreeIrp(irp);
        },
        "VERIFIER: IoFreeIrp: IRP freed while pending \\(still owned by a driver below\\)");
}

TEST_F(Verifier, DriverIrpCompletedToTheTop) {
    EXPECT_DEATH(
        {
            Machine m;
            PDRIVER_OBJECT driver = LoadTestDriver();
            TestDevice* d = CreateTestDevice(driver, TestDevice::Role::Bottom, "D", nullptr);
            PIRP irp = IoAllocateIrp(d->self->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, CompleteAndReturn, nullptr, TRUE, TRUE, TRUE);
            IoCallDriver(d->self, irp);
        },
        "VERIFIER: IofCompleteRequest: an IRP the caller allocated was completed to the top");
}

TEST_F(Verifier, PoolFreeWithTheWrongTag) {
    EXPECT_DEATH(
        {
            Machine m;
            void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, POOL_TAG("Zel6"));
            ExFreePoolWithTag(p, POOL_TAG("Zel9"));
        },
        "VERIFIER: ExFreePoolWithTag: free with tag Zel9 of an allocation at IRQL 0 \\(tag "
        "Zel6\\)");
}

TEST_F(Verifier, PoolDoubleFree) {
    EXPECT_DEATH(
        {
            Machine m;
            void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, POOL_TAG("Zel5"));
            ExFreePool(p);
            ExFreePool(p);
        },
        "VERIFIER: ExFreePool: double free of pool at IRQL 0 \\(tag Zel5\\)");
}

TEST_F(Verifier, PoolDoubleFreeOfALargeAllocation) {
    EXPECT_DEATH(
        {
            Machine m;
            void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 3 * PAGE_SIZE, POOL_TAG("Zel2"));
            ExFreePoolWithTag(p, POOL_TAG("Zel2"));
            ExFreePoolWithTag(p, POOL_TAG("Zel2"));
        },
        "VERIFIER: ExFreePoolWithTag: double free of pool at IRQL 0 \\(tag Zel2\\)");
}

TEST_F(Verifier, PoolFreeOfAnUnknownPointer) {
    EXPECT_DEATH(
        {
            Machine m;
            int local = 0;
            ExFreePoolWithTag(&local, POOL_TAG("Zel3"));
        },
        "VERIFIER: ExFreePoolWithTag: free of an unknown pointer at IRQL 0 \\(tag Zel3\\)");
}

TEST_F(Verifier, PoolOverrunIsFoundAtFree) {
    EXPECT_DEATH(
        {
            Machine m;
            auto* p =
                static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 20, POOL_TAG("Zel6")));
            p[20] = 0;
            ExFreePool(p);
        },
        "VERIFIER: ExFreePool: pool overrun: bytes written past the end of the allocation");
}

TEST_F(Verifier, FreeingPoolThatHoldsASetTimer) {
    EXPECT_DEATH(
        {
            Machine m;
            auto* t = static_cast<PKTIMER>(
                ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KTIMER), POOL_TAG("Zel3")));
            KeInitializeTimer(t);
            LARGE_INTEGER due;
            due.QuadPart = -kTicksPerSecond;
            KeSetTimer(t, due, nullptr);
            ExFreePool(t);
        },
        "VERIFIER: ExFreePool: freeing pool that holds a timer that is still set");
}

TEST_F(Verifier, UnmappingAClientViewFromAnotherProcess) {
    EXPECT_DEATH(
        {
            Machine m;
            void* kernel = ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, POOL_TAG("Zel2"));
            PMDL mdl = IoAllocateMdl(kernel, 96, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(mdl);
            Process client;
            PVOID user;
            {
                Process::Scope scope(client);
                user = MmMapLockedPages(mdl, UserMode);
            }
            MmUnmapLockedPages(user, mdl);  // in the system process
        },
        "VERIFIER: MmUnmapLockedPages: the mapping belongs to process");
}
