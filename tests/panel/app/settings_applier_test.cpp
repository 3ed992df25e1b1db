// The settings operations against a virtual device: what reaches the codec registers and the
// engine, what is stored and saved, and what the window shows; and without a device, that
// nothing but the window changes.
#include <optional>

#include "panel_device_fixture.h"
#include "sim/host/trace_log.h"

// After the emulated kernel's declarations, whose names would otherwise shadow the Win32 ones.
#include "recording_panel_view.h"

namespace q407::panel {
namespace {

constexpr uint8_t kLevelRegisters[8] = {4, 5, 6, 7, 8, 9, 11, 12};

// A consistent record: balanced pairs, volumes 100, nothing muted, consumer format, internal
// clock, the device's own rate, latency and buffers.
PanelConfig Settled() {
    PanelConfig c;
    makeDefaultConfig(&c, nullptr);
    for (auto& v : c.volume) v = 100;
    c.latency = 256;
    return c;
}

class ApplierDeviceTest : public PanelDeviceTest {
  protected:
    void SetUp() override {
        PanelDeviceTest::SetUp();
        if (HasFatalFailure()) return;
        scope_.emplace(panel_);
        ASSERT_TRUE(device_.open());
        s_.device = &device_;
        s_.port.setSink(&SendCodecBytesToDevice, &device_);
    }
    void TearDown() override {
        s_.port.setSink(nullptr, nullptr);
        s_.device = nullptr;
        device_.closeAll();
        scope_.reset();
        PanelDeviceTest::TearDown();
    }

    // Codec writes from now on, once the device has taken them.
    std::vector<sim::CodecWriteRecord> NewWrites() {
        rig_.RunForSeconds(0.1);
        auto all = rig_.Device().CodecWrites();
        std::vector<sim::CodecWriteRecord> out(all.begin() + static_cast<ptrdiff_t>(seen_),
                                               all.end());
        seen_ = all.size();
        return out;
    }
    uint8_t Level(int output) {
        return rig_.Device().CodecRegister(sim::CodecChip::B, kLevelRegisters[output]);
    }
    MixerSettings DeviceBlock() {
        MixerSettings block{};
        EXPECT_TRUE(device_.readSettings(&block));
        return block;
    }
    // Current as the device holds it after Settled() has been applied once.
    void Settle() {
        s_.current = Settled();
        s_.current.sampleRate = 44100;
        for (uint32_t i = 0; i < 8; ++i) ASSERT_TRUE(s_.port.setOutVolume(i, 100));
        ASSERT_TRUE(s_.port.setDigitalFormat(0));
        (void)NewWrites();
        s_.view.log.clear();
    }

    std::optional<sim::Process::Scope> scope_;
    USBDevice device_;
    PanelState s_;
    size_t seen_ = 0;
};

TEST_F(ApplierDeviceTest, PairSwitchedToUnbalancedWritesOnlyItsTwoOutputs) {
    Settle();
    s_.current.volume[3] = 5;
    s_.applier.levelButtonClicked(kLevelButtonFirst + 3);  // pair 1 unbalanced

    const auto writes = NewWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].word.address, kLevelRegisters[2]);
    EXPECT_EQ(writes[1].word.address, kLevelRegisters[3]);
    EXPECT_EQ(Level(2), 0x80 | 90);
    EXPECT_EQ(Level(3), 0x80 | 0);
    EXPECT_EQ(Level(1), 0x80 | 100);
    EXPECT_EQ(s_.current.levelMode[1], 1);
    EXPECT_EQ(s_.view.levelUnbalanced[1], 1);
    EXPECT_EQ(s_.view.levelUnbalanced[0], 0);
    EXPECT_EQ(s_.view.saves, 1);
    EXPECT_TRUE(s_.view.errors.empty());
    EXPECT_EQ(s_.profile.Stored<PanelConfig>(kConfigEntry).levelMode[1], 1);

    // Back to balanced: both outputs at their own volumes again.
    s_.applier.levelButtonClicked(kLevelButtonFirst + 2);
    ASSERT_EQ(NewWrites().size(), 2u);
    EXPECT_EQ(Level(2), 0x80 | 100);
    EXPECT_EQ(Level(3), 0x80 | 5);
}

