// The main window meeting and losing the device: what attach loads, sends and shows, what
// detach saves and forgets, and the events that must do nothing.
#include <algorithm>
#include <optional>
#include <string>

#include "panel_device_fixture.h"
#include "tools/wave_streams.h"
#include "tools/wdm_machine.h"

// After the emulated kernel's declarations, whose names would otherwise shadow the Win32 ones.
#include "recording_panel_view.h"

namespace q407::panel {
namespace {

constexpr char kAttaching[] = "ZEL Q407 LX Control Panel - Ver 1.4 -  No Device";
constexpr char kAttached[] = "ZEL Q407 LX Control Panel - Ver 1.4";
constexpr char kRemoved[] = "ZEL Q407 LX Control Panel - Ver 1.4 - No Device";

PanelConfig Saved() {
    PanelConfig c;
    makeDefaultConfig(&c, nullptr);
    c.volume[0] = 90;
    c.volume[5] = 60;
    c.mute[7] = 1;
    c.levelMode[2] = 1;
    c.digitalFormat = 1;
    c.autoClock = 1;
    c.spdifInput = 1;
    c.latency = 256;
    c.usbBufferCount = 3;
    return c;
}

// The watcher's object: one reference of its own, as the device watcher keeps it.
struct WatchedDevice {
    WatchedDevice() : device(new USBDevice) { device->addRef(); }
    ~WatchedDevice() {
        device->closeAll();
        (void)device->release();
    }
    USBDevice* device;
};

class AttachmentTest : public PanelDeviceTest {
  protected:
    void SetUp() override {
        PanelDeviceTest::SetUp();
        if (HasFatalFailure()) return;
        scope_.emplace(panel_);
        watched_.emplace();
    }
    void TearDown() override {
        attachment_.onDeviceEvent(nullptr, kDeviceRemoved);
        watched_.reset();
        scope_.reset();
        PanelDeviceTest::TearDown();
    }
    USBDevice* Device() { return watched_->device; }
    MixerSettings DeviceBlock() {
        MixerSettings block{};
        USBDevice reader;
        EXPECT_TRUE(reader.open());
        EXPECT_TRUE(reader.readSettings(&block));
        reader.closeAll();
        return block;
    }
    uint8_t Level(uint8_t reg) {
        rig_.RunForSeconds(0.1);
        return rig_.Device().CodecRegister(sim::CodecChip::B, reg);
    }

