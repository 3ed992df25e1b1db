// Each verifier check stops the process with a message naming the call.
#include <gtest/gtest.h>

#include <functional>

#include "platform/kernel/wdk.h"
#include "sim/host/io_manager.h"
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

// --- Pending requests and completion routines ----------------------------------------------

namespace {

// Builds bottom <- F (filter with a completion routine) and sends an IRP the test allocated.
struct FilterOverBottom {
    TestDevice* bottom;
    TestDevice* filter;
    PIRP irp;
};
FilterOverBottom SendThroughFilter(const std::function<void(FilterOverBottom&)>& configure) {
    PDRIVER_OBJECT driver = LoadTestDriver();
    FilterOverBottom s;
    s.bottom = CreateTestDevice(driver, TestDevice::Role::Bottom, "B", nullptr);
    s.filter = CreateTestDevice(driver, TestDevice::Role::Filter, "F", nullptr);
    Attach(s.filter, s.bottom->self);
    s.filter->setRoutine = true;
    s.bottom->pend = true;
    s.bottom->completeAfter = kTicksPerMillisecond;
    configure(s);
    s.irp = IoAllocateIrp(s.filter->self->StackSize, FALSE);
    IoGetNextIrpStackLocation(s.irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        s.irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) { return NTSTATUS(STATUS_MORE_PROCESSING_REQUIRED); },
        nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(s.filter->self, s.irp);
    return s;
}

// A dispatch routine that completes the request and still answers STATUS_PENDING.
NTSTATUS CompleteThenPend(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
}
NTSTATUS CompleteThenPendEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = CompleteThenPend;
    return STATUS_SUCCESS;
}

}  // namespace

TEST_F(Verifier, PendingReturnedWithoutMarkingIsCaughtWhenTheRequestCompletes) {
    EXPECT_DEATH(
        {
            Machine m;
            SendThroughFilter([](FilterOverBottom& s) { s.bottom->markPending = false; });
            m.RunFor(2 * kTicksPerMillisecond);  // the bottom device completes it from a DPC
        },
        "VERIFIER: IofCompleteRequest: dispatch routine for major function 15 returned "
        "STATUS_PENDING without marking the IRP pending \\(IoMarkIrpPending\\) \\(IRQL 2\\)");
}

TEST_F(Verifier, PendingReturnedWithoutMarkingIsCaughtWhenTheRequestCompletedFirst) {
    EXPECT_DEATH(
        {
            Machine m;
            PDRIVER_OBJECT driver;
            LoadDriver(L"Hasty", CompleteThenPendEntry, &driver);
            PDEVICE_OBJECT device;
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb;
            PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE,
                                                     &event, &iosb);
            IoCallDriver(device, irp);
        },
        "VERIFIER: IofCallDriver: dispatch routine for major function 15 returned "
        "STATUS_PENDING without marking the IRP pending \\(IoMarkIrpPending\\) \\(IRQL 0\\)");
}

TEST_F(Verifier, CompletionRoutineThatDoesNotPropagatePendingReturned) {
    EXPECT_DEATH(
        {
            Machine m;
            SendThroughFilter([](FilterOverBottom& s) { s.filter->propagatePending = false; });
            m.RunFor(2 * kTicksPerMillisecond);
        },
        "VERIFIER: IofCompleteRequest: completion routine did not propagate PendingReturned: "
        "the IRP was pending below and the routine returned without IoMarkIrpPending");
}

TEST_F(Verifier, MoreProcessingRequiredForAnIrpPassedOnWithoutPending) {
    EXPECT_DEATH(
        {
            Machine m;
            SendThroughFilter([](FilterOverBottom& s) {
                s.filter->routineResult = STATUS_MORE_PROCESSING_REQUIRED;
                s.filter->pendWhenKeeping = false;  // returns the bottom's STATUS_PENDING as is
            });
            m.RunFor(2 * kTicksPerMillisecond);
        },
        "VERIFIER: IofCompleteRequest: completion routine returned "
        "STATUS_MORE_PROCESSING_REQUIRED for an IRP it does not own \\(it came from above and "
        "its driver passed it on without marking it pending\\)");
}

TEST_F(Verifier, KeptIrpNeitherCompletedNorPendedByTheDispatchRoutine) {
    EXPECT_DEATH(
        {
            Machine m;
            SendThroughFilter([](FilterOverBottom& s) {
                s.filter->routineResult = STATUS_MORE_PROCESSING_REQUIRED;
                s.filter->pendWhenKeeping = false;
                s.bottom->pend = false;  // completes at once, inside the filter's dispatch
            });
        },
        "VERIFIER: IofCallDriver: dispatch routine for major function 15 returned 0x00000000 "
        "for an IRP that its completion routine kept with STATUS_MORE_PROCESSING_REQUIRED, "
        "without completing it or returning STATUS_PENDING");
}

// --- Pool left behind by a driver ----------------------------------------------------------