TEST_F(ApplierDeviceTest, BalancedMuteIsWrittenAfterTheDelay) {
    Settle();
    PanelConfig wanted = s_.current;
    wanted.mute[4] = 1;
    s_.applier.applyOutputLevels(wanted, 10);

    ASSERT_EQ(NewWrites().size(), 1u);
    EXPECT_EQ(Level(4), 0x80);
    EXPECT_EQ(Level(5), 0x80 | 100);
    const std::vector<std::string> expected = {"wait 10", "save"};
    EXPECT_EQ(s_.view.log, expected);
    EXPECT_EQ(s_.current.mute[4], 1);

    // Unbalanced outputs write without waiting.
    wanted = s_.current;
    wanted.levelMode[3] = 1;
    s_.applier.applyOutputLevels(wanted, 10);
    EXPECT_EQ(NewWrites().size(), 2u);
    EXPECT_EQ(s_.view.waitedMs, 10u);
    EXPECT_EQ(Level(6), 0x80 | 90);
}

TEST_F(ApplierDeviceTest, AVolumeAboveTheRangeIsReportedAndStillStored) {
    Settle();
    PanelConfig wanted = s_.current;
    wanted.volume[0] = 135;  // balanced, mode unchanged
    s_.applier.applyOutputLevels(wanted, 0);
    ASSERT_EQ(s_.view.errors.size(), 1u);
    EXPECT_EQ(s_.view.errors[0], "Function errorQ407Controller::setOutVolume()");
    EXPECT_EQ(s_.current.volume[0], 135);

    // The same volume on a pair just switched to balanced: the other text.
    s_.current.levelMode[0] = 1;
    s_.current.volume[0] = 100;
    s_.applier.applyOutputLevels(wanted, 0);
    ASSERT_EQ(s_.view.errors.size(), 2u);
    EXPECT_EQ(s_.view.errors[1], "Function error Q407Controller::setOutVolume()");
    // Output 1 went out (pair 0 changed mode); output 0 never reached the device.
    EXPECT_EQ(NewWrites().size(), 1u);
    EXPECT_EQ(Level(0), 0x80 | 100);
}

TEST_F(ApplierDeviceTest, DigitalSettingsReachTheDeviceAndTheButtons) {
    Settle();
    s_.applier.digitalFormatClicked(kProfessionalButton);
    ASSERT_EQ(NewWrites().size(), 1u);
    EXPECT_EQ(rig_.Device().CodecRegister(sim::CodecChip::A, 13), 1);
    EXPECT_EQ(s_.current.digitalFormat, 1);
    EXPECT_EQ(s_.view.formatProfessional, 1);
    EXPECT_EQ(s_.view.saves, 1);

    PanelConfig wanted = s_.current;
    wanted.autoClock = 1;
    wanted.spdifInput = 1;
    s_.applier.applyDigitalSettings(wanted);
    MixerSettings block = DeviceBlock();
    EXPECT_EQ(block.autoClock, 1);
    EXPECT_EQ(block.spdifInput, 1);
    EXPECT_EQ(NewWrites().size(), 0u);  // the format did not change
    EXPECT_EQ(s_.view.saves, 2);

    // Nothing differs: nothing is sent and nothing saved, but the window is refreshed.
    s_.view.log.clear();
    s_.applier.applyDigitalSettings(wanted);
    EXPECT_EQ(s_.view.saves, 0 + 2);
    EXPECT_EQ(s_.view.Count("pages"), 1u);
    EXPECT_EQ(s_.view.rateLabel, "44100 Hz");
}

TEST_F(ApplierDeviceTest, RefreshChecksTheDevicesRateLatencyAndBuffers) {
    ASSERT_TRUE(device_.setConfiguration(48000));
    ASSERT_TRUE(device_.setLatency(128, 1));
    ASSERT_TRUE(device_.setUsbBuffer(3));
    s_.current.sampleRate = 44100;
    PanelConfig passed = Settled();
    s_.applier.refreshFromDevice(passed);
    EXPECT_EQ(s_.view.rateLabel, "48000 Hz");
    EXPECT_EQ(s_.view.Checked(), (std::vector<unsigned>{32777, 32782, 32791}));
    EXPECT_EQ(s_.current.sampleRate, 48000);
    EXPECT_EQ(s_.current.latency, 128);
    EXPECT_EQ(s_.current.usbBufferCount, 3);
    EXPECT_EQ(s_.view.saves, 1);  // the rate changed
    // Every item of the three menus was set one way or the other.
    EXPECT_EQ(s_.view.checks.size(), 16u);

    s_.applier.refreshFromDevice(passed);
    EXPECT_EQ(s_.view.saves, 1);
}

