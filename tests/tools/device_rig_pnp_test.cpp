// The whole machine through Plug and Play: Q407DRV on the virtual device, plugged, streaming,
// pulled out, plugged in again, put to sleep and woken, with a panel process holding the device
// the way the control panel does. Virtual time throughout.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/control_message.h"
#include "shared/device_interface.h"
#include "sim/device/usb_bus.h"
#include "sim/host/device_interfaces.h"
#include "sim/host/io_manager.h"
#include "sim/host/pnp_manager.h"
#include "sim/host/pool.h"
#include "sim/host/power_manager.h"
#include "sim/host/process.h"
#include "sim/host/registry_store.h"
#include "sim/host/verifier.h"
#include "tools/device_client.h"
#include "tools/device_rig.h"
#include "usbdriver/control/device_facade.h"

namespace q407::testing {
namespace {

const wchar_t kSettingsValue[] = L"MixerQ40714";
constexpr sim::ClockTicks kTenMs = 10 * sim::kTicksPerMillisecond;

// The panel's hold on the device: a handle, and its removal event registered with the driver.
struct Panel {
    explicit Panel(tools::DeviceRig& rig) : process("panel") {
        const auto links = sim::EnabledDeviceInterfaces(tools::Q407InterfaceClass());
        if (links.empty()) return;
        if (process.OpenDevice(links.front(), &device) != STATUS_SUCCESS) return;
        removal = process.CreateEvent(true, false);
        ControlMessage set = MakeControlMessage(SettingsAndPanelType::SetRemovalEvent);
        SetU64(set, cm::kRemovalEventHandle, reinterpret_cast<uint64_t>(removal));
        registered = Send(&set) == STATUS_SUCCESS;
        (void)rig;
    }
    NTSTATUS Send(ControlMessage* m) {
        ULONG returned = 0;
        return process.DeviceIoControl(device, IOCTL_Q407_CONTROL_MESSAGE, m, kControlMessageSize,
                                       m, kControlMessageSize, &returned);
    }
    NTSTATUS ReadStatus() {
        ControlMessage m = MakeControlMessage(DeviceServicesType::ReadDeviceStatus);
        return Send(&m);
    }
    bool RemovalSignalled() { return process.WaitForAny({removal}, 0) == STATUS_WAIT_0; }

