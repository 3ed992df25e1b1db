// IRPs through device stacks: completion order and STATUS_MORE_PROCESSING_REQUIRED, pending
// propagation, cancellation, the I/O manager's own requests, remove locks, device interfaces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kernel/wdk.h"
#include "sim/host/device_interfaces.h"
#include "sim/host/io_manager.h"
#include "sim/host/machine.h"
#include "tests/sim/host/test_driver.h"

using namespace q407::sim;
using namespace q407::test;
using Log = std::vector<std::string>;

namespace {

constexpr ULONG kInternalCode = 0x220003;  // METHOD_NEITHER internal control, as URBs use

struct Owner {
    Log* log;
    KEVENT done;
    bool pendingReturned = false;
    bool cancel = false;
    NTSTATUS status = STATUS_PENDING;
};

NTSTATUS OwnerRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* o = static_cast<Owner*>(context);
    o->log->push_back(device == nullptr ? "owner" : "owner with a device");
    o->pendingReturned = irp->PendingReturned != 0;
    o->cancel = irp->Cancel != 0;
    o->status = irp->IoStatus.Status;
    KeSetEvent(&o->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class IoStack : public ::testing::Test {
  protected:
    void SetUp() override {
        driver = LoadTestDriver();
        ASSERT_NE(driver, nullptr);
        bottom = CreateTestDevice(driver, TestDevice::Role::Bottom, "B", &log);
        lowerFilter = CreateTestDevice(driver, TestDevice::Role::Filter, "F1", &log);
        upperFilter = CreateTestDevice(driver, TestDevice::Role::Filter, "F2", &log);
        Attach(lowerFilter, bottom->self);
        Attach(upperFilter, bottom->self);  // lands on top of F1
        lowerFilter->setRoutine = upperFilter->setRoutine = true;
        owner.log = &log;
        KeInitializeEvent(&owner.done, NotificationEvent, FALSE);
    }
    void TearDown() override {
        DeleteTestDevice(upperFilter);
        DeleteTestDevice(lowerFilter);
        DeleteTestDevice(bottom);
        EXPECT_EQ(UnloadDriver(L"TestDrv"), STATUS_SUCCESS);
        EXPECT_EQ(LiveIrpCount(), 0u);
        EXPECT_EQ(Pool::LeakReport(), "");
    }
    PIRP NewRequest() {
        PIRP irp = IoAllocateIrp(upperFilter->self->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = kInternalCode;
        IoSetCompletionRoutine(irp, OwnerRoutine, &owner, TRUE, TRUE, TRUE);
        return irp;
    }

    Machine machine;
    Log log;
    PDRIVER_OBJECT driver = nullptr;
    TestDevice* bottom = nullptr;
    TestDevice* lowerFilter = nullptr;
    TestDevice* upperFilter = nullptr;
    Owner owner;
};

}  // namespace

TEST_F(IoStack, AttachingSizesTheStackAndReferencesTheTop) {
    EXPECT_EQ(bottom->self->StackSize, 1);
    EXPECT_EQ(lowerFilter->self->StackSize, 2);
    EXPECT_EQ(upperFilter->self->StackSize, 3);
    EXPECT_EQ(upperFilter->lower, lowerFilter->self);
    EXPECT_EQ(bottom->self->AttachedDevice, lowerFilter->self);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(bottom->self);
    EXPECT_EQ(top, upperFilter->self);
    ObDereferenceObject(top);
}

TEST_F(IoStack, CompletionRoutinesRunBottomUpAndTheOwnerGetsTheIrpBack) {
    PIRP irp = NewRequest();
    EXPECT_EQ(IoCallDriver(upperFilter->self, irp), STATUS_SUCCESS);
    EXPECT_EQ(log, (Log{"F2:dispatch", "F1:dispatch", "B:dispatch", "F1:completion",
                        "F2:completion", "owner"}));
    EXPECT_FALSE(owner.pendingReturned);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    IoFreeIrp(irp);
}

TEST_F(IoStack, MoreProcessingRequiredStopsCompletionUntilTheDriverCompletesAgain) {
    lowerFilter->routineResult = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = NewRequest();
    IoCallDriver(upperFilter->self, irp);
    EXPECT_EQ(log.back(), "F1:completion");
    EXPECT_EQ(lowerFilter->heldIrp, irp);
    EXPECT_EQ(KeReadStateEvent(&owner.done), 0);
    // F1 owns the IRP again at its own location and finishes it.
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, lowerFilter->self);
    irp->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(log, (Log{"F2:dispatch", "F1:dispatch", "B:dispatch", "F1:completion",
                        "F2:completion", "owner"}));
    EXPECT_EQ(owner.status, STATUS_DEVICE_DATA_ERROR);
    IoFreeIrp(irp);
}

TEST_F(IoStack, AnIrpWithALocationOfItsSendersOwnCanBeFreedInItsCompletionRoutine) {
    // The sender keeps a location of its own above the stack's (one more than the stack needs)
    // and frees the IRP in the routine that gets it back.
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(upperFilter->self->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = bottom->self;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = kInternalCode;
    static bool freed;
    freed = false;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP done, PVOID) {
            IoFreeIrp(done);
            freed = true;
            return NTSTATUS(STATUS_MORE_PROCESSING_REQUIRED);
        },
        nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(upperFilter->self, irp);
    EXPECT_TRUE(freed);
    EXPECT_EQ(log.back(), "F2:completion");
}

TEST_F(IoStack, InvokeFlagsChooseWhichCompletionsCallTheRoutine) {
    lowerFilter->onSuccess = false;  // errors and cancels only
    upperFilter->onError = false;
    PIRP irp = NewRequest();
    IoCallDriver(upperFilter->self, irp);
    EXPECT_EQ(log, (Log{"F2:dispatch", "F1:dispatch", "B:dispatch", "F2:completion", "owner"}));
    log.clear();
    bottom->completeStatus = STATUS_UNSUCCESSFUL;
    IoReuseIrp(irp, STATUS_SUCCESS);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OwnerRoutine, &owner, TRUE, TRUE, TRUE);
    IoCallDriver(upperFilter->self, irp);
    EXPECT_EQ(log, (Log{"F2:dispatch", "F1:dispatch", "B:dispatch", "F1:completion", "owner"}));
    EXPECT_EQ(owner.status, STATUS_UNSUCCESSFUL);
    IoFreeIrp(irp);
}

