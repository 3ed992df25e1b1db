// The power manager's services: device power requests sent to the top of a physical device's
// stack and handed back to the requester, the power-request sequence, declared power states,
// system power requests, and the misuse the verifier stops.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "platform/kernel/wdk.h"
#include "sim/host/io_manager.h"
#include "sim/host/machine.h"
#include "sim/host/pool.h"
#include "sim/host/power_manager.h"
#include "tests/sim/host/test_driver.h"

using namespace q407::sim;
using namespace q407::test;

namespace {

// A filter that records each power request it sees and passes it down as a power driver does:
// ready for the next one, then the power manager's call.
struct PowerFilter {
    PDEVICE_OBJECT self = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    int requests = 0;
    UCHAR minor = 0xFF;
    POWER_STATE_TYPE type = SystemPowerState;
    POWER_STATE state{};
    NTSTATUS statusOnArrival = STATUS_SUCCESS;
};

NTSTATUS FilterPower(PDEVICE_OBJECT device, PIRP irp) {
    auto* f = static_cast<PowerFilter*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ++f->requests;
    f->minor = stack->MinorFunction;
    f->type = stack->Parameters.Power.Type;
    f->state = stack->Parameters.Power.State;
    f->statusOnArrival = irp->IoStatus.Status;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(f->lower, irp);
}

void FilterUnload(PDRIVER_OBJECT) {}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_POWER] = FilterPower;
    driver->DriverUnload = FilterUnload;
    return STATUS_SUCCESS;
}

struct Answer {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql = HIGH_LEVEL;
};

void PowerDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
               PIO_STATUS_BLOCK ioStatus) {
    auto* a = static_cast<Answer*>(context);
    ++a->calls;
    a->device = device;
    a->minor = minor;
    a->state = state;
    a->status = ioStatus->Status;
    a->irql = KeGetCurrentIrql();
}

POWER_STATE Device(DEVICE_POWER_STATE d) {
    POWER_STATE s{};
    s.DeviceState = d;
    return s;
}

// A physical device (the test driver's bottom device) with a power filter above it.
class PowerStack : public ::testing::Test {
  protected:
    void SetUp() override {
        busDriver = LoadTestDriver();
        ASSERT_NE(busDriver, nullptr);
        pdo = CreateTestDevice(busDriver, TestDevice::Role::Bottom, "B", &log);
        ASSERT_EQ(LoadDriver(L"PwrFilt", FilterEntry, &filterDriver), STATUS_SUCCESS);
        PDEVICE_OBJECT device;
        ASSERT_EQ(IoCreateDevice(filterDriver, sizeof(PowerFilter), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                 FALSE, &device),
                  STATUS_SUCCESS);
        filter = new (device->DeviceExtension) PowerFilter();
        filter->self = device;
        filter->lower = IoAttachDeviceToDeviceStack(device, pdo->self);
        device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    }
    void TearDown() override {
        IoDetachDevice(filter->lower);
        IoDeleteDevice(filter->self);
        DeleteTestDevice(pdo);
        EXPECT_EQ(UnloadDriver(L"PwrFilt"), STATUS_SUCCESS);
        EXPECT_EQ(UnloadDriver(L"TestDrv"), STATUS_SUCCESS);
        EXPECT_EQ(LiveIrpCount(), 0u);
        EXPECT_EQ(Pool::LeakReport(), "");
    }

    Machine machine;
    std::vector<std::string> log;
    PDRIVER_OBJECT busDriver = nullptr;
    PDRIVER_OBJECT filterDriver = nullptr;
    TestDevice* pdo = nullptr;
    PowerFilter* filter = nullptr;
};

}  // namespace

