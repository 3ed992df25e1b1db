// The function device's Plug and Play requests: start, stop and removal in the orders the system
// uses, the vetoes while the audio driver holds the interface, bus relations and capabilities.
#include <thread>

#include "shared/control_message.h"
#include "shared/device_interface.h"
#include "sim/host/device_interfaces.h"
#include "sim/host/io_internal.h"
#include "sim/host/object_manager.h"
#include "sim/host/process.h"
#include "tests/usbdriver/control/lifecycle_fixture.h"
#include "usbdriver/control/control_pool.h"
#include "usbdriver/control/function_power.h"
#include "usbdriver/control/remove_lock.h"

namespace q407::testing {
namespace {

GUID InterfaceClass() {
    GUID guid{};
    guid.Data1 = GUID_DEVINTERFACE_Q407.Data1;
    guid.Data2 = GUID_DEVINTERFACE_Q407.Data2;
    guid.Data3 = GUID_DEVINTERFACE_Q407.Data3;
    for (int i = 0; i < 8; ++i) guid.Data4[i] = GUID_DEVINTERFACE_Q407.Data4[i];
    return guid;
}

size_t EnabledInterfaces() {
    return sim::EnabledDeviceInterfaces(InterfaceClass()).size();
}

// Sends a request straight to a device object, as the I/O manager does for a handle to a device
// that has been deleted meanwhile; the device must be kept referenced by the caller.
NTSTATUS CallDirect(PDEVICE_OBJECT device, UCHAR major, UCHAR minor) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State.DeviceState = PowerDeviceD0;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_Q407_CONTROL_MESSAGE;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID event) {
            KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
            return NTSTATUS(STATUS_MORE_PROCESSING_REQUIRED);
        },
        &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

using FunctionPnpTest = LifecycleFixture;

TEST_F(FunctionPnpTest, StartBringsUpFacadeInterfaceAndChildReportedInBusRelations) {
    EXPECT_EQ(State(), StateValue(PnpState::NotStarted));
    EXPECT_EQ(EnabledInterfaces(), 0u);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(State(), StateValue(PnpState::Started));
    EXPECT_NE(Ext()->facade, nullptr);
    EXPECT_EQ(EnabledInterfaces(), 1u);
    ASSERT_EQ(Ext()->childCount, 1u);
    PDEVICE_OBJECT child = Child();
    EXPECT_EQ(ChildOf(child)->childFlag, 1);
    EXPECT_EQ(ChildOf(child)->index, 1);
    EXPECT_EQ(ChildOf(child)->parent, fdo_);
    EXPECT_EQ(child->Flags & DO_DEVICE_INITIALIZING, 0u);

    // A relation a driver above put in the request stays first; the old list is freed.
    const ULONG foreignTag = POOL_TAG("Frel");
    auto* old = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), foreignTag));
    old->Count = 1;
    old->Objects[0] = device_->Pdo();
    const LONG childRefs = sim::ObjectReferenceCount(child);
    ULONG_PTR info = 0;
    sim::detail::OwnedIrpSetup setup;
    setup.major = IRP_MJ_PNP;
    setup.minor = IRP_MN_QUERY_DEVICE_RELATIONS;
    setup.initialStatus = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(sim::detail::SendToStackAndWait(
                  device_->Pdo(), setup,
                  [&](PIRP irp, NTSTATUS*) {
                      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(old);
                      IoGetNextIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type =
                          BusRelations;
                      return true;
                  },
                  &info),
              STATUS_SUCCESS);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(info);
    ASSERT_NE(relations, nullptr);
    ASSERT_EQ(relations->Count, 2u);
    EXPECT_EQ(relations->Objects[0], device_->Pdo());
    EXPECT_EQ(relations->Objects[1], child);
    EXPECT_EQ(sim::ObjectReferenceCount(child), childRefs + 1);
    EXPECT_EQ(sim::Pool::Usage(foreignTag).allocations, 0u);
    EXPECT_EQ(sim::Pool::Usage(kZel3).allocations, 1u);
    ObDereferenceObject(child);
    ExFreePool(relations);

    // Other relation types are not this driver's to answer.
    EXPECT_EQ(Pnp(IRP_MN_QUERY_DEVICE_RELATIONS,
                  [](PIO_STACK_LOCATION s) {
                      s->Parameters.QueryDeviceRelations.Type = RemovalRelations;
                  }),
              STATUS_NOT_SUPPORTED);
}

TEST_F(FunctionPnpTest, RelationsListThatCannotBeAllocatedFailsTheQuery) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    sim::Pool::FailTag(kZel3);
    ULONG_PTR info = 0;
    EXPECT_EQ(
        Pnp(
            IRP_MN_QUERY_DEVICE_RELATIONS,
            [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; },
            &info),
        STATUS_INSUFFICIENT_RESOURCES);
    sim::Pool::ClearFailures();
    EXPECT_EQ(info, 0u);
}

