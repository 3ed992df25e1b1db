// The driver's entry and unload, and add-device with every step that can fail.
#include "usbdriver/control/function_device.h"

#include <gtest/gtest.h>

#include "sim/device/usb_bus.h"
#include "sim/host/io_manager.h"
#include "sim/host/machine.h"
#include "sim/host/object_manager.h"
#include "sim/host/pool.h"
#include "sim/host/power_manager.h"
#include "usbdriver/control/device_extension.h"

namespace q407::testing {
namespace {

TEST(DriverEntry, InstallsEveryRoutineAndTracesEntryAndUnload) {
    sim::Machine machine;
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(L"Q407DRV", Q407DriverEntry, &driver), STATUS_SUCCESS);
    EXPECT_TRUE(machine.Trace().Contains("USB 2.0 Audio DriverEntry:\n"));
    for (int major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_DEVICE_CONTROL,
                      IRP_MJ_POWER, IRP_MJ_PNP, IRP_MJ_SYSTEM_CONTROL})
        EXPECT_NE(driver->MajorFunction[major], nullptr) << major;
    EXPECT_EQ(driver->DriverExtension->AddDevice, &Q407AddDevice);
    EXPECT_NE(driver->DriverUnload, nullptr);
    EXPECT_FALSE(machine.Trace().Contains("DRV DriverUnload >>>>>>\n"));
    EXPECT_EQ(sim::UnloadDriver(L"Q407DRV"), STATUS_SUCCESS);
    EXPECT_TRUE(machine.Trace().Contains("DRV DriverUnload >>>>>>\n"));
    EXPECT_EQ(sim::Pool::LeakReport(), "");
}

TEST(DriverEntry, RefusesASystemWithoutWdm60) {
    sim::Machine machine;
    machine.SetWindowsVersion({5, 1, 2600});
    EXPECT_EQ(sim::LoadDriver(L"Q407DRV", Q407DriverEntry), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sim::FindDriver(L"Q407DRV"), nullptr);
    EXPECT_EQ(sim::Pool::LeakReport(), "");
}

TEST(AddDevice, CreatesAPowerPageableFunctionDeviceInD0AboveThePhysicalDevice) {
    sim::Machine machine;
    sim::VirtualQ407 device;
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(L"Q407DRV", Q407DriverEntry, &driver), STATUS_SUCCESS);
    ASSERT_EQ(sim::CallAddDevice(driver, device.Pdo()), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = sim::TopOfStack(device.Pdo());
    ASSERT_EQ(fdo->DriverObject, driver);
    EXPECT_EQ(fdo->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
    EXPECT_NE(fdo->Characteristics & FILE_DEVICE_SECURE_OPEN, 0u);
    EXPECT_EQ(fdo->Flags & DO_EXCLUSIVE, 0u);
    EXPECT_NE(fdo->Flags & DO_POWER_PAGABLE, 0u);
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    DeviceExtension* ext = ExtensionOf(fdo);
    EXPECT_EQ(ext->childFlag, 0);
    EXPECT_FALSE(IsChildDevice(fdo));
    EXPECT_EQ(ext->self, fdo);
    EXPECT_EQ(ext->lowerDevice, device.Pdo());
    EXPECT_EQ(ext->physicalDevice, device.Pdo());
    EXPECT_EQ(ext->driver, driver);
    EXPECT_EQ(ext->removeLock.count, 1);
    EXPECT_EQ(ext->removeLock.removing, 0);
    EXPECT_EQ(ext->pnpState, static_cast<LONG>(PnpState::NotStarted));
    EXPECT_EQ(ext->devicePowerState, PowerDeviceD0);
    EXPECT_EQ(ext->systemPowerState, PowerSystemWorking);
    EXPECT_EQ(sim::DeclaredDevicePowerState(fdo), PowerDeviceD0);
    EXPECT_NE(ext->interfaceName.Buffer, nullptr);
    EXPECT_EQ(ext->childCount, 0u);
    EXPECT_EQ(ext->facade, nullptr);

    EXPECT_EQ(sim::SendSystemRequest(device.Pdo(), IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr,
                                     STATUS_NOT_SUPPORTED),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::TopOfStack(device.Pdo()), device.Pdo());
    EXPECT_EQ(sim::Pool::LeakReportOfDriver(driver), "");
    EXPECT_EQ(sim::UnloadDriver(L"Q407DRV"), STATUS_SUCCESS);
}

// Every allocation add-device makes fails in turn: each failure returns its status and leaves
// no device, no attachment and no pool behind.
TEST(AddDevice, EveryFailedAllocationLeavesNothingBehind) {
    sim::Machine machine;
    sim::VirtualQ407 device;
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(L"Q407DRV", Q407DriverEntry, &driver), STATUS_SUCCESS);
    size_t failures = 0;
    for (size_t n = 1;; ++n) {
        ASSERT_LT(n, 100u) << "add-device never succeeded";
        sim::Pool::FailAllocationNumber(n);
        const NTSTATUS status = sim::CallAddDevice(driver, device.Pdo());
        sim::Pool::ClearFailures();
        if (NT_SUCCESS(status)) break;
        ++failures;
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << n;
        EXPECT_EQ(driver->DeviceObject, nullptr) << n;
        EXPECT_EQ(device.Pdo()->AttachedDevice, nullptr) << n;
        EXPECT_EQ(sim::Pool::LeakReportOfDriver(driver), "") << n;
    }
    EXPECT_GE(failures, 2u);  // the device object and the interface name at least
    EXPECT_EQ(sim::SendSystemRequest(device.Pdo(), IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr,
                                     STATUS_NOT_SUPPORTED),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::Pool::LeakReportOfDriver(driver), "");
    EXPECT_EQ(sim::UnloadDriver(L"Q407DRV"), STATUS_SUCCESS);
}

TEST(AddDevice, NoStackToAttachToGivesNoSuchDevice) {
    sim::Machine machine;
    sim::VirtualQ407 device;
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(L"Q407DRV", Q407DriverEntry, &driver), STATUS_SUCCESS);
    // A physical device deleted meanwhile (still referenced): there is no stack to join.
    PDEVICE_OBJECT gone = nullptr;
    ASSERT_EQ(IoCreateDevice(device.Bus().DriverObject(), 0, nullptr, FILE_DEVICE_UNKNOWN,
                             FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &gone),
              STATUS_SUCCESS);
    sim::SetPhysicalDevice(gone, L"USB\\VID_0000&PID_0000\\9");
    ObReferenceObject(gone);
    IoDeleteDevice(gone);
    EXPECT_EQ(sim::CallAddDevice(driver, gone), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_EQ(sim::Pool::LeakReportOfDriver(driver), "");
    ObDereferenceObject(gone);
    EXPECT_EQ(sim::UnloadDriver(L"Q407DRV"), STATUS_SUCCESS);
}

}  // namespace
}  // namespace q407::testing