TEST_F(PowerStack, DevicePowerRequestGoesToTheTopOfTheStackAndComesBackToTheRequester) {
    Answer answer;
    PIRP irp = nullptr;
    EXPECT_EQ(PoRequestPowerIrp(pdo->self, IRP_MN_SET_POWER, Device(PowerDeviceD3), PowerDone,
                                &answer, &irp),
              STATUS_PENDING);
    EXPECT_NE(irp, nullptr);
    // The filter above the physical device saw it first, as the system builds it.
    EXPECT_EQ(filter->requests, 1);
    EXPECT_EQ(filter->minor, IRP_MN_SET_POWER);
    EXPECT_EQ(filter->type, DevicePowerState);
    EXPECT_EQ(filter->state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(filter->statusOnArrival, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(log, (std::vector<std::string>{"B:dispatch"}));
    // Completed inside the call: the requester heard at the completion's IRQL, the IRP is gone.
    EXPECT_EQ(answer.calls, 1);
    EXPECT_EQ(answer.device, pdo->self);
    EXPECT_EQ(answer.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(answer.state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(StartNextPowerIrpCalls(filter->self), 1u);
    EXPECT_EQ(LiveIrpCount(), 0u);
}

TEST_F(PowerStack, DevicePowerRequestCompletedLaterCarriesTheLowerDriversStatus) {
    pdo->pend = true;
    pdo->completeAfter = 10'000;  // 1 ms
    pdo->completeStatus = STATUS_UNSUCCESSFUL;
    Answer answer;
    EXPECT_EQ(PoRequestPowerIrp(pdo->self, IRP_MN_QUERY_POWER, Device(PowerDeviceD2), PowerDone,
                                &answer, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(answer.calls, 0);
    EXPECT_EQ(LiveIrpCount(), 1u);
    machine.RunFor(20'000);
    EXPECT_EQ(answer.calls, 1);
    EXPECT_EQ(answer.minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(answer.state.DeviceState, PowerDeviceD2);
    EXPECT_EQ(answer.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(answer.irql, DISPATCH_LEVEL);
    EXPECT_EQ(LiveIrpCount(), 0u);
}

TEST_F(PowerStack, OnlySetQueryAndWaitWakeCanBeRequested) {
    Answer answer;
    EXPECT_EQ(PoRequestPowerIrp(pdo->self, IRP_MN_POWER_SEQUENCE, Device(PowerDeviceD0), PowerDone,
                                &answer, nullptr),
              STATUS_INVALID_PARAMETER_2);
    EXPECT_EQ(
        PoRequestPowerIrp(pdo->self, 0x07, Device(PowerDeviceD0), PowerDone, &answer, nullptr),
        STATUS_INVALID_PARAMETER_2);
    EXPECT_EQ(answer.calls, 0);
    EXPECT_EQ(filter->requests, 0);
    EXPECT_EQ(LiveIrpCount(), 0u);
}

TEST_F(PowerStack, DeclaredPowerStatesAreKeptPerDeviceAndReturnThePreviousOne) {
    EXPECT_EQ(DeclaredDevicePowerState(filter->self), PowerDeviceUnspecified);
    EXPECT_EQ(PoSetPowerState(filter->self, DevicePowerState, Device(PowerDeviceD0)).DeviceState,
              PowerDeviceUnspecified);
    EXPECT_EQ(PoSetPowerState(filter->self, DevicePowerState, Device(PowerDeviceD3)).DeviceState,
              PowerDeviceD0);
    EXPECT_EQ(DeclaredDevicePowerState(filter->self), PowerDeviceD3);
    // Another device of the same stack keeps its own.
    EXPECT_EQ(DeclaredDevicePowerState(pdo->self), PowerDeviceUnspecified);
    POWER_STATE sleeping{};
    sleeping.SystemState = PowerSystemSleeping3;
    EXPECT_EQ(PoSetPowerState(pdo->self, SystemPowerState, sleeping).SystemState,
              PowerSystemUnspecified);
    EXPECT_EQ(DeclaredSystemPowerState(pdo->self), PowerSystemSleeping3);
    EXPECT_EQ(DeclaredDevicePowerState(pdo->self), PowerDeviceUnspecified);
}

TEST_F(PowerStack, SystemPowerRequestCarriesTheSystemStateAndReturnsTheFinalStatus) {
    EXPECT_EQ(SendSystemPowerRequest(filter->self, IRP_MN_QUERY_POWER, PowerSystemSleeping3),
              STATUS_SUCCESS);
    EXPECT_EQ(filter->minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(filter->type, SystemPowerState);
    EXPECT_EQ(filter->state.SystemState, PowerSystemSleeping3);
    EXPECT_EQ(filter->statusOnArrival, STATUS_NOT_SUPPORTED);
    pdo->completeStatus = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(SendSystemPowerRequest(pdo->self, IRP_MN_SET_POWER, PowerSystemWorking),
              STATUS_DEVICE_NOT_CONNECTED);  // sent to the top: the filter saw it too
    EXPECT_EQ(filter->requests, 2);
    EXPECT_EQ(filter->state.SystemState, PowerSystemWorking);
}

// --- Misuse -------------------------------------------------------------------------------

namespace {

class PowerVerifier : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

}  // namespace

TEST_F(PowerVerifier, DevicePowerRequestForADeviceThatIsNotThePhysicalOne) {
    EXPECT_DEATH(
        {
            Machine m;
            PDRIVER_OBJECT driver = LoadTestDriver();
            TestDevice* bottom = CreateTestDevice(driver, TestDevice::Role::Bottom, "B", nullptr);
            TestDevice* above = CreateTestDevice(driver, TestDevice::Role::Filter, "F", nullptr);
            Attach(above, bottom->self);
            PoRequestPowerIrp(above->self, IRP_MN_SET_POWER, Device(PowerDeviceD3), PowerDone,
                              nullptr, nullptr);
        },
        "VERIFIER: PoRequestPowerIrp: the device is not a physical device object");
}

TEST_F(PowerVerifier, PoCallDriverWithAnotherRequest) {
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
            PoCallDriver(d->self, irp);
        },
        "VERIFIER: PoCallDriver: not a power IRP \\(major function 15\\)");
}

TEST_F(PowerVerifier, PoStartNextPowerIrpWithAnIrpThatIsNotAtADriver) {
    EXPECT_DEATH(
        {
            Machine m;
            PIRP irp = IoAllocateIrp(2, FALSE);
            PoStartNextPowerIrp(irp);
        },
        "VERIFIER: PoStartNextPowerIrp: the IRP is at no driver's stack location");
}

TEST_F(PowerVerifier, DeclaringAnInvalidDevicePowerState) {
    EXPECT_DEATH(
        {
            Machine m;
            PDRIVER_OBJECT driver = LoadTestDriver();
            TestDevice* d = CreateTestDevice(driver, TestDevice::Role::Bottom, "D", nullptr);
            PoSetPowerState(d->self, DevicePowerState, Device(static_cast<DEVICE_POWER_STATE>(5)));
        },
        "VERIFIER: PoSetPowerState: invalid device power state 5");
}