TEST_F(FunctionPnpTest, QueryRemoveAndQueryStopAreVetoedWhileTheInterfaceIsHeld) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    // The audio driver on the child took a reference on the private interface.
    InterlockedIncrement(&Ext()->interfaceReferences);
    EXPECT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(State(), StateValue(PnpState::Started));
    EXPECT_NE(Ext()->facade, nullptr);

    // The child's removal drops the reference (and never below zero).
    EXPECT_EQ(ChildPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->interfaceReferences, 0);
    EXPECT_EQ(ChildPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->interfaceReferences, 0);

    EXPECT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(State(), StateValue(PnpState::RemovePending));
    EXPECT_EQ(Pnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(State(), StateValue(PnpState::Started));
    EXPECT_NE(Ext()->facade, nullptr);
    // Cancel-remove without a query before it changes nothing.
    EXPECT_EQ(Pnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(State(), StateValue(PnpState::Started));

    EXPECT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(EnabledInterfaces(), 0u);
    EXPECT_EQ(sim::TopOfStack(device_->Pdo()), device_->Pdo());
    EXPECT_EQ(driver_->DeviceObject, nullptr);  // function device and child both deleted
    EXPECT_EQ(sim::Pool::LeakReportOfDriver(driver_), "");
}

TEST_F(FunctionPnpTest, StopWithoutQueryStopKeepsTheFacadeAndAStoppedDeviceStartsAgain) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    DeviceFacade* facade = Ext()->facade;
    EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->facade, facade);
    EXPECT_EQ(State(), StateValue(PnpState::Started));
    EXPECT_EQ(EnabledInterfaces(), 1u);

    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(State(), StateValue(PnpState::StopPending));
    EXPECT_EQ(Pnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(State(), StateValue(PnpState::Started));
    EXPECT_EQ(Ext()->facade, facade);
    // Cancel-stop without a query before it changes nothing.
    EXPECT_EQ(Pnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(State(), StateValue(PnpState::Started));

    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(State(), StateValue(PnpState::NotStarted));
    EXPECT_EQ(Ext()->facade, nullptr);
    EXPECT_EQ(EnabledInterfaces(), 0u);
    EXPECT_EQ(sim::Pool::Usage(kFacadePoolTag).allocations, 0u);

    // Started again (resources rebalanced): a new facade, the interface back, the same child.
    PDEVICE_OBJECT child = Child();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(State(), StateValue(PnpState::Started));
    EXPECT_NE(Ext()->facade, nullptr);
    EXPECT_EQ(EnabledInterfaces(), 1u);
    EXPECT_EQ(Ext()->childCount, 1u);
    EXPECT_EQ(Child(), child);
}

TEST_F(FunctionPnpTest, FailedStartLeavesTheDeviceNotStartedAndALaterStartSucceeds) {
    sim::Pool::FailTag(kFacadePoolTag);
    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    sim::Pool::ClearFailures();
    EXPECT_EQ(State(), StateValue(PnpState::NotStarted));
    EXPECT_EQ(Ext()->facade, nullptr);
    EXPECT_EQ(EnabledInterfaces(), 0u);

    // The child cannot be created: nothing of the start stays.
    ASSERT_EQ(Ext()->childCount, 0u);
    for (size_t n = 1;; ++n) {
        sim::Pool::FailAllocationNumber(n);
        const NTSTATUS status = Start();
        sim::Pool::ClearFailures();
        if (NT_SUCCESS(status)) break;
        ASSERT_LT(n, 500u) << "start never succeeded";
        EXPECT_EQ(State(), StateValue(PnpState::NotStarted)) << n;
        EXPECT_EQ(Ext()->facade, nullptr) << n;
        EXPECT_EQ(sim::Pool::Usage(kFacadePoolTag).allocations, 0u) << n;
        EXPECT_EQ(EnabledInterfaces(), 0u) << n;
    }
    EXPECT_EQ(State(), StateValue(PnpState::Started));
    EXPECT_EQ(Ext()->childCount, 1u);
}

TEST_F(FunctionPnpTest, SurpriseRemovalStopsTheFacadeAndOpenHandlesAreRefusedUntilRemove) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    sim::Process client("client");
    HANDLE handle = nullptr;
    ASSERT_EQ(client.OpenDevice(sim::EnabledDeviceInterfaces(InterfaceClass()).front(), &handle),
              STATUS_SUCCESS);
    ControlMessage message{};
    ULONG returned = 0;
    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(State(), StateValue(PnpState::SurpriseRemoved));
    EXPECT_EQ(Ext()->facade, nullptr);
    EXPECT_EQ(EnabledInterfaces(), 0u);
    EXPECT_EQ(client.DeviceIoControl(handle, IOCTL_Q407_CONTROL_MESSAGE, &message, sizeof(message),
                                     &message, sizeof(message), &returned),
              STATUS_DELETE_PENDING);
    EXPECT_EQ(returned, 0u);
    client.End();

    // Kept referenced, the deleted device still answers requests that reach it.
    ObReferenceObject(fdo_);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(CallDirect(fdo_, IRP_MJ_DEVICE_CONTROL, 0), STATUS_DELETE_PENDING);
    EXPECT_EQ(CallDirect(fdo_, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES), STATUS_DELETE_PENDING);
    EXPECT_EQ(CallDirect(fdo_, IRP_MJ_POWER, IRP_MN_SET_POWER), STATUS_DELETE_PENDING);
    ObDereferenceObject(fdo_);
    EXPECT_EQ(sim::Pool::LeakReportOfDriver(driver_), "");
}

