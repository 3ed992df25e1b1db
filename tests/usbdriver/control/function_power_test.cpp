// The function device's power requests: system sleep asks for the device's D3 before the system
// request goes down, wake sends the system request down first and asks for D0 after it; device
// requests are tracked and declared; failures end a request with the failing status.
#include "usbdriver/control/function_power.h"

#include "tests/usbdriver/control/lifecycle_fixture.h"

namespace q407::testing {
namespace {

class FunctionPowerTest : public LifecycleFixture {
  protected:
    void SetUp() override {
        // Not started: the engine reads its settings through the device below the function
        // device, which here is the filter rather than the bus's physical device.
        Build(true);
        RecordingFilter::Clear();
    }
    NTSTATUS System(UCHAR minor, SYSTEM_POWER_STATE state) {
        return sim::SendSystemPowerRequest(device_->Pdo(), minor, state);
    }
    NTSTATUS Device(UCHAR minor, DEVICE_POWER_STATE state) {
        return PowerTo(device_->Pdo(), minor, DevicePowerState, state);
    }
    static SeenPower S(UCHAR minor, SYSTEM_POWER_STATE state) {
        return {minor, SystemPowerState, ULONG(state)};
    }
    static SeenPower D(UCHAR minor, DEVICE_POWER_STATE state) {
        return {minor, DevicePowerState, ULONG(state)};
    }
};

TEST_F(FunctionPowerTest, SleepPowersTheDeviceDownFirstAndWakeAfterTheSystemRequest) {
    EXPECT_EQ(sim::DeclaredDevicePowerState(fdo_), PowerDeviceD0);
    EXPECT_EQ(System(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(RecordingFilter::Seen(),
              (std::vector<SeenPower>{
                  D(IRP_MN_QUERY_POWER, PowerDeviceD3), S(IRP_MN_QUERY_POWER, PowerSystemSleeping3),
                  D(IRP_MN_SET_POWER, PowerDeviceD3), S(IRP_MN_SET_POWER, PowerSystemSleeping3)}));
    EXPECT_EQ(Ext()->systemPowerState, PowerSystemSleeping3);
    EXPECT_EQ(Ext()->devicePowerState, PowerDeviceD3);
    EXPECT_EQ(sim::DeclaredDevicePowerState(fdo_), PowerDeviceD3);

    RecordingFilter::Clear();
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(RecordingFilter::Seen(),
              (std::vector<SeenPower>{S(IRP_MN_SET_POWER, PowerSystemWorking),
                                      D(IRP_MN_SET_POWER, PowerDeviceD0)}));
    EXPECT_EQ(Ext()->systemPowerState, PowerSystemWorking);
    EXPECT_EQ(Ext()->devicePowerState, PowerDeviceD0);
    EXPECT_EQ(sim::DeclaredDevicePowerState(fdo_), PowerDeviceD0);
    // Every request the driver saw was let go to the next one.
    EXPECT_GE(sim::StartNextPowerIrpCalls(fdo_), 6u);
    EXPECT_EQ(sim::Pool::Usage(kZel3).allocations, 0u);
}

TEST_F(FunctionPowerTest, QueriesLeaveTheStatesAndDeviceRequestsAreTrackedInOrder) {
    EXPECT_EQ(System(IRP_MN_QUERY_POWER, PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->systemPowerState, PowerSystemWorking);
    EXPECT_EQ(Ext()->devicePowerState, PowerDeviceD0);

    EXPECT_EQ(Device(IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->devicePowerState, PowerDeviceD2);
    EXPECT_EQ(sim::DeclaredDevicePowerState(fdo_), PowerDeviceD2);
    EXPECT_EQ(Device(IRP_MN_QUERY_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->devicePowerState, PowerDeviceD2);
    EXPECT_EQ(Device(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->devicePowerState, PowerDeviceD0);
    EXPECT_EQ(sim::DeclaredDevicePowerState(fdo_), PowerDeviceD0);

    // Other power minors go down untouched.
    RecordingFilter::Clear();
    EXPECT_EQ(PowerTo(device_->Pdo(), IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3),
              STATUS_SUCCESS);
    EXPECT_EQ(RecordingFilter::Seen(),
              (std::vector<SeenPower>{S(IRP_MN_WAIT_WAKE, PowerSystemSleeping3)}));
    // States that exist on no system are refused before they index anything.
    EXPECT_EQ(PowerTo(device_->Pdo(), IRP_MN_SET_POWER, SystemPowerState, 40),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PowerTo(device_->Pdo(), IRP_MN_SET_POWER, DevicePowerState, 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::Pool::Usage(kZel3).allocations, 0u);
}

TEST_F(FunctionPowerTest, AFailedDeviceRequestFailsTheSystemRequestWhichNeverGoesDown) {
    RecordingFilter::FailDevicePower(STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(RecordingFilter::Seen(),
              (std::vector<SeenPower>{D(IRP_MN_SET_POWER, PowerDeviceD3)}));
    EXPECT_EQ(Ext()->systemPowerState, PowerSystemWorking);

    // Fine down to sleep; then the wake fails below: no D0 request follows.
    RecordingFilter::FailDevicePower(STATUS_SUCCESS);
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    RecordingFilter::Clear();
    RecordingFilter::FailSystemPower(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RecordingFilter::Seen(),
              (std::vector<SeenPower>{S(IRP_MN_SET_POWER, PowerSystemWorking)}));
    EXPECT_EQ(Ext()->systemPowerState, PowerSystemSleeping3);

    // The wake goes down, but powering the device up fails: the system request says so.
    RecordingFilter::FailSystemPower(STATUS_SUCCESS);
    RecordingFilter::FailDevicePower(STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(Ext()->devicePowerState, PowerDeviceD3);
    RecordingFilter::FailDevicePower(STATUS_SUCCESS);
    EXPECT_EQ(Device(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->devicePowerState, PowerDeviceD0);

    // No context for the request: refused, nothing sent down.
    RecordingFilter::Clear();
    sim::Pool::FailTag(kZel3);
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    sim::Pool::ClearFailures();
    EXPECT_TRUE(RecordingFilter::Seen().empty());
    EXPECT_EQ(sim::Pool::Usage(kZel3).allocations, 0u);
}

}  // namespace
}  // namespace q407::testing
