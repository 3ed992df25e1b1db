// The codec register writes as the control-line states the device's serial port gets: the exact
// 35-byte streams, the refused arguments, the port's 1,024-byte limit and its sink.
#include "panel/app/zel_controller.h"

#include <gtest/gtest.h>

#include <vector>

#include "panel/app/usb_device.h"

namespace q407::panel {
namespace {

// A send routine that keeps every stream it gets.
struct Recorder {
    std::vector<std::vector<uint8_t>> streams;
    bool answer = true;
    static bool Sink(void* context, const uint8_t* bytes, uint32_t count) {
        auto* self = static_cast<Recorder*>(context);
        self->streams.emplace_back(bytes, bytes + count);
        return self->answer;
    }
};

// The stream of one register write, built from the line assignments rather than from the
// controller's tables: chip A clocks bit 0 with data on bit 1, chip B bit 5 with data on bit 6,
// bit 7 low while shifting, the other chip's lines high.
std::vector<uint8_t> ExpectedWrite(bool chipB, uint8_t address, uint8_t data) {
    const int clock = chipB ? 5 : 0;
    const int dataLine = chipB ? 6 : 1;
    const uint8_t idle = static_cast<uint8_t>(0x7F & ~(1 << clock) & ~(1 << dataLine));
    const uint32_t lead = chipB ? 0b101 : 0b001;
    const uint32_t word = (lead << 13) | (static_cast<uint32_t>(address & 31) << 8) | data;
    std::vector<uint8_t> out = {255, 127};
    for (int bit = 15; bit >= 0; --bit) {
        const uint8_t d = static_cast<uint8_t>(idle | (((word >> bit) & 1u) << dataLine));
        out.push_back(d);
        out.push_back(static_cast<uint8_t>(d | (1 << clock)));
    }
    out.push_back(255);
    return out;
}

class ControllerTest : public ::testing::Test {
  protected:
    void SetUp() override { controller_.setSink(&Recorder::Sink, &recorder_); }
    ZELController controller_;
    Recorder recorder_;
};

TEST_F(ControllerTest, DigitalFormatIsOneThirtyFiveByteStreamToRegister13) {
    ASSERT_TRUE(controller_.setDigitalFormat(1));
    ASSERT_EQ(recorder_.streams.size(), 1u);
    const std::vector<uint8_t> expected = {
        255, 127, 124, 125, 124, 125, 126, 127,            // header, leading bits 0 0 1
        124, 125, 126, 127, 126, 127, 124, 125, 126, 127,  // address 13 = 01101
        124, 125, 124, 125, 124, 125, 124, 125, 124, 125, 124, 125, 124, 125,  // data 0000000
        126, 127,                                                              // data bit 1
        255};
    EXPECT_EQ(recorder_.streams[0], expected);
    EXPECT_EQ(recorder_.streams[0].size(), kRegisterWriteBytes);
    EXPECT_EQ(recorder_.streams[0], ExpectedWrite(false, 13, 1));

    ASSERT_TRUE(controller_.setDigitalFormat(0));
    EXPECT_EQ(recorder_.streams[1], ExpectedWrite(false, 13, 0));
    EXPECT_FALSE(controller_.setDigitalFormat(2));
    EXPECT_EQ(recorder_.streams.size(), 2u);
}

TEST_F(ControllerTest, OutputVolumesGoToTheLevelRegistersWithTheTopBitSet) {
    const uint8_t registers[8] = {4, 5, 6, 7, 8, 9, 11, 12};
    for (uint32_t channel = 0; channel < 8; ++channel) {
        ASSERT_TRUE(controller_.setOutVolume(channel, 100 - channel));
        ASSERT_EQ(recorder_.streams.size(), channel + 1);
        EXPECT_EQ(
            recorder_.streams.back(),
            ExpectedWrite(true, registers[channel], static_cast<uint8_t>(0x80 | (100 - channel))))
            << channel;
    }
    recorder_.streams.clear();
    ASSERT_TRUE(controller_.setOutVolume(6, 0));
    EXPECT_EQ(recorder_.streams.at(0), ExpectedWrite(true, 11, 0x80));
    ASSERT_TRUE(controller_.setOutVolume(7, 127));
    EXPECT_EQ(recorder_.streams.at(1), ExpectedWrite(true, 12, 0xFF));
}

TEST_F(ControllerTest, RefusedArgumentsSendNothing) {
    EXPECT_FALSE(controller_.setOutVolume(0, 128));
    EXPECT_FALSE(controller_.setOutVolume(8, 0));
    EXPECT_FALSE(controller_.setOutVolume(0xFFFFFFFFu, 10));
    EXPECT_FALSE(controller_.setDigitalFormat(0xFFFFFFFFu));
    EXPECT_TRUE(recorder_.streams.empty());
    EXPECT_EQ(controller_.committedCount(), 0u);
}

TEST_F(ControllerTest, TheSinksAnswerIsTheResultAndThePortEmptiesEitherWay) {
    recorder_.answer = false;
    EXPECT_FALSE(controller_.setOutVolume(1, 5));
    EXPECT_EQ(recorder_.streams.size(), 1u);
    EXPECT_EQ(controller_.committedCount(), 0u);
    recorder_.answer = true;
    EXPECT_TRUE(controller_.setOutVolume(1, 5));
    EXPECT_EQ(recorder_.streams.at(1).size(), kRegisterWriteBytes);

    // Detached: nothing is sent and the bytes are dropped.
    controller_.setSink(nullptr, nullptr);
    EXPECT_FALSE(controller_.setOutVolume(1, 5));
    EXPECT_EQ(recorder_.streams.size(), 2u);
    EXPECT_EQ(controller_.committedCount(), 0u);
    // A sink without a context is no sink.
    controller_.setSink(&Recorder::Sink, nullptr);
    EXPECT_FALSE(controller_.setDigitalFormat(1));
    EXPECT_EQ(recorder_.streams.size(), 2u);
}

TEST_F(ControllerTest, WritesCollectUntilFlushedAndStopAtTheStreamLimit) {
    // 29 writes of 35 bytes fit (1,015); the 30th does not, and none of it is kept.
    for (int i = 0; i < 29; ++i)
        ASSERT_TRUE(controller_.writeRegisterB(4, static_cast<uint8_t>(i)));
    EXPECT_EQ(controller_.committedCount(), 29 * kRegisterWriteBytes);
    EXPECT_FALSE(controller_.writeRegisterA(13, 1));
    EXPECT_EQ(controller_.committedCount(), 29 * kRegisterWriteBytes);
    // The refused volume sends nothing, and the committed writes stay for the next flush.
    EXPECT_FALSE(controller_.setOutVolume(0, 1));
    EXPECT_TRUE(recorder_.streams.empty());
    ASSERT_TRUE(controller_.flush());
    ASSERT_EQ(recorder_.streams.size(), 1u);
    ASSERT_EQ(recorder_.streams[0].size(), 29 * kRegisterWriteBytes);
    for (int i = 0; i < 29; ++i) {
        const std::vector<uint8_t> part(recorder_.streams[0].begin() + i * 35,
                                        recorder_.streams[0].begin() + (i + 1) * 35);
        EXPECT_EQ(part, ExpectedWrite(true, 4, static_cast<uint8_t>(i))) << i;
    }
    // Emptied: a full-size stream fits again.
    EXPECT_TRUE(controller_.setOutVolume(0, 1));
}

TEST(PortTest, FillsToExactly1024BytesAndRefusesMore) {
    PTAJPort port;
    Recorder recorder;
    port.setSink(&Recorder::Sink, &recorder);
    ASSERT_TRUE(port.begin());
    for (uint32_t i = 0; i < kPortStreamBytes; ++i) ASSERT_TRUE(port.put(static_cast<uint8_t>(i)));
    EXPECT_FALSE(port.put(1));
    port.commit();
    EXPECT_EQ(port.committedCount(), kPortStreamBytes);
    // Full: no stream opens, and a commit without one changes nothing.
    EXPECT_FALSE(port.begin());
    port.commit();
    EXPECT_EQ(port.committedCount(), kPortStreamBytes);
    ASSERT_TRUE(port.flush());
    ASSERT_EQ(recorder.streams.at(0).size(), kPortStreamBytes);
    EXPECT_EQ(recorder.streams[0][1023], 0xFF);
    EXPECT_EQ(port.committedCount(), 0u);
    EXPECT_EQ(port.bytes()[1023], 0);
}

TEST(PortTest, ClosedStreamTakesNoBytesAndAStrayCommitSendsNothing) {
    PTAJPort port;
    Recorder recorder;
    port.setSink(&Recorder::Sink, &recorder);
    ASSERT_TRUE(port.begin());
    ASSERT_TRUE(port.put(7));
    port.commit();
    EXPECT_FALSE(port.put(8));  // closed until the next begin
    port.commit();
    EXPECT_EQ(port.committedCount(), 1u);
    ASSERT_TRUE(port.begin());
    ASSERT_TRUE(port.put(9));
    port.abandon();
    EXPECT_EQ(port.committedCount(), 1u);
    EXPECT_EQ(port.bytes()[1], 0);
    ASSERT_TRUE(port.flush());
    EXPECT_EQ(recorder.streams.at(0), std::vector<uint8_t>({7}));
}

TEST(DeviceSinkTest, WithoutADeviceTheSinkFailsAndAnEmptyTableSendsNothing) {
    const uint8_t bytes[3] = {1, 2, 3};
    EXPECT_FALSE(SendCodecBytesToDevice(nullptr, bytes, 3));
    USBDevice none;
    EXPECT_FALSE(SendCodecBytesToDevice(&none, bytes, 3));
    EXPECT_FALSE(none.sendCodecBytes(0, nullptr));  // no valid handle: refused before anything
    ZELController controller;
    controller.setSink(&SendCodecBytesToDevice, &none);
    EXPECT_FALSE(controller.setOutVolume(0, 10));
}

}  // namespace
}  // namespace q407::panel
