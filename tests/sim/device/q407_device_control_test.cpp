// The device's answers on the control endpoint.
#include <gtest/gtest.h>

#include "device_test_support.h"
#include "platform/usb/usb.h"

namespace q407::sim {
namespace {

using test::DeviceBench;

TEST(DeviceControl, StatusControlAndMode) {
    DeviceBench b;
    std::vector<std::uint8_t> one(1);
    ASSERT_EQ(b.Control(0xC0, 0x49, 0, 0, one).outcome, ControlOutcome::Ack);
    EXPECT_EQ(one[0] & kStatusClockFromSpdif, 0);

    EXPECT_EQ(b.Control(0x40, 0x49, 0xFF32, 0).outcome, ControlOutcome::Ack);
    EXPECT_EQ(b.device.ControlByte(), 0x32);
    // Malformed control writes are refused and change nothing.
    EXPECT_EQ(b.Control(0x40, 0x49, 0x0032, 0).outcome, ControlOutcome::Stall);
    EXPECT_EQ(b.Control(0x40, 0x49, 0xFFB2, 1).outcome, ControlOutcome::Stall);
    EXPECT_EQ(b.device.ControlByte(), 0x32);

    EXPECT_EQ(b.Control(0x40, 0x41, 0x0349, 0x0101).outcome, ControlOutcome::Ack);
    EXPECT_EQ(b.device.Mode(), 1);
    EXPECT_EQ(b.Control(0x40, 0x41, 0x0348, 0x0101).outcome, ControlOutcome::Ack);
    EXPECT_EQ(b.device.Mode(), 0);
    EXPECT_EQ(b.Control(0x40, 0x41, 0x0350, 0x0101).outcome, ControlOutcome::Stall);
    EXPECT_EQ(b.Control(0x40, 0x41, 0x0349, 0x0000).outcome, ControlOutcome::Stall);
    EXPECT_EQ(b.device.Mode(), 0);

    // Every request is logged with its data.
    auto log = b.device.Requests();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[0].setup.bRequest, 0x49);
    EXPECT_EQ(log[0].data, std::vector<std::uint8_t>{one[0]});
    EXPECT_EQ(log[1].setup.wValue, 0xFF32);
    EXPECT_EQ(log[2].outcome, ControlOutcome::Stall);
}

TEST(DeviceControl, InformationBytesStartWithFirmwareVersion) {
    DeviceBench b;
    std::vector<std::uint8_t> info(8);
    ControlReply r = b.Control(0xC0, 0x56, 0, 0, info);
    ASSERT_EQ(r.outcome, ControlOutcome::Ack);
    EXPECT_EQ(r.length, 8u);
    EXPECT_EQ(info[0], 'B');
    EXPECT_EQ(info[1], 1);
    EXPECT_EQ(info[2], 3);
    // A longer read still gets the 8 bytes.
    std::vector<std::uint8_t> more(16, 0xEE);
    EXPECT_EQ(b.Control(0xC0, 0x56, 0, 0, more).length, 8u);
    EXPECT_EQ(more[8], 0xEE);
}

TEST(DeviceControl, FirmwareMemoryReadsBackWhatWasWritten) {
    DeviceBench b;
    for (int block = 0; block < kFirmwareBlocks; ++block) {
        std::vector<std::uint8_t> data(64);
        for (int i = 0; i < 64; ++i) data[i] = std::uint8_t(block ^ (i * 3));
        ASSERT_EQ(b.Control(0x40, 0x55, 0, std::uint16_t(block), data).outcome,
                  ControlOutcome::Ack);
    }
    for (int block = 0; block < kFirmwareBlocks; ++block) {
        std::vector<std::uint8_t> back(64);
        ASSERT_EQ(b.Control(0xC0, 0x55, 0, std::uint16_t(block), back).length, 64u);
        for (int i = 0; i < 64; ++i) ASSERT_EQ(back[i], std::uint8_t(block ^ (i * 3)));
    }
    std::vector<std::uint8_t> data(64);
    EXPECT_EQ(b.Control(0x40, 0x55, 0, 96, data).outcome, ControlOutcome::Stall);
    EXPECT_EQ(b.Control(0xC0, 0x55, 0, 96, data).outcome, ControlOutcome::Stall);
    std::vector<std::uint8_t> shortBlock(63);
    EXPECT_EQ(b.Control(0x40, 0x55, 0, 3, shortBlock).outcome, ControlOutcome::Stall);
}

TEST(DeviceControl, SamplingFrequencyPerEndpointAndCurrentRate) {
    DeviceBench b;
    std::vector<std::uint8_t> r = {0x80, 0xBB, 0x00};  // 48000
    EXPECT_EQ(b.Control(0x22, 0x01, 0x0100, 0x05, r).outcome, ControlOutcome::Ack);
    EXPECT_EQ(b.device.EndpointRate(0x05), 48000u);
    EXPECT_EQ(b.device.EndpointRate(0x86), 0u);
    EXPECT_EQ(b.Control(0x22, 0x01, 0x0100, 0x86, r).outcome, ControlOutcome::Ack);
    EXPECT_EQ(b.device.EndpointRate(0x86), 48000u);
    std::vector<std::uint8_t> cur(3);
    ASSERT_EQ(b.Control(0xA1, 0x81, 0x0100, 0, cur).outcome, ControlOutcome::Ack);
    EXPECT_EQ(cur, (std::vector<std::uint8_t>{0x80, 0xBB, 0x00}));

    std::vector<std::uint8_t> bad = {0x00, 0x7D, 0x00};  // 32000
    EXPECT_EQ(b.Control(0x22, 0x01, 0x0100, 0x86, bad).outcome, ControlOutcome::Stall);
    EXPECT_EQ(b.Control(0x22, 0x01, 0x0100, 0x82, r).outcome, ControlOutcome::Stall);
    EXPECT_EQ(b.device.ClockRate(), 48000u);
}

TEST(DeviceControl, AutomaticClockFollowsSpdif) {
    DeviceBench b;
    b.SetRate(44100);
    SpdifSignal s;
    s.present = true;
    s.rate = 96000;
    b.device.SetSpdif(s);
    std::vector<std::uint8_t> status(1), cur(3);
    // Internal clock (mode 1): the S/PDIF signal is seen but not followed.
    ASSERT_EQ(b.Control(0x40, 0x41, 0x0349, 0x0101).outcome, ControlOutcome::Ack);
    b.Control(0xC0, 0x49, 0, 0, status);
    EXPECT_EQ(status[0] & kStatusClockFromSpdif, 0);
    b.Control(0xA1, 0x81, 0x0100, 0, cur);
    EXPECT_EQ(cur, (std::vector<std::uint8_t>{0x44, 0xAC, 0x00}));
    // Automatic clock (mode 0): status bit 2 and the S/PDIF rate.
    ASSERT_EQ(b.Control(0x40, 0x41, 0x0348, 0x0101).outcome, ControlOutcome::Ack);
    b.Control(0xC0, 0x49, 0, 0, status);
    EXPECT_NE(status[0] & kStatusClockFromSpdif, 0);
    b.Control(0xA1, 0x81, 0x0100, 0, cur);
    EXPECT_EQ(cur, (std::vector<std::uint8_t>{0x00, 0x77, 0x01}));
    EXPECT_EQ(b.device.ClockRate(), 96000u);
    // Inputs 15/16 come from S/PDIF only with control bit 7 in automatic mode.
    b.Control(0x40, 0x49, 0xFF32, 0);
    EXPECT_FALSE(b.device.InputsFromSpdif());
    b.Control(0x40, 0x49, 0xFFB2, 0);
    EXPECT_TRUE(b.device.InputsFromSpdif());
    // Signal gone: back to the rate that was set.
    s.present = false;
    b.device.SetSpdif(s);
    b.Control(0xC0, 0x49, 0, 0, status);
    EXPECT_EQ(status[0] & kStatusClockFromSpdif, 0);
    EXPECT_EQ(b.device.ClockRate(), 44100u);
}

TEST(DeviceControl, StandardRequests) {
    DeviceBench b;
    std::vector<std::uint8_t> dev(18);
    ASSERT_EQ(b.Control(0x80, 0x06, 0x0100, 0, dev).length, 18u);
    EXPECT_EQ(dev[1], USB_DEVICE_DESCRIPTOR_TYPE);
    std::vector<std::uint8_t> head(9);
    ASSERT_EQ(b.Control(0x80, 0x06, 0x0200, 0, head).length, 9u);
    std::uint16_t total = std::uint16_t(head[2] | (head[3] << 8));
    std::vector<std::uint8_t> all(total + 10);
    EXPECT_EQ(b.Control(0x80, 0x06, 0x0200, 0, all).length, total);
    EXPECT_EQ(b.Control(0x80, 0x06, 0x0300, 0, head).outcome, ControlOutcome::Ack);
    EXPECT_EQ(b.Control(0x80, 0x06, 0x0700, 0, head).outcome, ControlOutcome::Stall);

    // Interfaces need a configuration.
    EXPECT_EQ(b.Control(0x01, 0x0B, 1, 0).outcome, ControlOutcome::Stall);
    EXPECT_EQ(b.Control(0x00, 0x09, 2, 0).outcome, ControlOutcome::Stall);
    EXPECT_EQ(b.Control(0x00, 0x09, 1, 0).outcome, ControlOutcome::Ack);
    EXPECT_EQ(b.Control(0x01, 0x0B, 2, 0).outcome, ControlOutcome::Stall);
    EXPECT_EQ(b.Control(0x01, 0x0B, 1, 0).outcome, ControlOutcome::Ack);
    EXPECT_TRUE(b.device.Streaming());
    EXPECT_EQ(b.Control(0x01, 0x0B, 0, 0).outcome, ControlOutcome::Ack);
    EXPECT_FALSE(b.device.Streaming());

    // Halt and clear on an endpoint.
    EXPECT_EQ(b.Control(0x02, 0x03, 0, 0x86).outcome, ControlOutcome::Ack);
    EXPECT_TRUE(b.device.EndpointHalted(0x86));
    std::vector<std::uint8_t> st(2);
    b.Control(0x82, 0x00, 0, 0x86, st);
    EXPECT_EQ(st[0], 1);
    EXPECT_EQ(b.Control(0x02, 0x01, 0, 0x86).outcome, ControlOutcome::Ack);
    EXPECT_FALSE(b.device.EndpointHalted(0x86));
}

TEST(DeviceFaults, RequestsStallOrGoUnanswered) {
    DeviceBench b;
    b.device.AddControlFault({0xC0, 0x49, -1, -1, ControlOutcome::Stall, 2});
    b.device.AddControlFault({-1, 0x56, -1, -1, ControlOutcome::NoResponse, -1});
    std::vector<std::uint8_t> one(1), info(8);
    EXPECT_EQ(b.Control(0xC0, 0x49, 0, 0, one).outcome, ControlOutcome::Stall);
    EXPECT_EQ(b.Control(0xC0, 0x49, 0, 0, one).outcome, ControlOutcome::Stall);
    EXPECT_EQ(b.Control(0xC0, 0x49, 0, 0, one).outcome, ControlOutcome::Ack);
    EXPECT_EQ(b.Control(0xC0, 0x56, 0, 0, info).outcome, ControlOutcome::NoResponse);
    EXPECT_EQ(b.Control(0xC0, 0x56, 0, 0, info).outcome, ControlOutcome::NoResponse);
    b.device.ClearFaults();
    EXPECT_EQ(b.Control(0xC0, 0x56, 0, 0, info).outcome, ControlOutcome::Ack);
}

TEST(DeviceFaults, ShortAndLyingDescriptors) {
    DeviceBench b;
    b.device.AddDescriptorFault({USB_DEVICE_DESCRIPTOR_TYPE, 12, -1, 1});
    b.device.AddDescriptorFault({USB_CONFIGURATION_DESCRIPTOR_TYPE, -1, 8, -1});
    std::vector<std::uint8_t> dev(18);
    EXPECT_EQ(b.Control(0x80, 0x06, 0x0100, 0, dev).length, 12u);
    EXPECT_EQ(b.Control(0x80, 0x06, 0x0100, 0, dev).length, 18u);  // once only
    std::vector<std::uint8_t> head(9);
    ASSERT_EQ(b.Control(0x80, 0x06, 0x0200, 0, head).length, 9u);
    EXPECT_EQ(head[2] | (head[3] << 8), 8);
}

}  // namespace
}  // namespace q407::sim