TEST_F(ApplierDeviceTest, RefreshWithoutAnAnswerKeepsTheLatencyAndChecksThePassedOne) {
    s_.current.latency = 1024;
    device_.closeAll();  // attached, but every request fails
    PanelConfig passed = Settled();
    passed.latency = 64;
    passed.sampleRate = 88200;
    s_.applier.refreshFromDevice(passed);
    EXPECT_EQ(s_.current.latency, 1024);
    EXPECT_EQ(s_.current.sampleRate, 88200);
    EXPECT_EQ(s_.current.usbBufferCount, kFallbackUsbBufferCount);
    EXPECT_EQ(s_.view.Checked(), (std::vector<unsigned>{32778, 32781, 32793}));
    EXPECT_EQ(s_.view.rateLabel, "88200 Hz");

    // Every failure below is shown, and the values are stored as if sent.
    s_.current.sampleRate = 44100;
    s_.applier.applySampleRate(passed);
    passed.digitalFormat = 1;
    s_.applier.applyDigitalSettings(passed);
    const std::vector<std::string> expected = {"Function error USBDevice::setConfiguration()",
                                               "Function errorQ407Controller::setDigitalFormat()"};
    EXPECT_EQ(s_.view.errors, expected);
    EXPECT_EQ(s_.current.sampleRate, 88200);
    EXPECT_EQ(s_.current.digitalFormat, 1);
}