TEST_F(IoStack, PendingReturnedPropagatesThroughLocationsWithoutRoutines) {
    bottom->pend = true;
    bottom->completeAfter = 2 * kTicksPerMillisecond;
    lowerFilter->setRoutine = false;  // its location has no routine: the mark moves up by itself
    PIRP irp = NewRequest();
    EXPECT_EQ(IoCallDriver(upperFilter->self, irp), STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&owner.done, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(machine.Now(), 2 * kTicksPerMillisecond);
    EXPECT_TRUE(upperFilter->sawPendingReturned);
    EXPECT_TRUE(owner.pendingReturned);  // F2's routine marked its own location pending
    EXPECT_EQ(log.back(), "owner");
    IoFreeIrp(irp);
}

TEST_F(IoStack, CancelCallsTheCancelRoutineWithTheCancelLockHeld) {
    bottom->pend = true;
    bottom->cancelable = true;
    PIRP irp = NewRequest();
    EXPECT_EQ(IoCallDriver(upperFilter->self, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(KeReadStateEvent(&owner.done), 1);
    EXPECT_EQ(owner.status, STATUS_CANCELLED);
    EXPECT_TRUE(owner.cancel);
    EXPECT_EQ(log, (Log{"F2:dispatch", "F1:dispatch", "B:dispatch", "B:cancel", "F1:completion",
                        "F2:completion", "owner"}));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // Cancelling an IRP that is no longer cancelable does nothing more.
    EXPECT_FALSE(IoCancelIrp(irp));
    IoFreeIrp(irp);
}

TEST_F(IoStack, CancelWithoutARoutineOnlyMarksTheIrp) {
    bottom->pend = true;
    bottom->completeAfter = kTicksPerMillisecond;
    PIRP irp = NewRequest();
    EXPECT_EQ(IoCallDriver(upperFilter->self, irp), STATUS_PENDING);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    KeWaitForSingleObject(&owner.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(owner.status, STATUS_SUCCESS);
    EXPECT_TRUE(owner.cancel);
    IoFreeIrp(irp);
}

TEST_F(IoStack, SynchronousInternalControlWaitsForACompletionFromATimerDpc) {
    bottom->pend = true;
    bottom->completeAfter = 5 * kTicksPerMillisecond;
    bottom->completeStatus = STATUS_DEVICE_DATA_ERROR;
    bottom->information = 17;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kInternalCode, upperFilter->self, nullptr, 0, nullptr,
                                             0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    NTSTATUS status = IoCallDriver(upperFilter->self, irp);
    EXPECT_EQ(status, STATUS_PENDING);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(iosb.Information, 17u);
    EXPECT_EQ(machine.Now(), 5 * kTicksPerMillisecond);
    EXPECT_EQ(log.back(), "F2:completion");
    EXPECT_EQ(LiveIrpCount(), 0u);  // the I/O manager freed its IRP
}

// A request the caller built may be kept by the caller's completion routine (the caller sent
// it first), and is finished by completing it again; so may a request from above that the
// keeping driver pended before passing it on, which that driver completes later.
TEST_F(IoStack, KeptRequestsAreFinishedByTheirKeepersCompletingThemAgain) {
    bottom->pend = true;
    bottom->completeAfter = kTicksPerMillisecond;
    lowerFilter->routineResult = STATUS_MORE_PROCESSING_REQUIRED;  // pends, then keeps it
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kInternalCode, upperFilter->self, nullptr, 0, nullptr,
                                             0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(irp, OwnerRoutine, &owner, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(upperFilter->self, irp), STATUS_PENDING);
    machine.RunFor(2 * kTicksPerMillisecond);
    ASSERT_EQ(lowerFilter->heldIrp, irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // F1 finishes it
    EXPECT_EQ(log.back(), "owner");
    EXPECT_TRUE(owner.pendingReturned);
    EXPECT_EQ(KeReadStateEvent(&event), 0);   // the owner's routine kept it in turn
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // the owner finishes it: the I/O manager frees it
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(LiveIrpCount(), 0u);
}

TEST_F(IoStack, BufferedDeviceControlCopiesInputInAndOutputBack) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    UCHAR input[4] = {1, 2, 3, 4};
    UCHAR output[4] = {};
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    PIRP irp = IoBuildDeviceIoControlRequest(code, bottom->self, input, 4, output, 4, FALSE, &event,
                                             &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_NE(irp->AssociatedIrp.SystemBuffer, input);
    EXPECT_EQ(IoCallDriver(bottom->self, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(output[0], 2);
    EXPECT_EQ(output[3], 5);
    EXPECT_EQ(input[0], 1);
}

TEST_F(IoStack, SystemRequestsStartWithTheStatusTheCallerPresets) {
    ULONG_PTR information = 99;
    const NTSTATUS status = SendSystemRequest(
        bottom->self, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
        [](PIO_STACK_LOCATION s) { s->Parameters.Others.Argument1 = nullptr; },
        STATUS_NOT_SUPPORTED, &information);
    EXPECT_EQ(status, STATUS_SUCCESS);  // the bottom device completes everything
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(log.front(), "F2:dispatch");
}

namespace {
struct RemoveLockUser {
    IO_REMOVE_LOCK* lock;
    KEVENT go;
};
void HoldAndRelease(PVOID context) {
    auto* u = static_cast<RemoveLockUser*>(context);
    KeWaitForSingleObject(&u->go, Executive, KernelMode, FALSE, nullptr);
    LARGE_INTEGER d;
    d.QuadPart = -10 * kTicksPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    IoReleaseRemoveLock(u->lock, u);
}
}  // namespace

TEST(RemoveLock, RemovalWaitsForEveryHoldAndLaterAcquiresFail) {
    Machine m;
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, POOL_TAG("Test"), 0, 0);
    RemoveLockUser user{&lock, {}};
    KeInitializeEvent(&user.go, NotificationEvent, FALSE);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &user), STATUS_SUCCESS);  // the other thread's hold
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &m), STATUS_SUCCESS);     // the remove request's hold
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, HoldAndRelease,
                                   &user),
              STATUS_SUCCESS);
    KeSetEvent(&user.go, IO_NO_INCREMENT, FALSE);
    IoReleaseRemoveLockAndWait(&lock, &m);
    EXPECT_EQ(m.Now(), 10 * kTicksPerMillisecond);  // returned only after the other hold went
    EXPECT_EQ(lock.IoCount, 0);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &m), STATUS_DELETE_PENDING);
    ZwClose(h);
    m.RunUntilIdle();
}

