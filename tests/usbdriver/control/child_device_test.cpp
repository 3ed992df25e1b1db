// The child device: its identifiers, the requests it answers itself, those it hands to the
// function device's stack, and its power requests.
#include "usbdriver/control/child_device.h"

#include <string>

#include "sim/host/object_manager.h"
#include "tests/usbdriver/control/lifecycle_fixture.h"

namespace q407::testing {
namespace {

class ChildDeviceTest : public LifecycleFixture {
  protected:
    void SetUp() override {
        LifecycleFixture::SetUp();
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ASSERT_NE(Child(), nullptr);
    }

    // The identifier of a type as the child returns it, with both terminators checked; the
    // buffer is freed.
    std::wstring QueryId(BUS_QUERY_ID_TYPE type, NTSTATUS* status) {
        ULONG_PTR info = 0;
        *status = ChildPnp(
            IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; },
            &info);
        if (!NT_SUCCESS(*status) || info == 0) return L"<none>";
        const auto* id = reinterpret_cast<const WCHAR*>(info);
        std::wstring text(id);
        EXPECT_EQ(id[text.size() + 1], 0) << "not a multi-string";
        EXPECT_EQ(sim::Pool::Usage(kZel3).bytes, (text.size() + 2) * sizeof(WCHAR));
        ExFreePool(const_cast<WCHAR*>(id));
        return text;
    }
};

TEST_F(ChildDeviceTest, IdentifiersAreMultiStringsAndUnknownTypesAreNotSupported) {
    NTSTATUS status;
    EXPECT_EQ(QueryId(BusQueryDeviceID, &status), L"ZEL\\Q407_01");
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(QueryId(BusQueryHardwareIDs, &status), L"ZEL\\Q407_01");
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(QueryId(BusQueryInstanceID, &status), L"0001");
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(QueryId(BusQueryCompatibleIDs, &status), L"<none>");
    EXPECT_EQ(status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(QueryId(BusQueryDeviceSerialNumber, &status), L"<none>");
    EXPECT_EQ(status, STATUS_NOT_SUPPORTED);

    // Other indexes are formatted the same way; no identifier is built from the pool's failure.
    WCHAR* id = nullptr;
    ASSERT_EQ(BuildChildId(12, BusQueryInstanceID, &id), STATUS_SUCCESS);
    EXPECT_EQ(std::wstring(id), L"0012");
    ExFreePool(id);
    ASSERT_EQ(BuildChildId(7, BusQueryDeviceID, &id), STATUS_SUCCESS);
    EXPECT_EQ(std::wstring(id), L"ZEL\\Q407_07");
    ExFreePool(id);
    sim::Pool::FailTag(kZel3);
    id = nullptr;
    EXPECT_EQ(BuildChildId(1, BusQueryHardwareIDs, &id), STATUS_INSUFFICIENT_RESOURCES);
    sim::Pool::ClearFailures();
    EXPECT_EQ(id, nullptr);
}

TEST_F(ChildDeviceTest, RequestsTheChildAnswersItself) {
    for (UCHAR minor :
         {UCHAR(IRP_MN_START_DEVICE), UCHAR(IRP_MN_QUERY_REMOVE_DEVICE),
          UCHAR(IRP_MN_CANCEL_REMOVE_DEVICE), UCHAR(IRP_MN_STOP_DEVICE),
          UCHAR(IRP_MN_QUERY_STOP_DEVICE), UCHAR(IRP_MN_CANCEL_STOP_DEVICE),
          UCHAR(IRP_MN_QUERY_RESOURCES), UCHAR(IRP_MN_QUERY_RESOURCE_REQUIREMENTS),
          UCHAR(IRP_MN_FILTER_RESOURCE_REQUIREMENTS), UCHAR(0x0E), UCHAR(IRP_MN_SURPRISE_REMOVAL)})
        EXPECT_EQ(ChildPnp(minor), STATUS_SUCCESS) << int(minor);
    // Text, and minors past the last one known, keep what the request says.
    EXPECT_EQ(ChildPnp(IRP_MN_QUERY_DEVICE_TEXT), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ChildPnp(0x19, nullptr, nullptr, STATUS_DEVICE_NOT_CONNECTED),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ChildPnp(0x40), STATUS_NOT_SUPPORTED);

    // Target relation: the child itself, referenced, in "Zel3" pool.
    const LONG references = sim::ObjectReferenceCount(Child());
    ULONG_PTR info = 0;
    EXPECT_EQ(ChildPnp(
                  IRP_MN_QUERY_DEVICE_RELATIONS,
                  [](PIO_STACK_LOCATION s) {
                      s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
                  },
                  &info),
              STATUS_SUCCESS);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(info);
    ASSERT_NE(relations, nullptr);
    EXPECT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], Child());
    EXPECT_EQ(sim::ObjectReferenceCount(Child()), references + 1);
    EXPECT_EQ(sim::Pool::Usage(kZel3).allocations, 1u);
    ObDereferenceObject(Child());
    ExFreePool(relations);
    info = 0;
    EXPECT_EQ(
        ChildPnp(
            IRP_MN_QUERY_DEVICE_RELATIONS,
            [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; },
            &info),
        STATUS_NOT_SUPPORTED);
    EXPECT_EQ(info, 0u);
}