TEST_F(ApplierDeviceTest, FactoryDefaultRestoresTheDevice) {
    ASSERT_TRUE(device_.setConfiguration(96000));
    ASSERT_TRUE(device_.setLatency(128, 1));
    ASSERT_TRUE(device_.setUsbBuffer(3));
    ASSERT_TRUE(device_.setDigitalOptions(0x81));
    MixerSettings block = DeviceBlock();
    for (int i = 0; i < 8; ++i) block.outputMap.entries[i] = 7 - i;
    block.routeTable.records[3].routeOut = 1;
    ASSERT_TRUE(device_.writeSettings(&block));
    for (uint32_t i = 0; i < 8; ++i) ASSERT_TRUE(s_.port.setOutVolume(i, 20));
    ASSERT_TRUE(s_.port.setDigitalFormat(1));
    (void)NewWrites();

    s_.applier.factoryDefault();

    uint32_t rate = 0;
    ASSERT_TRUE(device_.readRate(&rate));
    EXPECT_EQ(rate, 44100u);
    EXPECT_EQ(device_.getLatency(), 512u);
    EXPECT_EQ(device_.readUsbBuffer(), 4);
    const auto writes = NewWrites();
    EXPECT_EQ(writes.size(), 9u);  // eight levels and the format
    for (int i = 0; i < 8; ++i) EXPECT_EQ(Level(i), 0x80 | 127) << i;
    EXPECT_EQ(rig_.Device().CodecRegister(sim::CodecChip::A, 13), 0);
    block = DeviceBlock();
    EXPECT_EQ(block.autoClock, 0);
    EXPECT_EQ(block.spdifInput, 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(block.outputMap.entries[i], i);
    EXPECT_EQ(block.routeTable.records[3].routeOut, 0);
    EXPECT_EQ(std::memcmp(&block.routeTable, &s_.copy.routeTable, sizeof(RouteTable)), 0);
    EXPECT_EQ(s_.view.waitedMs, 80u);  // 10 ms per balanced output
    EXPECT_EQ(s_.view.routingHidden, 1);
    EXPECT_TRUE(s_.view.errors.empty());
    EXPECT_EQ(s_.current.latency, 512);
    EXPECT_EQ(s_.current.sampleRate, 44100);
    // The buffers are set after the refresh that checks the menu: the menu shows the old
    // count until the next refresh.
    EXPECT_EQ(s_.view.Checked(), (std::vector<unsigned>{32776, 32784, 32791}));
    s_.applier.refreshFromDevice(s_.current);
    EXPECT_EQ(s_.view.Checked(), (std::vector<unsigned>{32776, 32784, 32792}));
    EXPECT_EQ(s_.view.pagesConfig.volume[0], 127);
}

TEST_F(ApplierDeviceTest, RoutingTablesGoIntoTheDevicesBlock) {
    sim::TraceLog::Instance().Clear();
    for (int i = 0; i < 8; ++i) s_.copy.outputMap.entries[i] = i;
    s_.copy.outputMap.entries[5] = 9;
    s_.copy.outputMap.entries[6] = 8;
    s_.copy.outputMap.entries[0] = 3;
    s_.copy.outputMap.entries[1] = -1;
    s_.applier.sendOutputMap();
    EXPECT_EQ(s_.copy.outputMap.entries[5], 5);
    EXPECT_EQ(s_.copy.outputMap.entries[6], 8);
    EXPECT_EQ(s_.copy.outputMap.entries[1], 1);
    MixerSettings block = DeviceBlock();
    EXPECT_EQ(block.outputMap.entries[0], 3);
    EXPECT_EQ(block.outputMap.entries[5], 5);
    EXPECT_EQ(block.sampleRate, 44100);  // the rest of the block is the device's own
    EXPECT_TRUE(sim::TraceLog::Instance().Contains("SendOutputRoutingToDriver\n"));

    // The device's map comes back into the copy.
    s_.copy.outputMap.entries[0] = 0;
    s_.applier.loadOutputMap();
    EXPECT_EQ(s_.copy.outputMap.entries[0], 3);

    s_.copy = block;
    s_.copy.routeTable.records[10].targetKind = 1;
    s_.copy.outputMap.entries[0] = 0;  // not sent with the route table
    s_.applier.sendRouteTable();
    block = DeviceBlock();
    EXPECT_EQ(block.routeTable.records[10].targetKind, 1);
    EXPECT_EQ(block.outputMap.entries[0], 3);
    EXPECT_TRUE(sim::TraceLog::Instance().Contains("SendFlexPathToDriver\n"));
}

// Without a device only the window changes.
TEST(SettingsApplierTest, WithoutADeviceOnlyTheButtonsChange) {
    PanelState s;
    s.current = Settled();
    const PanelConfig before = s.current;

    s.applier.levelButtonClicked(kLevelButtonFirst + 5);
    s.applier.digitalFormatClicked(kProfessionalButton);
    PanelConfig wanted = before;
    wanted.volume[0] = 3;
    wanted.sampleRate = 96000;
    s.applier.applyOutputLevels(wanted, 10);
    s.applier.applySampleRate(wanted);
    s.applier.sendOutputMap();
    s.applier.sendRouteTable();
    s.applier.loadOutputMap();
    s.applier.factoryDefault();
    // Not buttons: ignored.
    s.applier.levelButtonClicked(kLevelButtonLast + 1);
    s.applier.digitalFormatClicked(kConsumerButton + 1);

    EXPECT_EQ(std::memcmp(&before, &s.current, sizeof before), 0);
    EXPECT_EQ(s.profile.writes, 0);
    const std::vector<std::string> expected = {"level 2 unbal", "format pro", "hide routing"};
    EXPECT_EQ(s.view.log, expected);

    s.applier.refreshFromDevice(wanted);
    EXPECT_EQ(s.view.rateLabel, "KHz");
    EXPECT_TRUE(s.view.Checked().empty());
    EXPECT_EQ(s.view.checks.size(), 16u);
    EXPECT_EQ(s.view.saves, 0);
}

TEST(SettingsApplierTest, ShowSettingsPressesOneButtonOfEachGroup) {
    PanelState s;
    PanelConfig c = Settled();
    c.digitalFormat = 1;
    c.levelMode[2] = 1;
    c.levelMode[3] = 7;  // not unbalanced: shown balanced
    s.applier.showSettings(c);
    EXPECT_EQ(s.view.formatProfessional, 1);
    EXPECT_EQ(s.view.levelUnbalanced[0], 0);
    EXPECT_EQ(s.view.levelUnbalanced[2], 1);
    EXPECT_EQ(s.view.levelUnbalanced[3], 0);
    EXPECT_EQ(s.view.pagesConfig.levelMode[2], 1);
}

}  // namespace
}  // namespace q407::panel
