// The panel's codec writes travel the whole way: port, send routine, USB driver, the engine's
// playback units and the device's control lines, into the codec registers that set what the
// outputs play.
#include "panel_device_fixture.h"

// After the emulated kernel's declarations, whose names would otherwise shadow the Win32 ones.
#include "panel/app/usb_device.h"
#include "panel/app/zel_controller.h"

namespace q407::panel {
namespace {

using CodecOutputTest = PanelDeviceTest;

TEST_F(CodecOutputTest, VolumesAttenuateTheirOutputsAndTheDigitalFormatReachesChipA) {
    sim::Process::Scope scope(panel_);
    USBDevice device;
    ASSERT_TRUE(device.open());
    ZELController controller;
    controller.setSink(&SendCodecBytesToDevice, &device);

    // Every output at its own level: each lands in its own register and nowhere else.
    for (uint32_t channel = 0; channel < 8; ++channel)
        ASSERT_TRUE(controller.setOutVolume(channel, 120 - 10 * channel)) << channel;
    ASSERT_TRUE(controller.setDigitalFormat(1));
    rig_.RunForSeconds(0.2);

    const auto writes = rig_.Device().CodecWrites();
    ASSERT_EQ(writes.size(), 9u);
    for (const auto& w : writes) EXPECT_TRUE(w.word.valid);
    EXPECT_EQ(rig_.Device().Counters().invalidCodecWords, 0u);
    const uint8_t registers[8] = {4, 5, 6, 7, 8, 9, 11, 12};
    for (int channel = 0; channel < 8; ++channel) {
        const int level = 120 - 10 * channel;
        EXPECT_EQ(rig_.Device().CodecRegister(sim::CodecChip::B, registers[channel]), 0x80 | level)
            << channel;
        // 127 is full level, each step below it half a decibel less.
        EXPECT_DOUBLE_EQ(rig_.Device().OutputGainDb(channel), -(127 - level) * 0.5) << channel;
    }
    EXPECT_EQ(rig_.Device().CodecRegister(sim::CodecChip::A, 13), 1);

    // Back to consumer format and output 6 silenced; the other outputs keep their levels.
    ASSERT_TRUE(controller.setDigitalFormat(0));
    ASSERT_TRUE(controller.setOutVolume(6, 0));
    rig_.RunForSeconds(0.1);
    EXPECT_EQ(rig_.Device().CodecRegister(sim::CodecChip::A, 13), 0);
    EXPECT_EQ(rig_.Device().CodecRegister(sim::CodecChip::B, 11), 0x80);
    EXPECT_DOUBLE_EQ(rig_.Device().OutputGainDb(6), -63.5);
    EXPECT_DOUBLE_EQ(rig_.Device().OutputGainDb(5), -(127 - 70) * 0.5);

    // Refused requests reach nothing.
    EXPECT_FALSE(controller.setOutVolume(0, 128));
    EXPECT_FALSE(controller.setOutVolume(8, 1));
    rig_.RunForSeconds(0.05);
    EXPECT_EQ(rig_.Device().CodecWrites().size(), 11u);

    controller.setSink(nullptr, nullptr);
    device.closeAll();
}

TEST_F(CodecOutputTest, DigitalOptionsReachTheEngine) {
    sim::Process::Scope scope(panel_);
    USBDevice device;
    ASSERT_TRUE(device.open());
    ASSERT_TRUE(device.setDigitalOptions(0x81));
    MixerSettings block{};
    ASSERT_TRUE(device.readSettings(&block));
    EXPECT_EQ(block.spdifInput, 1);
    EXPECT_EQ(block.autoClock, 1);
    ASSERT_TRUE(device.setDigitalOptions(0x00));
    ASSERT_TRUE(device.readSettings(&block));
    EXPECT_EQ(block.spdifInput, 0);
    EXPECT_EQ(block.autoClock, 0);
    // An empty stream is nothing to send, and succeeds.
    EXPECT_TRUE(device.sendCodecBytes(0, nullptr));
    device.closeAll();
}

}  // namespace
}  // namespace q407::panel