TEST_F(FunctionPnpTest, RemoveWaitsForEveryHoldOnTheRemoveLock) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    // A request still running in the driver.
    ASSERT_EQ(AcquireRemoveLock(&Ext()->removeLock), STATUS_SUCCESS);
    DeviceExtension* ext = Ext();
    std::atomic<bool> removed{false};
    std::thread system([&] {
        sim::EmulatedThreadScope emulated;
        EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        removed = true;
    });
    for (int i = 0; i < 1000 && ext->removeLock.removing == 0; ++i)
        machine_.RunFor(sim::kTicksPerSecond / 1000);
    EXPECT_FALSE(removed.load());
    EXPECT_EQ(ext->removeLock.removing, 1);
    EXPECT_EQ(sim::TopOfStack(device_->Pdo()), fdo_);  // still attached
    // Nothing new gets a hold meanwhile; the refused attempt leaves the count as it was.
    EXPECT_EQ(AcquireRemoveLock(&ext->removeLock), STATUS_DELETE_PENDING);
    EXPECT_EQ(ext->removeLock.count, 1);
    ReleaseRemoveLock(&ext->removeLock);
    machine_.RunUntilIdle();
    system.join();
    EXPECT_TRUE(removed.load());
    EXPECT_EQ(sim::TopOfStack(device_->Pdo()), device_->Pdo());
}

TEST_F(FunctionPnpTest, CapabilitiesAreCheckedCopiedAndAllowSurpriseRemoval) {
    DEVICE_CAPABILITIES caps{};
    auto query = [&](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceCapabilities.Capabilities = &caps;
    };
    caps.Size = sizeof(caps);
    caps.Version = 0;
    EXPECT_EQ(Pnp(IRP_MN_QUERY_CAPABILITIES, query), STATUS_UNSUCCESSFUL);
    caps.Version = 1;
    caps.Size = sizeof(caps) - 4;
    EXPECT_EQ(Pnp(IRP_MN_QUERY_CAPABILITIES, query), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(caps.SurpriseRemovalOK, 0u);

    caps.Size = sizeof(caps);
    caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps.D3Latency = 1234;
    EXPECT_EQ(Pnp(IRP_MN_QUERY_CAPABILITIES, query), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(Ext()->capabilities.SurpriseRemovalOK, 1u);
    EXPECT_EQ(Ext()->capabilities.D3Latency, 1234u);
    EXPECT_EQ(Ext()->capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
    // The power code never takes a shallower state than D3 while the system sleeps.
    EXPECT_EQ(DeviceStateForSystemState(Ext(), PowerSystemSleeping3), PowerDeviceD3);
    EXPECT_EQ(DeviceStateForSystemState(Ext(), PowerSystemWorking), PowerDeviceD0);
    // A bus answering a state past D3 (the table is copied as the bus wrote it).
    const ULONG bogus = 9;
    RtlCopyMemory(&Ext()->capabilities.DeviceState[PowerSystemHibernate], &bogus, sizeof(bogus));
    EXPECT_EQ(DeviceStateForSystemState(Ext(), PowerSystemHibernate), PowerDeviceD3);
}

TEST(RemoveLock, CountsHoldsAndRefusesThemOnceRemovalBegan) {
    sim::Machine machine;
    RemoveLock lock;
    InitializeRemoveLock(&lock);
    EXPECT_EQ(lock.count, 1);
    EXPECT_EQ(AcquireRemoveLock(&lock), STATUS_SUCCESS);
    EXPECT_EQ(AcquireRemoveLock(&lock), STATUS_SUCCESS);
    ReleaseRemoveLock(&lock);
    EXPECT_EQ(lock.count, 2);
    // Removal's own hold: with it and the device's gone, the count is 0 and nothing waits.
    ReleaseRemoveLockAndWait(&lock);
    EXPECT_EQ(lock.count, 0);
    EXPECT_NE(KeReadStateEvent(&lock.drained), 0);
    EXPECT_EQ(AcquireRemoveLock(&lock), STATUS_DELETE_PENDING);
    EXPECT_EQ(lock.count, 0);
}

}  // namespace
}  // namespace q407::testing