TEST_F(ChildDeviceTest, RequestsHandedToTheParentStackGetItsAnswer) {
    PDEVICE_OBJECT child = Child();
    const LONG fdoReferences = sim::ObjectReferenceCount(fdo_);
    // Nobody in the parent's stack knows these: failures for some, the child's own status for
    // the others.
    for (UCHAR minor : {UCHAR(IRP_MN_READ_CONFIG), UCHAR(IRP_MN_WRITE_CONFIG), UCHAR(IRP_MN_EJECT),
                        UCHAR(IRP_MN_SET_LOCK), UCHAR(IRP_MN_QUERY_BUS_INFORMATION),
                        UCHAR(IRP_MN_QUERY_LEGACY_BUS_INFORMATION)})
        EXPECT_EQ(ChildPnp(minor), STATUS_UNSUCCESSFUL) << int(minor);
    EXPECT_EQ(ChildPnp(IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr, nullptr, STATUS_SUCCESS),
              STATUS_SUCCESS);
    EXPECT_EQ(ChildPnp(IRP_MN_DEVICE_USAGE_NOTIFICATION), STATUS_NOT_SUPPORTED);
    // An interface the child does not give itself: whatever the parent's stack says.
    static const GUID kUnknown = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(ChildPnp(IRP_MN_QUERY_INTERFACE,
                       [](PIO_STACK_LOCATION s) {
                           s->Parameters.QueryInterface.InterfaceType = &kUnknown;
                       }),
              STATUS_NOT_SUPPORTED);

    // Capabilities go through the function device, which checks and keeps them.
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.D1Latency = 77;
    EXPECT_EQ(ChildPnp(IRP_MN_QUERY_CAPABILITIES,
                       [&](PIO_STACK_LOCATION s) {
                           s->Parameters.DeviceCapabilities.Capabilities = &caps;
                       }),
              STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(Ext()->capabilities.D1Latency, 77u);
    caps.Version = 0;
    EXPECT_EQ(ChildPnp(IRP_MN_QUERY_CAPABILITIES,
                       [&](PIO_STACK_LOCATION s) {
                           s->Parameters.DeviceCapabilities.Capabilities = &caps;
                       }),
              STATUS_UNSUCCESSFUL);

    // No request to hand on: the child's request keeps its status; no reference is left.
    sim::Pool::FailAllocationNumber(2);  // the first is the system's request to the child
    EXPECT_EQ(ChildPnp(IRP_MN_EJECT, nullptr, nullptr, STATUS_DEVICE_REMOVED),
              STATUS_DEVICE_REMOVED);
    sim::Pool::ClearFailures();
    EXPECT_EQ(sim::ObjectReferenceCount(fdo_), fdoReferences);
    EXPECT_EQ(sim::ObjectReferenceCount(child), sim::ObjectReferenceCount(Child()));
}

TEST_F(ChildDeviceTest, PowerRequestsOfTheChild) {
    PDEVICE_OBJECT child = Child();
    const ULONG started = sim::StartNextPowerIrpCalls(child);
    EXPECT_EQ(PowerTo(child, IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(PowerTo(child, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(sim::DeclaredDevicePowerState(child), PowerDeviceD3);
    EXPECT_EQ(PowerTo(child, IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(sim::DeclaredDevicePowerState(child), PowerDeviceD3);
    EXPECT_EQ(PowerTo(child, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(sim::DeclaredDevicePowerState(child), PowerDeviceD0);
    EXPECT_EQ(PowerTo(child, IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3),
              STATUS_SUCCESS);
    EXPECT_EQ(PowerTo(child, IRP_MN_POWER_SEQUENCE, DevicePowerState, PowerDeviceD0),
              STATUS_NOT_SUPPORTED);
    // A device state that does not exist is refused, not recorded.
    EXPECT_EQ(PowerTo(child, IRP_MN_SET_POWER, DevicePowerState, 7), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::DeclaredDevicePowerState(child), PowerDeviceD0);
    EXPECT_EQ(sim::StartNextPowerIrpCalls(child), started + 7);
}

}  // namespace
}  // namespace q407::testing
