// The device pulled out while applications use the port-class driver: a playback and a recording
// stream are still pumped against a device that has gone, and once the machine is gone nothing of
// either driver stays in pool; the removal notice reaches the MIDI miniport and no MIDI
// link call is made after it, though the application keeps sending.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/stream_link.h"
#include "sim/host/io_manager.h"
#include "sim/host/pool.h"
#include "tests/support/link_spy.h"
#include "tools/device_rig.h"
#include "tools/midi_command.h"
#include "tools/wave_streams.h"
#include "tools/wdm_machine.h"

namespace q407::tools {
namespace {

std::vector<uint8_t> Tone(uint64_t frames) {
    std::vector<std::vector<int32_t>> channels(2, std::vector<int32_t>(frames));
    for (uint64_t f = 0; f < frames; ++f) {
        channels[0][f] = static_cast<int32_t>((f * 0x01230000U) | 0x00010000U);
        channels[1][f] = -channels[0][f];
    }
    return PackSamples(channels, 16);
}

TEST(EndToEndRemoval, UnplugWhileWdmStreamsRunLeavesNothingBehind) {
    const void* wdmDriver = nullptr;
    const void* usbDriver = nullptr;
    {
        WdmMachine machine;
        std::string error;
        ASSERT_TRUE(machine.Boot({}, &error)) << error;
        wdmDriver = sim::FindDriver(kChildServiceName);
        usbDriver = sim::FindDriver(L"Q407DRV");
        ASSERT_NE(wdmDriver, nullptr);
        ClientScope scope(machine);
        PlaybackStream play;
        CaptureStream capture;
        ASSERT_EQ(play.Open(L"ZEL_Wave1", PinFormat(48000, 2, 16, false), Tone(48000)), 0);
        ASSERT_EQ(capture.Open(L"ZEL_Wave5", PinFormat(48000, 2, 16, false)), 0);
        ASSERT_EQ(capture.Start(), 0);
        ASSERT_EQ(play.Start(), 0);
        for (int i = 0; i < 10; ++i) {
            ASSERT_TRUE(play.Pump());
            machine.Advance(0.01);
            capture.Pump(SIZE_MAX);
        }
        const uint64_t before = play.Position();
        EXPECT_GT(before, 0U);
        EXPECT_GT(capture.Bytes().size(), 0U);

        machine.Rig().Unplug();
        // The streams outlive the device while the application holds them: calls on them fail or
        // do nothing, the machine goes on.
        for (int i = 0; i < 10; ++i) {
            (void)play.Pump();  // whatever it answers, it must not touch the device
            machine.Advance(0.01);
            capture.Pump(SIZE_MAX);
        }
        play.Close();
        capture.Close();
    }
    // The machine is gone with its client process: the tree was removed and both drivers
    // unloaded, freeing all they had.
    EXPECT_EQ(sim::Pool::LeakReportOfDriver(wdmDriver), "");
    EXPECT_EQ(sim::Pool::LeakReportOfDriver(usbDriver), "");
}

TEST(EndToEndRemoval, RemovalNoticeEndsTheMidiLinkCalls) {
    test::LinkSpy::Reset();
    WdmMachine machine;
    WdmMachineOptions options;
    options.childDriver = test::SpiedWdmDriverEntry;
    std::string error;
    ASSERT_TRUE(machine.Boot(options, &error)) << error;
    ASSERT_EQ(test::LinkSpy::Installed(), 1U) << "the spy did not see the link query";
    {
        ClientScope scope(machine);
        std::unique_ptr<sim::audio::MidiPort> port;
        ASSERT_EQ(sim::audio::MidiPort::Open(L"ZEL_Midi1", &port), 0);
        const std::vector<uint8_t> bytes = MidiPattern(64);
        ASSERT_EQ(port->Send(bytes.data(), 8), 0);
        machine.Advance(0.05);
        std::vector<uint8_t> received;
        port->Receive(&received);
        EXPECT_EQ(received, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 8));
        EXPECT_GT(test::LinkSpy::Calls(kLinkWriteMidiByte), 0U);
        EXPECT_GT(test::LinkSpy::Calls(kLinkReadMidiByte), 0U);
        EXPECT_FALSE(test::LinkSpy::NoticeGiven());

        machine.Rig().Unplug();
        EXPECT_TRUE(test::LinkSpy::NoticeGiven());
        // The application goes on sending and receiving through its open port.
        for (size_t at = 8; at < bytes.size(); at += 8) {
            (void)port->Send(bytes.data() + at, 8);  // refused or dropped: the device is gone
            machine.Advance(0.01);
            port->Receive(&received);
        }
        machine.Advance(0.05);
        EXPECT_EQ(test::LinkSpy::MidiCallsAfterNotice(), 0U);
    }
}

}  // namespace
}  // namespace q407::tools
