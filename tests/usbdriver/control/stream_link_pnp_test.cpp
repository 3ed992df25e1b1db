// The audio driver's stand-in loaded the way the system loads it: the Plug and Play manager finds
// Q407DRV for the virtual device and the stand-in for the child's hardware ID "ZEL\Q407_01".
// While it holds the link, removal is refused; unloading it gives the reference back. Pulled out
// mid-stream, everything goes and no pool is left.
#include <gtest/gtest.h>

#include <optional>

#include "sim/device/usb_bus.h"
#include "sim/host/io_manager.h"
#include "sim/host/machine.h"
#include "sim/host/pnp_manager.h"
#include "sim/host/pool.h"
#include "tests/support/link_test_driver.h"
#include "usbdriver/control/device_extension.h"
#include "usbdriver/control/emulated_dma_adapter.h"
#include "usbdriver/control/function_device.h"

namespace q407::testing {
namespace {

const wchar_t kDeviceHardwareId[] = L"USB\\VID_F407&PID_0001";
const wchar_t kChildHardwareId[] = L"ZEL\\Q407_01";

class StreamLinkPnpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pnp_.emplace();
        pnp_->RegisterDriver(kDeviceHardwareId, L"Q407DRV", Q407DriverEntry);
        pnp_->RegisterDriver(kChildHardwareId, kLinkTestServiceName, LinkTestDriverEntry);
        ASSERT_EQ(pnp_->Plug(device_.Pdo()), STATUS_SUCCESS);
        function_ = sim::TopOfStack(device_.Pdo());
        const auto children = pnp_->ChildrenOf(device_.Pdo());
        ASSERT_EQ(children.size(), 1u);
        child_ = children.front();
        ASSERT_EQ(pnp_->StateOf(child_), sim::DeviceNodeState::Started);
        ASSERT_EQ(pnp_->ServiceOf(child_), kLinkTestServiceName);
    }

    void TearDown() override {
        pnp_.reset();
        // The bus's own physical device goes with the virtual device, after this.
        EXPECT_EQ(sim::Pool::LeakReport({POOL_TAG("Zel2"), POOL_TAG("Zel3"), POOL_TAG("Zel5"),
                                         POOL_TAG("Zel6"), POOL_TAG("Zel9"), kCommonBufferPoolTag,
                                         kMapRegisterPoolTag, kLinkTestPoolTag, POOL_TAG("Irp ")}),
                  "");
    }

    LONG References() const {
        return InterlockedCompareExchange(&ExtensionOf(function_)->interfaceReferences, 0, 0);
    }
    void RunForSeconds(double seconds) {
        machine_.RunFor(static_cast<sim::ClockTicks>(seconds * double(sim::kTicksPerSecond)));
    }

    sim::Machine machine_;
    sim::VirtualQ407 device_;
    std::optional<sim::PnpManager> pnp_;
    PDEVICE_OBJECT function_ = nullptr;
    PDEVICE_OBJECT child_ = nullptr;
};

TEST_F(StreamLinkPnpTest, RemovalWaitsUntilTheAudioDriverGivesTheLinkBack) {
    LinkTestDevice* wdm = FindLinkTestDevice();
    ASSERT_NE(wdm, nullptr);
    ASSERT_EQ(wdm->queryStatus, STATUS_SUCCESS);
    EXPECT_EQ(References(), 1);
    EXPECT_EQ(wdm->link.deviceContext, ExtensionOf(function_)->facade);

    device_.Device().SetMidiLoopback(true);
    PrepareStreams(wdm);
    RunStreams(wdm);
    OpenMidi(wdm);
    RunForSeconds(0.1);
    EXPECT_GT(wdm->counters->outputPeriods.load(), 10u);
    EXPECT_GT(wdm->counters->inputPeriods.load(), 10u);
    EXPECT_EQ(SendMidi(wdm, {0xC0, 0x05}), 2u);
    RunForSeconds(0.05);
    EXPECT_EQ(ReadMidi(wdm), (std::vector<uint8_t>{0xC0, 0x05}));
    StopStreams(wdm);
    CloseMidi(wdm);

    // The reference vetoes removal and stopping of Q407DRV's device.
    EXPECT_EQ(pnp_->Remove(device_.Pdo()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pnp_->Stop(device_.Pdo()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pnp_->StateOf(device_.Pdo()), sim::DeviceNodeState::Started);
    EXPECT_EQ(References(), 1);

    // Unloading the audio driver removes its device, which gives the link back.
    EXPECT_EQ(pnp_->OnUnloadDriver(kLinkTestServiceName), STATUS_SUCCESS);
    EXPECT_EQ(References(), 0);
    EXPECT_EQ(sim::Pool::Usage(kCommonBufferPoolTag).allocations, 0u);
    EXPECT_EQ(sim::Pool::Usage(kLinkTestPoolTag).allocations, 0u);
    EXPECT_EQ(pnp_->Remove(device_.Pdo()), STATUS_SUCCESS);
}

TEST_F(StreamLinkPnpTest, PulledOutMidStreamTheAudioDriverIsToldAndNothingIsLeft) {
    LinkTestDevice* wdm = FindLinkTestDevice();
    ASSERT_NE(wdm, nullptr);
    PrepareStreams(wdm);
    RunStreams(wdm);
    OpenMidi(wdm);
    RunForSeconds(0.05);
    const uint64_t periods = wdm->counters->outputPeriods.load();
    EXPECT_GT(periods, 0u);
    LinkTestCounters* counters = wdm->counters;

    device_.Bus().Unplug();
    pnp_->ReportMissing(device_.Pdo());
    pnp_->WaitIdle();
    EXPECT_EQ(counters->removalNotices.load(), 1u);
    EXPECT_EQ(FindLinkTestDevice(), nullptr);
    RunForSeconds(0.05);
    EXPECT_EQ(counters->outputPeriods.load(), periods);
    EXPECT_EQ(sim::Pool::LeakReport({kCommonBufferPoolTag, kLinkTestPoolTag, POOL_TAG("Zel9"),
                                     POOL_TAG("Zel6"), POOL_TAG("Zel5")}),
              "");
}

}  // namespace
}  // namespace q407::testing
