// The panel's requests against the USB driver on a virtual device: enumeration and unit
// selection, the settings block, the status record's mapping, latency, buffer count and the
// version queries.
#include <cstring>

#include "panel_device_fixture.h"
#include "usbdriver/control/device_facade.h"

// After the emulated kernel's declarations, whose names would otherwise shadow the Win32 ones.
#include "panel/app/panel_config.h"
#include "panel/app/usb_device.h"

namespace q407::panel {
namespace {

using UsbDeviceTest = PanelDeviceTest;

TEST_F(UsbDeviceTest, OpensTheUnitAndClosesItAgain) {
    sim::Process::Scope scope(panel_);
    USBDevice device;
    EXPECT_EQ(device.count(), 0);
    EXPECT_FALSE(device.readRate(nullptr));  // nothing open: no request, no write through it
    ASSERT_TRUE(device.open());
    EXPECT_EQ(device.count(), 1);
    EXPECT_EQ(device.selected(), 0);
    // Open again with units kept: nothing more is opened.
    EXPECT_TRUE(device.open());
    EXPECT_EQ(device.count(), 1);
    device.closeAll();
    EXPECT_EQ(device.count(), 0);
    EXPECT_EQ(device.getLatency(), 0u);
    // After the device stopped its interface is gone: nothing opens.
    rig_.Stop();
    EXPECT_FALSE(device.open());
}

TEST_F(UsbDeviceTest, SettingsRateAndBufferCountRoundTrip) {
    sim::Process::Scope scope(panel_);
    USBDevice device;
    ASSERT_TRUE(device.open());
    MixerSettings block{};
    ASSERT_TRUE(device.readSettings(&block));
    EXPECT_EQ(block.sampleRate, 44100);
    EXPECT_EQ(block.usbBufferCount, 4);
    uint32_t rate = 0;
    ASSERT_TRUE(device.readRate(&rate));
    EXPECT_EQ(rate, 44100u);
    EXPECT_EQ(device.readUsbBuffer(), 4);

    uint32_t readBack = 0;
    EXPECT_TRUE(device.setConfiguration(48000, &readBack));
    EXPECT_EQ(readBack, 48000u);
    ASSERT_TRUE(device.readRate(&rate));
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ(rig_.Facade()->statusBlock->sampleRate, 48000u);

    EXPECT_TRUE(device.setUsbBuffer(2));
    EXPECT_EQ(device.readUsbBuffer(), 2);
    EXPECT_TRUE(device.setUsbBuffer(5));
    EXPECT_EQ(device.readUsbBuffer(), 5);
    // Out of range: refused and the block is unchanged.
    EXPECT_FALSE(device.setUsbBuffer(6));
    EXPECT_FALSE(device.setUsbBuffer(1));
    EXPECT_EQ(device.readUsbBuffer(), 5);
    EXPECT_TRUE(device.setUsbBuffer(3));

    // The whole block written is the one read back (the rate stays as set).
    ASSERT_TRUE(device.readSettings(&block));
    block.outputMap.entries[0] = 7;
    block.outputMap.entries[7] = 0;
    ASSERT_TRUE(device.writeSettings(&block));
    MixerSettings after{};
    ASSERT_TRUE(device.readSettings(&after));
    EXPECT_EQ(after.outputMap.entries[0], 7);
    EXPECT_EQ(after.outputMap.entries[7], 0);
    EXPECT_EQ(after.usbBufferCount, 3);
    device.closeAll();
}

TEST_F(UsbDeviceTest, VersionsOfDriverAndFirmware) {
    sim::Process::Scope scope(panel_);
    USBDevice device;
    ASSERT_TRUE(device.open());
    VersionInfo driver{};
    ASSERT_TRUE(device.getDriverVersion(&driver));
    EXPECT_EQ(driver.major, 1);
    EXPECT_EQ(driver.minor, 4);
    EXPECT_EQ(driver.kind, kVersionRelease);
    EXPECT_EQ(driver.build, 1);
    EXPECT_EQ(driver.letter, '0');
    EXPECT_STREQ(driver.text, "1.4");

    // The virtual device's information bytes begin 'B', 1, 3.
    VersionInfo firmware{};
    ASSERT_TRUE(device.getFirmwareVersion(&firmware));
    EXPECT_EQ(firmware.letter, 'B');
    EXPECT_EQ(firmware.major, 1);
    EXPECT_EQ(firmware.minor, 3);
    EXPECT_EQ(firmware.build, 9);
    EXPECT_STREQ(firmware.text, "1.3");
    EXPECT_STREQ(firmware.shortText, "1.3  (B)");

    // Without a device the firmware record still gets its texts; the driver's is left alone.
    device.closeAll();
    std::memset(&firmware, 0x11, sizeof(firmware));
    EXPECT_FALSE(device.getFirmwareVersion(&firmware));
    EXPECT_EQ(firmware.letter, '0');
    EXPECT_EQ(firmware.build, 9);
    EXPECT_STREQ(firmware.text, "0.0");
    EXPECT_STREQ(firmware.shortText, "0.0  (0)");
    std::memset(&driver, 0x11, sizeof(driver));
    EXPECT_FALSE(device.getDriverVersion(&driver));
    EXPECT_EQ(driver.major, 0x11111111);
}

TEST_F(UsbDeviceTest, DefaultConfigTakesTheVersionsFromAnOpenDevice) {
    sim::Process::Scope scope(panel_);
    USBDevice device;
    PanelConfig config;
    makeDefaultConfig(&config, &device);  // nothing open: versions stay zero
    EXPECT_EQ(config.driverVersion.text[0], '\0');
    ASSERT_TRUE(device.open());
    makeDefaultConfig(&config, &device);
    EXPECT_STREQ(config.driverVersion.text, "1.4");
    EXPECT_STREQ(config.firmwareVersion.shortText, "1.3  (B)");
    EXPECT_EQ(config.sampleRate, 44100);
    device.closeAll();
}

TEST_F(UsbDeviceTest, StatusRecordIsReadableAtTheFullReturnedAddressUntilUnmapped) {
    sim::Process::Scope scope(panel_);
    USBDevice device;
    ASSERT_TRUE(device.open());
    uint64_t key = 0;
    EngineStatus* record = nullptr;
    ASSERT_TRUE(device.mapPanelStatus(1, &key, &record));
    ASSERT_NE(record, nullptr);
    EXPECT_NE(key, 0u);
    // A view in this process, not the driver's record, with the driver's contents.
    EXPECT_NE(static_cast<void*>(record), static_cast<void*>(rig_.Facade()->statusBlock));
    EXPECT_EQ(record->sampleRate, 44100u);
    EXPECT_EQ(record->latency, rig_.Facade()->statusBlock->latency);
    // Views land far above 4 GiB here: a 32-bit copy of the address could not have been read.
    EXPECT_GT(reinterpret_cast<uintptr_t>(record), uintptr_t{0xFFFFFFFFu});
    uint32_t readBack = 0;
    ASSERT_TRUE(device.setConfiguration(96000, &readBack));
    EXPECT_EQ(record->sampleRate, 96000u);

    EXPECT_TRUE(device.mapPanelStatus(0, &key, &record));
    device.closeAll();
}

TEST_F(UsbDeviceTest, LatencySetAndRead) {
    sim::Process::Scope scope(panel_);
    USBDevice device;
    ASSERT_TRUE(device.open());
    const uint32_t before = device.getLatency();
    EXPECT_GE(before, 32u);
    ASSERT_TRUE(device.setLatency(128, 0));
    EXPECT_EQ(device.getLatency(), 128u);
    ASSERT_TRUE(device.setLatency(1024, 1));
    EXPECT_EQ(device.getLatency(), 1024u);
    // A size the engine does not take leaves the latency as it was.
    EXPECT_TRUE(device.setLatency(4096, 0));
    EXPECT_EQ(device.getLatency(), 1024u);
    EXPECT_TRUE(device.setLatency(0, 1));
    EXPECT_EQ(device.getLatency(), 1024u);
    device.closeAll();
}

TEST_F(UsbDeviceTest, ReferenceCountFreesOnTheLastRelease) {
    sim::Process::Scope scope(panel_);
    auto* device = new USBDevice;
    ASSERT_TRUE(device->open());
    EXPECT_EQ(device->release(), 0);  // never counted: not freed
    EXPECT_EQ(device->addRef(), 1);
    EXPECT_EQ(device->addRef(), 2);
    EXPECT_EQ(device->release(), 1);
    EXPECT_EQ(device->count(), 1);
    // The last release closes the handle with the object (the leak check at the end sees it).
    EXPECT_EQ(device->release(), 0);
}

class TwoUnitTest : public PanelDeviceTest {
  protected:
    TwoUnitTest() : PanelDeviceTest(2) {}
};

TEST_F(TwoUnitTest, UnitsCountFromTheLastSlot) {
    sim::Process::Scope scope(panel_);
    USBDevice device;
    ASSERT_TRUE(device.open());
    ASSERT_EQ(device.count(), 2);
    EXPECT_EQ(device.selected(), 1);
    device.selectUnit(0);
    EXPECT_EQ(device.selected(), 1);
    device.selectUnit(1);
    EXPECT_EQ(device.selected(), 0);
    device.selectUnit(2);
    EXPECT_EQ(device.selected(), 1);
    device.selectUnit(-1);
    EXPECT_EQ(device.selected(), 1);

    // Requests go to the selected slot's device only.
    device.selectUnit(1);
    uint32_t readBack = 0;
    ASSERT_TRUE(device.setConfiguration(88200, &readBack));
    device.selectUnit(0);
    uint32_t rate = 0;
    ASSERT_TRUE(device.readRate(&rate));
    device.selectUnit(1);
    uint32_t other = 0;
    ASSERT_TRUE(device.readRate(&other));
    EXPECT_EQ(other, 88200u);
    EXPECT_NE(rate, other);
    device.closeAll();
    EXPECT_EQ(device.selected(), 0);
}

class NineUnitTest : public PanelDeviceTest {
  protected:
    NineUnitTest() : PanelDeviceTest(9) {}
};

TEST_F(NineUnitTest, ANinthInterfaceIsLeftUnopened) {
    sim::Process::Scope scope(panel_);
    USBDevice device;
    ASSERT_TRUE(device.open());
    EXPECT_EQ(device.count(), kUnitSlots);
    EXPECT_EQ(device.selected(), kUnitSlots - 1);
    uint32_t rate = 0;
    EXPECT_TRUE(device.readRate(&rate));
    device.closeAll();
}

}  // namespace
}  // namespace q407::panel