TEST(DeviceInterfaces, EnableAndDisableNotifySubscribersAndListTheLink) {
    Machine m;
    PDRIVER_OBJECT driver = LoadTestDriver();
    TestDevice* pdo = CreateTestDevice(driver, TestDevice::Role::Bottom, "PDO", nullptr);
    SetPhysicalDevice(pdo->self, L"USB\\VID_0A4E&PID_4040\\1");
    const GUID guid{0xCE872CD5, 0xE4FC, 0x4EC5, {0xA9, 0x92, 0x5B, 0xF4, 0xD3, 0x95, 0xB3, 0x50}};
    DeviceInterfaceSubscription subscription(guid);
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo->self, &guid, nullptr, &link), STATUS_SUCCESS);
    const std::wstring expected =
        L"\\??\\USB#VID_0A4E&PID_4040#1#{ce872cd5-e4fc-4ec5-a992-5bf4d395b350}";
    EXPECT_EQ(std::wstring(link.Buffer, link.Length / sizeof(WCHAR)), expected);
    EXPECT_TRUE(EnabledDeviceInterfaces(guid).empty());
    DeviceInterfaceNotice notice;
    EXPECT_FALSE(subscription.Next(&notice));

    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(EnabledDeviceInterfaces(guid), std::vector<std::wstring>{expected});
    EXPECT_TRUE(subscription.Wait(kTicksPerMillisecond));
    ASSERT_TRUE(subscription.Next(&notice));
    EXPECT_EQ(notice.kind, DeviceInterfaceNotice::Kind::Arrival);
    EXPECT_EQ(notice.symbolicLink, expected);
    EXPECT_FALSE(subscription.Next(&notice));

    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    ASSERT_TRUE(subscription.Next(&notice));
    EXPECT_EQ(notice.kind, DeviceInterfaceNotice::Kind::Removal);
    EXPECT_TRUE(EnabledDeviceInterfaces(guid).empty());
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(link.Buffer, nullptr);
    DeleteTestDevice(pdo);
    EXPECT_EQ(UnloadDriver(L"TestDrv"), STATUS_SUCCESS);
    EXPECT_EQ(Pool::LeakReport(), "");
}