    std::optional<sim::Process::Scope> scope_;
    std::optional<WatchedDevice> watched_;
    PanelState s_;
    DeviceAttachment attachment_{s_.Attachment()};
};

TEST_F(AttachmentTest, AttachCarriesTheSavedSettingsToTheDevice) {
    MixerSettings savedBlock = DefaultMixerSettings();
    savedBlock.outputMap.entries[0] = 4;
    s_.profile.Store(kConfigEntry, Saved());
    s_.profile.Store(kMixerEntry, savedBlock);

    attachment_.onDeviceEvent(Device(), kDeviceArrived);

    ASSERT_EQ(s_.device, Device());
    EXPECT_EQ(Device()->refCount(), 2);
    ASSERT_GE(s_.view.titles.size(), 2u);
    EXPECT_EQ(s_.view.titles.front(), kAttaching);
    EXPECT_EQ(s_.view.titles.back(), kAttached);
    EXPECT_NE(s_.statusRecord, nullptr);
    EXPECT_EQ(s_.view.timersStarted, 1);
    EXPECT_TRUE(s_.view.buttonsVisible);
    EXPECT_EQ(s_.view.pagesShown, 1);
    EXPECT_EQ(s_.view.pagesDevice, Device());
    EXPECT_EQ(s_.view.log.back(), "start timers");

    // The device took the saved levels, format, options and latency.
    EXPECT_EQ(Level(4), 0x80 | 90);
    EXPECT_EQ(Level(8), 0x80 | 117);  // pair 2 unbalanced: ten steps down
    EXPECT_EQ(Level(9), 0x80 | 50);
    EXPECT_EQ(Level(12), 0x80);  // muted
    EXPECT_EQ(rig_.Device().CodecRegister(sim::CodecChip::A, 13), 1);
    EXPECT_EQ(Device()->getLatency(), 256u);
    const MixerSettings block = DeviceBlock();
    EXPECT_EQ(block.autoClock, 1);
    EXPECT_EQ(block.spdifInput, 1);
    EXPECT_EQ(std::memcmp(&block, &s_.copy, sizeof block), 0);
    // The saved path applies no rate: the device keeps its own and the record follows it.
    EXPECT_EQ(s_.current.sampleRate, 44100);
    EXPECT_EQ(s_.current.latency, 256);
    EXPECT_EQ(s_.current.volume[0], 90);
    EXPECT_EQ(s_.view.formatProfessional, 1);
    EXPECT_EQ(s_.view.levelUnbalanced[2], 1);
    EXPECT_EQ(s_.view.Checked(), (std::vector<unsigned>{32776, 32783, 32792}));
    EXPECT_TRUE(s_.view.errors.empty());
    EXPECT_EQ(s_.view.Count("hide routing"), 0u);

    // A second arrival while attached does nothing.
    const size_t logged = s_.view.log.size();
    attachment_.onDeviceEvent(Device(), kDeviceArrived);
    EXPECT_EQ(s_.view.log.size(), logged);
    EXPECT_EQ(Device()->refCount(), 2);
    // Neither does an arrival of nothing, nor the initial check beyond showing the pages.
    attachment_.onDeviceEvent(Device(), kDeviceInitialCheck);
    EXPECT_EQ(s_.view.log.back(), "show all 1");
}

TEST_F(AttachmentTest, AttachWithNothingSavedAppliesAndSavesTheDefaults) {
    ASSERT_TRUE(Device()->open());
    ASSERT_TRUE(Device()->setConfiguration(96000));
    ASSERT_TRUE(Device()->setLatency(128, 1));

    attachment_.attach(Device());

    // The first save comes before anything is sent, with the copy's routing reset.
    ASSERT_NE(std::find(s_.view.log.begin(), s_.view.log.end(), "save"), s_.view.log.end());
    const auto firstSave = std::find(s_.view.log.begin(), s_.view.log.end(), "save");
    EXPECT_EQ(std::count(s_.view.log.begin(), firstSave, "wait 10"), 0);
    EXPECT_EQ(s_.view.routingHidden, 1);
    uint32_t rate = 0;
    ASSERT_TRUE(Device()->readRate(&rate));
    EXPECT_EQ(rate, 44100u);
    EXPECT_EQ(Device()->getLatency(), 512u);
    EXPECT_EQ(Device()->readUsbBuffer(), 4);
    EXPECT_EQ(Level(4), 0x80 | 127);
    const PanelConfig stored = s_.profile.Stored<PanelConfig>(kConfigEntry);
    EXPECT_EQ(stored.sampleRate, 44100);
    EXPECT_EQ(stored.latency, 512);
    EXPECT_EQ(stored.volume[7], 127);
    const MixerSettings storedBlock = s_.profile.Stored<MixerSettings>(kMixerEntry);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(storedBlock.outputMap.entries[i], i);
    EXPECT_EQ(s_.view.titles.back(), kAttached);
}

TEST_F(AttachmentTest, DefaultRequestedIgnoresTheSavedSettings) {
    s_.profile.Store(kConfigEntry, Saved());
    s_.profile.Store(kMixerEntry, DefaultMixerSettings());
    DeviceAttachment requested(s_.Attachment(true));
    requested.attach(Device());
    EXPECT_EQ(Level(4), 0x80 | 127);
    EXPECT_EQ(rig_.Device().CodecRegister(sim::CodecChip::A, 13), 0);
    EXPECT_EQ(s_.view.routingHidden, 1);
    requested.detach(Device());
}

TEST_F(AttachmentTest, ARecordSavedWithoutADeviceMeansFactoryDefaults) {
    PanelConfig empty;
    fillInvalid(&empty);
    s_.profile.Store(kConfigEntry, empty);
    MixerSettings savedBlock = DefaultMixerSettings();
    savedBlock.outputMap.entries[2] = 6;
    s_.profile.Store(kMixerEntry, savedBlock);
    ASSERT_TRUE(Device()->open());
    ASSERT_TRUE(Device()->setConfiguration(88200));

    attachment_.attach(Device());

    EXPECT_EQ(s_.view.routingHidden, 1);
    uint32_t rate = 0;
    ASSERT_TRUE(Device()->readRate(&rate));
    EXPECT_EQ(rate, 44100u);
    EXPECT_EQ(Device()->getLatency(), 512u);
    EXPECT_EQ(DeviceBlock().outputMap.entries[2], 2);
    EXPECT_EQ(s_.current.sampleRate, 44100);
    EXPECT_EQ(s_.current.usbBufferCount, 4);
    EXPECT_EQ(s_.view.Checked(), (std::vector<unsigned>{32776, 32784, 32792}));
}

TEST_F(AttachmentTest, DetachSavesOnceAndForgetsTheRecord) {
    s_.profile.Store(kConfigEntry, Saved());
    s_.profile.Store(kMixerEntry, DefaultMixerSettings());
    attachment_.onDeviceEvent(Device(), kDeviceArrived);
    ASSERT_EQ(s_.device, Device());
    s_.view.log.clear();
    s_.view.saves = 0;

    // The watcher reports a removal twice.
    attachment_.onDeviceEvent(Device(), kDeviceRemoved);
    attachment_.onDeviceEvent(Device(), kDeviceRemoved);

    EXPECT_EQ(s_.view.saves, 1);
    EXPECT_EQ(s_.device, nullptr);
    EXPECT_EQ(Device()->refCount(), 1);
    EXPECT_EQ(Device()->count(), 0);
    EXPECT_EQ(s_.statusRecord, nullptr);
    EXPECT_EQ(s_.statusKey, 0u);
    EXPECT_EQ(s_.view.titles.back(), kRemoved);
    EXPECT_EQ(s_.view.meterTimerStopped, 1);
    EXPECT_FALSE(s_.view.buttonsVisible);
    EXPECT_EQ(s_.view.pagesShown, 0);
    PanelConfig empty;
    fillInvalid(&empty);
    EXPECT_EQ(std::memcmp(&s_.current, &empty, sizeof empty), 0);
    // What was saved is the record as it stood, not the forgotten one.
    const PanelConfig stored = s_.profile.Stored<PanelConfig>(kConfigEntry);
    EXPECT_EQ(stored.volume[0], 90);
    EXPECT_EQ(stored.digitalFormat, 1);
    // The port is detached: a level change reaches nothing.
    EXPECT_FALSE(s_.port.setOutVolume(0, 3));

    // Pulled out and plugged in again: the same object enumerates again and attaches with
    // the saved record.
    rig_.Unplug();
    ASSERT_EQ(rig_.Replug(), 0);
    const size_t writes = rig_.Device().CodecWrites().size();
    s_.view.titles.clear();
    attachment_.onDeviceEvent(Device(), kDeviceArrived);
    EXPECT_EQ(s_.device, Device());
    EXPECT_EQ(s_.view.titles.back(), kAttached);
    EXPECT_EQ(Level(4), 0x80 | 90);
    EXPECT_GT(rig_.Device().CodecWrites().size(), writes);
    EXPECT_EQ(Device()->getLatency(), 256u);
}

TEST_F(AttachmentTest, ADeviceThatDoesNotOpenStaysAttachedWithoutHandles) {
    USBDevice* other = new USBDevice;
    other->addRef();
    ASSERT_EQ(rig_.Stop(), 0);
    attachment_.attach(other);
    EXPECT_EQ(s_.device, other);
    EXPECT_EQ(s_.view.titles.back(), kAttaching);
    EXPECT_EQ(s_.view.timersStarted, 0);
    attachment_.detach(nullptr);
    EXPECT_EQ(s_.view.titles.back(), kRemoved);
    EXPECT_EQ(other->refCount(), 1);
    EXPECT_EQ(other->release(), 0);
    // Nothing was held, so nothing is saved.
    EXPECT_EQ(s_.view.saves, 0);
    // A detach of another device than the attached one does nothing: none is attached now.
    attachment_.detach(Device());
    EXPECT_EQ(s_.view.titles.back(), kRemoved);
}

// The saved latency cannot be set while another application records: the record follows what
// the device kept, and so does the menu.
TEST(AttachmentWdmTest, LatencyIsRefusedWhileAWdmRecordingRuns) {
    tools::WdmMachine machine;
    tools::WdmMachineOptions options;
    options.rate = 44100;
    std::string error;
    ASSERT_TRUE(machine.Boot(options, &error)) << error;
    tools::ClientScope scope(machine);

    tools::CaptureStream capture;
    ASSERT_EQ(capture.Open(L"ZEL_Wave1", tools::PinFormat(44100, 2, 16, false)), 0);
    ASSERT_EQ(capture.Start(), 0);
    machine.Advance(0.05);
    capture.Pump(1u << 20);

    WatchedDevice watched;
    ASSERT_TRUE(watched.device->open());
    const uint32_t before = watched.device->getLatency();
    ASSERT_NE(before, 1024u);
    EXPECT_FALSE(watched.device->setLatency(1024, 0));

    PanelState s;
    PanelConfig saved = Saved();
    saved.latency = 1024;
    s.profile.Store(kConfigEntry, saved);
    s.profile.Store(kMixerEntry, DefaultMixerSettings());
    DeviceAttachment attachment(s.Attachment());
    attachment.attach(watched.device);

    EXPECT_EQ(watched.device->getLatency(), before);
    EXPECT_EQ(s.current.latency, static_cast<int32_t>(before));
    for (const MenuCheckItem& item : kLatencyMenuItems)
        EXPECT_EQ(s.view.checks[item.command], item.value == static_cast<int32_t>(before))
            << item.value;
    EXPECT_TRUE(s.view.errors.empty());

    // Once the recording stops the saved latency goes through on the next attach.
    capture.Close();
    machine.Advance(0.05);
    attachment.detach(watched.device);
    // The removal saved the latency the device kept.
    EXPECT_EQ(s.profile.Stored<PanelConfig>(kConfigEntry).latency, static_cast<int32_t>(before));
    s.profile.Store(kConfigEntry, saved);
    attachment.attach(watched.device);
    EXPECT_EQ(watched.device->getLatency(), 1024u);
    EXPECT_EQ(s.view.checks[32785], true);
    attachment.detach(nullptr);
}

}  // namespace
}  // namespace q407::panel
