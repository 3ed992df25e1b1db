// Q407DRV loaded on an emulated machine with a virtual Q407 LX, its function device added but not
// started, driven with the Plug and Play and power requests the system sends. Optionally a
// recording filter sits between the function device and the bus's physical device, so a test sees
// the order in which requests go down.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

#include "sim/device/usb_bus.h"
#include "sim/host/io_manager.h"
#include "sim/host/machine.h"
#include "sim/host/pool.h"
#include "sim/host/power_manager.h"
#include "usbdriver/control/device_extension.h"
#include "usbdriver/control/function_device.h"

namespace q407::testing {

inline constexpr ULONG kZel3 = POOL_TAG("Zel3");

// One power request as the recording filter saw it go down.
struct SeenPower {
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;
    bool operator==(const SeenPower&) const = default;
};

// A lower filter of our own: records the power requests passing it and can fail device power
// requests; everything else goes on down.
class RecordingFilter {
  public:
    static std::vector<SeenPower> Seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    static void Clear() {
        std::lock_guard lock(mutex_);
        seen_.clear();
    }
    // Device power requests are completed with this status instead of going down (success: not
    // failed).
    static void FailDevicePower(NTSTATUS status) { failDevicePower_ = status; }
    static void FailSystemPower(NTSTATUS status) { failSystemPower_ = status; }

    static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
        for (auto& f : driver->MajorFunction) f = PassOn;
        driver->MajorFunction[IRP_MJ_POWER] = Power;
        driver->DriverUnload = [](PDRIVER_OBJECT) {};
        return STATUS_SUCCESS;
    }

    // Creates the filter and attaches it to the physical device's stack; the test detaches and
    // deletes it once the function device above it is gone.
    static PDEVICE_OBJECT Attach(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
        Clear();
        failDevicePower_ = STATUS_SUCCESS;
        failSystemPower_ = STATUS_SUCCESS;
        PDEVICE_OBJECT device = nullptr;
        if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN,
                                       0, FALSE, &device)))
            return nullptr;
        *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension) =
            IoAttachDeviceToDeviceStack(device, physical);
        device->Flags |= DO_POWER_PAGABLE;
        device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
        return device;
    }

  private:
    static PDEVICE_OBJECT Lower(PDEVICE_OBJECT device) {
        return *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
    }
    static NTSTATUS PassOn(PDEVICE_OBJECT device, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(Lower(device), irp);
    }
    static NTSTATUS Power(PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        const ULONG state = stack->Parameters.Power.Type == SystemPowerState
                                ? ULONG(stack->Parameters.Power.State.SystemState)
                                : ULONG(stack->Parameters.Power.State.DeviceState);
        {
            std::lock_guard lock(mutex_);
            seen_.push_back({stack->MinorFunction, stack->Parameters.Power.Type, state});
        }
        PoStartNextPowerIrp(irp);
        const NTSTATUS fail = stack->Parameters.Power.Type == DevicePowerState
                                  ? failDevicePower_.load()
                                  : failSystemPower_.load();
        if (!NT_SUCCESS(fail) && stack->MinorFunction != IRP_MN_WAIT_WAKE) {
            irp->IoStatus.Status = fail;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return fail;
        }
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(Lower(device), irp);
    }

    static inline std::mutex mutex_;
    static inline std::vector<SeenPower> seen_;
    static inline std::atomic<NTSTATUS> failDevicePower_{STATUS_SUCCESS};
    static inline std::atomic<NTSTATUS> failSystemPower_{STATUS_SUCCESS};
};

class LifecycleFixture : public ::testing::Test {
  protected:
    // withFilter: the recording filter sits below the function device.
    void Build(bool withFilter) {
        device_ = std::make_unique<sim::VirtualQ407>();
        if (withFilter) {
            ASSERT_EQ(sim::LoadDriver(L"Q407Rec", RecordingFilter::Entry, &filterDriver_),
                      STATUS_SUCCESS);
            filter_ = RecordingFilter::Attach(filterDriver_, device_->Pdo());
            ASSERT_NE(filter_, nullptr);
        }
        ASSERT_EQ(sim::LoadDriver(L"Q407DRV", Q407DriverEntry, &driver_), STATUS_SUCCESS);
        ASSERT_EQ(sim::CallAddDevice(driver_, device_->Pdo()), STATUS_SUCCESS);
        fdo_ = sim::TopOfStack(device_->Pdo());
        ASSERT_EQ(fdo_->DriverObject, driver_);
    }

    void SetUp() override { Build(false); }

    // Removes the device if a test has not, unloads the drivers; nothing may stay in pool.
    void TearDown() override {
        if (fdo_ != nullptr && !removed_) {
            Pnp(IRP_MN_SURPRISE_REMOVAL);
            Pnp(IRP_MN_REMOVE_DEVICE);
        }
        if (filter_ != nullptr) {
            IoDetachDevice(device_->Pdo());
            IoDeleteDevice(filter_);
        }
        if (driver_ != nullptr) {
            EXPECT_EQ(sim::UnloadDriver(L"Q407DRV"), STATUS_SUCCESS);
        }
        if (filterDriver_ != nullptr) {
            EXPECT_EQ(sim::UnloadDriver(L"Q407Rec"), STATUS_SUCCESS);
        }
        device_.reset();
        EXPECT_EQ(sim::Pool::LeakReport(), "");
    }

    DeviceExtension* Ext() const { return ExtensionOf(fdo_); }
    PDEVICE_OBJECT Child() const { return Ext()->childCount > 0 ? Ext()->children[0] : nullptr; }

    // A Plug and Play request to the top of the function device's stack, preset as the system
    // presets it.
    NTSTATUS Pnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill = nullptr,
                 ULONG_PTR* information = nullptr) {
        const NTSTATUS status = sim::SendSystemRequest(device_->Pdo(), IRP_MJ_PNP, minor, fill,
                                                       STATUS_NOT_SUPPORTED, information);
        if (minor == IRP_MN_REMOVE_DEVICE) removed_ = true;
        return status;
    }
    NTSTATUS ChildPnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill = nullptr,
                      ULONG_PTR* information = nullptr, NTSTATUS preset = STATUS_NOT_SUPPORTED) {
        return sim::SendSystemRequest(Child(), IRP_MJ_PNP, minor, fill, preset, information);
    }
    static NTSTATUS PowerTo(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                            ULONG state) {
        return sim::SendSystemRequest(
            device, IRP_MJ_POWER, minor,
            [&](PIO_STACK_LOCATION stack) {
                stack->Parameters.Power.Type = type;
                if (type == SystemPowerState)
                    stack->Parameters.Power.State.SystemState = SYSTEM_POWER_STATE(state);
                else
                    stack->Parameters.Power.State.DeviceState = DEVICE_POWER_STATE(state);
            },
            STATUS_NOT_SUPPORTED);
    }
    NTSTATUS Start() { return Pnp(IRP_MN_START_DEVICE); }
    LONG State() const { return Ext()->pnpState; }

    sim::Machine machine_;
    std::unique_ptr<sim::VirtualQ407> device_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDRIVER_OBJECT filterDriver_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    bool removed_ = false;
};

inline constexpr LONG StateValue(PnpState state) {
    return static_cast<LONG>(state);
}

}  // namespace q407::testing