TEST(Versions, TheMachineReportsTheWindowsVersionATestChooses) {
    Machine m;
    RTL_OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_EQ(RtlGetVersion(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.dwMajorVersion, 10u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_TRUE(IoIsWdmVersionAvailable(6, 0));
    m.SetWindowsVersion({6, 1, 7601});
    ASSERT_EQ(RtlGetVersion(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.dwMajorVersion, 6u);
    EXPECT_EQ(info.dwMinorVersion, 1u);
    EXPECT_TRUE(IoIsWdmVersionAvailable(6, 0));
    EXPECT_FALSE(IoIsWdmVersionAvailable(6, 2));
    m.SetWindowsVersion({5, 1, 2600});
    EXPECT_FALSE(IoIsWdmVersionAvailable(6, 0));
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20));
    info.dwOSVersionInfoSize = 8;
    EXPECT_EQ(RtlGetVersion(&info), STATUS_INVALID_PARAMETER);
}

TEST(Strings, FormattingIsBoundedAndComparisonsHonourCase) {
    Machine m;
    WCHAR buffer[16];
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 16, L"%ws\\%ws_%02d", L"ZEL", L"Q407", 1),
              STATUS_SUCCESS);
    EXPECT_EQ(std::wstring(buffer), L"ZEL\\Q407_01");
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 5, L"%ls%d%d", L"MixerQ407", 1, 4),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::wstring(buffer), L"Mixe");
    WCHAR storage[32];
    UNICODE_STRING s{0, sizeof storage, storage};
    EXPECT_EQ(RtlUnicodeStringPrintf(&s, L"%ls%d%d", L"MixerQ407", 1, 4), STATUS_SUCCESS);
    UNICODE_STRING expected;
    RtlInitUnicodeString(&expected, L"mixerq40714");
    EXPECT_TRUE(RtlEqualUnicodeString(&s, &expected, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&s, &expected, FALSE));
    char narrow[8];
    EXPECT_EQ(RtlStringCchPrintfA(narrow, sizeof narrow, "%s", "too long text"),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "too lon");
}