namespace {

struct LeakyDriver {
    KDPC dpc;
    void* fromEntry = nullptr;
    void* fromDpc = nullptr;
    bool freeAtUnload = true;
};
LeakyDriver g_leaky;

void LeakyDpc(PKDPC, PVOID, PVOID, PVOID) {
    g_leaky.fromDpc = ExAllocatePoolWithTag(NonPagedPoolNx, 48, POOL_TAG("Zel5"));
}
void LeakyUnload(PDRIVER_OBJECT) {
    ExFreePoolWithTag(g_leaky.fromEntry, POOL_TAG("Zel6"));
    if (g_leaky.freeAtUnload) ExFreePoolWithTag(g_leaky.fromDpc, POOL_TAG("Zel5"));
}
NTSTATUS LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = LeakyUnload;
    g_leaky.fromEntry = ExAllocatePoolWithTag(NonPagedPoolNx, 32, POOL_TAG("Zel6"));
    KeInitializeDpc(&g_leaky.dpc, LeakyDpc, nullptr);
    KeInsertQueueDpc(&g_leaky.dpc, nullptr, nullptr);
    return STATUS_SUCCESS;
}

}  // namespace

TEST_F(Verifier, DriverUnloadedWithPoolOfItsDpcStillAllocated) {
    EXPECT_DEATH(
        {
            Machine m;
            g_leaky = LeakyDriver{};
            g_leaky.freeAtUnload = false;
            LoadDriver(L"Leaky", LeakyEntry);
            m.RunUntilIdle();
            UnloadDriver(L"Leaky");
        },
        "VERIFIER: DriverUnload: driver \\\\Driver\\\\Leaky unloaded with pool still allocated: "
        "tag Zel5: 1 allocation, 48 bytes \\(IRQL 0\\)");
}

TEST(DriverPool, UnloadCountsOnlyWhatTheDriverItselfStillHolds) {
    Machine m;
    g_leaky = LeakyDriver{};
    // The system's own allocation of the same tag stays; the driver frees all of its own.
    void* system = ExAllocatePoolWithTag(NonPagedPoolNx, 16, POOL_TAG("Zel6"));
    ASSERT_EQ(LoadDriver(L"Leaky", LeakyEntry), STATUS_SUCCESS);
    m.RunUntilIdle();
    ASSERT_NE(g_leaky.fromDpc, nullptr);
    EXPECT_EQ(UnloadDriver(L"Leaky"), STATUS_SUCCESS);
    EXPECT_EQ(Pool::Usage(POOL_TAG("Zel6")).allocations, 1u);
    ExFreePoolWithTag(system, POOL_TAG("Zel6"));
    EXPECT_EQ(Pool::LeakReport(), "");
}

// --- Paged pool at DISPATCH_LEVEL ----------------------------------------------------------

namespace {
volatile UCHAR* g_paged = nullptr;
void ReadPagedPool(PKDPC, PVOID, PVOID, PVOID) {
    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_ERROR_LEVEL, "%u\n", unsigned(g_paged[3]));
}
}  // namespace

TEST_F(Verifier, PagedPoolTouchedUnderASpinLock) {
    EXPECT_DEATH(
        {
            Machine m;
            auto* p = static_cast<volatile UCHAR*>(
                ExAllocatePoolWithTag(PagedPool, 64, POOL_TAG("Zel7")));
            p[0] = 1;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            p[1] = 2;
        },
        "VERIFIER: IRQL_NOT_LESS_OR_EQUAL: paged pool touched at IRQL 2 \\(tag Zel7\\)");
}

TEST_F(Verifier, PagedPoolTouchedByADpc) {
    EXPECT_DEATH(
        {
            Machine m;
            g_paged = static_cast<volatile UCHAR*>(
                ExAllocatePoolWithTag(PagedPool, 3 * PAGE_SIZE, POOL_TAG("Zel8")));
            g_paged[3] = 7;  // in at PASSIVE_LEVEL
            KDPC dpc;
            KeInitializeDpc(&dpc, ReadPagedPool, nullptr);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            m.RunUntilIdle();
        },
        "VERIFIER: IRQL_NOT_LESS_OR_EQUAL: paged pool touched at IRQL 2 \\(tag Zel8\\)");
}

// Paged out at every raise, paged pool comes back in with its contents at PASSIVE_LEVEL, on any
// thread, and is freed as usual.
TEST(PagedPool, ComesBackInWithItsContentsBelowDispatchLevel) {
    Machine m;
    auto* p =
        static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 2 * PAGE_SIZE, POOL_TAG("Zel7")));
    for (size_t i = 0; i < 2 * PAGE_SIZE; ++i) p[i] = static_cast<UCHAR>(i * 7);
    for (int round = 0; round < 3; ++round) {
        KIRQL old = KeRaiseIrqlToDpcLevel();
        KeLowerIrql(old);
        size_t wrong = 0;
        for (size_t i = 0; i < 2 * PAGE_SIZE; ++i)
            if (p[i] != static_cast<UCHAR>(i * 7)) ++wrong;
        EXPECT_EQ(wrong, 0u);
    }
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);  // APC_LEVEL may touch it too
    p[5] = 0;
    KeLowerIrql(old);
    KeLowerIrql(KeRaiseIrqlToDpcLevel());
    ExFreePoolWithTag(p, POOL_TAG("Zel7"));
    EXPECT_EQ(Pool::LeakReport(), "");
}