    sim::Process process;
    HANDLE device = nullptr;
    HANDLE removal = nullptr;
    bool registered = false;
};

std::wstring SettingsKey(tools::DeviceRig& rig) {
    return sim::DeviceRegistryKeyPath(rig.VirtualDevice().Pdo(),
                                      PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
}

uint64_t PlaybackCompletions(tools::DeviceRig& rig) {
    DeviceFacade* facade = rig.Facade();
    return facade != nullptr ? facade->engine->m_Counters.playbackCompletions : 0;
}

// Only what the machine itself keeps for its processes and devices may stay: every driver tag
// must be gone.
std::string DriverPoolLeft() {
    std::string left;
    for (const sim::PoolTagUsage& u : sim::Pool::Outstanding()) {
        const std::string tag = sim::TagText(u.tag);
        if (tag.rfind("Zel", 0) == 0 || tag == "None" || tag == "Mdl " || tag == "Irp " ||
            tag == "IoSb")
            left += tag + " ";
    }
    return left;
}

}  // namespace

// Each cycle: plug, stream, a panel holds the device, the device is pulled out mid-stream. The
// panel is told (its removal event), its requests are refused as the device goes, the engine
// saves its settings, and once the panel lets go the tree is removed with nothing left; the
// device is plugged in again for the next cycle.
TEST(DeviceRigPnp, SurpriseRemovalMidStreamHundredTimes) {
    tools::DeviceRig rig;
    std::string error;
    ASSERT_TRUE(tools::StartDeviceWithSettings(rig, DefaultMixerSettings(), &error)) << error;
    for (int cycle = 0; cycle < 100; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_TRUE(rig.Started());
        rig.RunFor(kTenMs);
        const uint64_t before = PlaybackCompletions(rig);
        rig.RunFor(kTenMs);
        ASSERT_GT(PlaybackCompletions(rig), before);  // streaming
        Panel panel(rig);
        ASSERT_TRUE(panel.registered);
        ASSERT_EQ(panel.ReadStatus(), STATUS_SUCCESS);
        ASSERT_TRUE(sim::RegistryStore::Instance().DeleteValue(SettingsKey(rig), kSettingsValue));

        rig.Unplug();
        EXPECT_TRUE(panel.RemovalSignalled());
        EXPECT_EQ(panel.ReadStatus(), STATUS_DELETE_PENDING);
        auto saved = sim::RegistryStore::Instance().QueryValue(SettingsKey(rig), kSettingsValue);
        ASSERT_TRUE(saved.has_value());
        EXPECT_EQ(saved->data.size(), sizeof(MixerSettings));
        EXPECT_EQ(rig.Pnp().StateOf(rig.VirtualDevice().Pdo()),
                  sim::DeviceNodeState::SurpriseRemoved);
        // The old instance stays until the panel lets go; only then can the device come back.
        EXPECT_EQ(rig.Replug(), STATUS_DELETE_PENDING);

        panel.process.End();
        rig.FinishRemove();
        EXPECT_TRUE(rig.Removed());
        EXPECT_EQ(DriverPoolLeft(), "");
        EXPECT_EQ(sim::FindDriver(L"Q407DRV"), nullptr);
        ASSERT_EQ(rig.Replug(), STATUS_SUCCESS);
    }
}

TEST(DeviceRigPnp, UnplugAndReplugWithAClientHoldingAHandle) {
    tools::DeviceRig rig;
    std::string error;
    ASSERT_TRUE(tools::StartDeviceWithSettings(rig, DefaultMixerSettings(), &error)) << error;
    Panel panel(rig);
    ASSERT_TRUE(panel.registered);
    rig.Unplug();
    // Every later request on the old handle is refused as the device is being removed.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(panel.ReadStatus(), STATUS_DELETE_PENDING);
        rig.RunFor(kTenMs);
    }
    EXPECT_EQ(rig.Facade(), nullptr);
    EXPECT_EQ(rig.Replug(), STATUS_DELETE_PENDING);
    EXPECT_EQ(panel.process.Close(panel.device), STATUS_SUCCESS);
    rig.FinishRemove();
    ASSERT_EQ(rig.Replug(), STATUS_SUCCESS);
    ASSERT_TRUE(rig.Started());
    // The same process finds and opens the new instance and is served.
    const auto links = sim::EnabledDeviceInterfaces(tools::Q407InterfaceClass());
    ASSERT_EQ(links.size(), 1u);
    ASSERT_EQ(panel.process.OpenDevice(links.front(), &panel.device), STATUS_SUCCESS);
    EXPECT_EQ(panel.ReadStatus(), STATUS_SUCCESS);
    const uint64_t before = PlaybackCompletions(rig);
    rig.RunFor(kTenMs);
    EXPECT_GT(PlaybackCompletions(rig), before);
}

TEST(DeviceRigPnp, SleepAndWakeWhileStreaming) {
    tools::DeviceRig rig;
    std::string error;
    ASSERT_TRUE(tools::StartDeviceWithSettings(rig, DefaultMixerSettings(), &error)) << error;
    rig.RunFor(kTenMs);
    PDEVICE_OBJECT fdo = rig.FunctionalDevice();
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(sim::DeclaredDevicePowerState(fdo), PowerDeviceD0);
    rig.Pnp().ClearHistory();

    ASSERT_EQ(rig.Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(sim::DeclaredDevicePowerState(fdo), PowerDeviceD3);
    std::vector<std::string> requests;
    for (const auto& r : rig.Pnp().History()) requests.push_back(sim::PnpRequestName(r));
    // The child has no driver here: only the device's stack is asked, then told.
    EXPECT_EQ(requests, (std::vector<std::string>{"query-power S3", "set-power S3"}));
    for (const auto& r : rig.Pnp().History()) EXPECT_EQ(r.status, STATUS_SUCCESS);
    rig.RunFor(kTenMs);

    ASSERT_EQ(rig.Wake(), STATUS_SUCCESS);
    EXPECT_EQ(sim::DeclaredDevicePowerState(fdo), PowerDeviceD0);
    EXPECT_TRUE(rig.Started());
    const uint64_t before = PlaybackCompletions(rig);
    const sim::DeviceCounters device = rig.Device().Counters();
    rig.RunFor(5 * kTenMs);
    EXPECT_GT(PlaybackCompletions(rig), before);  // streaming resumed
    EXPECT_GT(rig.Device().Counters().playbackUnits, device.playbackUnits);
    Panel panel(rig);
    EXPECT_EQ(panel.ReadStatus(), STATUS_SUCCESS);
}

TEST(DeviceRigPnp, OrderlyRemovalLeavesNothingAndTheDriverUnloads) {
    tools::DeviceRig rig;
    std::string error;
    ASSERT_TRUE(tools::StartDeviceWithSettings(rig, DefaultMixerSettings(), &error)) << error;
    PDEVICE_OBJECT child = rig.ChildDevice();
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(rig.Pnp().InstancePathOf(child).rfind(L"ZEL\\Q407_01\\", 0), 0u);
    rig.RunFor(kTenMs);
    EXPECT_EQ(rig.Remove(), STATUS_SUCCESS);
    EXPECT_TRUE(rig.Removed());
    EXPECT_EQ(rig.Facade(), nullptr);
    EXPECT_EQ(sim::FindDriver(L"Q407DRV"), nullptr);
    EXPECT_EQ(DriverPoolLeft(), "");
    EXPECT_TRUE(sim::EnabledDeviceInterfaces(tools::Q407InterfaceClass()).empty());
    // Plugged again without being pulled out: the same device starts anew.
    EXPECT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(rig.Started());
}

}  // namespace q407::testing
