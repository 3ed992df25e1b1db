// MIDI through the port-class driver and the device's MIDI connectors, looped back OUT to IN:
// pattern bytes arrive all, once and in order, both paced as an application sends them and in
// bursts far larger than the engine's MIDI OUT ring (the driver retries until each event is out).
// The loop moves 3,125 bytes a second (MIDI's wire rate); a megabyte takes over five minutes of
// machine time, so CTest loops a few kilobytes and `q407 midi loop --bytes 1048576` the megabyte.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "sim/host/portcls/audio_client.h"
#include "tools/device_rig.h"
#include "tools/midi_command.h"
#include "tools/wdm_machine.h"

namespace q407::tools {
namespace {

constexpr size_t kLoopBytes = 3000;

TEST(EndToEndMidi, PatternHasNoIdleMarkerAndNoShortPeriod) {
    const std::vector<uint8_t> p = MidiPattern(4096);
    EXPECT_TRUE(std::all_of(p.begin(), p.end(), [](uint8_t b) { return b < 0xFD; }));
    std::set<uint8_t> values(p.begin(), p.end());
    EXPECT_GT(values.size(), 200U);
    // A lost run of bytes of any length up to 1,024 would leave a different sequence behind.
    for (size_t shift = 1; shift <= 1024; ++shift)
        EXPECT_FALSE(std::equal(p.begin() + long(shift), p.begin() + long(shift) + 64, p.begin()))
            << shift;
}

TEST(EndToEndMidi, PacedLoopLosesAndReordersNothing) {
    WdmMachine machine;
    std::string error;
    ASSERT_TRUE(machine.Boot({}, &error)) << error;
    MidiTransfer transfer;
    const std::vector<uint8_t> bytes = MidiPattern(kLoopBytes);
    ASSERT_EQ(RunMidiTransfer(machine, bytes, true, 1.0, &transfer, &error), kWdmExitOk)
        << error << " received " << transfer.received.size() << ", first mismatch "
        << transfer.firstMismatch;
    EXPECT_TRUE(transfer.outMatches);
    EXPECT_EQ(transfer.deviceOut, kLoopBytes);
    EXPECT_TRUE(transfer.Intact(kLoopBytes));
    // Bounded by the wire: at least the bytes' time on it, and not stalled far beyond it.
    EXPECT_GE(transfer.seconds, double(kLoopBytes) / 3125.0);
    EXPECT_LT(transfer.seconds, 3.0 * double(kLoopBytes) / 3125.0 + 2.0);
}

TEST(EndToEndMidi, BurstLargerThanTheOutRingArrivesWholeAcrossRetries) {
    WdmMachine machine;
    std::string error;
    ASSERT_TRUE(machine.Boot({}, &error)) << error;
    ClientScope scope(machine);
    std::unique_ptr<sim::audio::MidiPort> port;
    ASSERT_EQ(sim::audio::MidiPort::Open(L"ZEL_Midi1", &port), 0);
    // A burst, then a 12-byte system-exclusive message, all handed over at once.
    std::vector<uint8_t> bytes = MidiPattern(600);
    const std::vector<uint8_t> sysex = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0x12,
                                        0x34, 0x56, 0x78, 0x11, 0x22, 0xF7};
    for (size_t at = 0; at < bytes.size(); at += 8)
        ASSERT_EQ(port->Send(bytes.data() + at, std::min<size_t>(8, bytes.size() - at)), 0);
    ASSERT_EQ(port->Send(sysex.data(), 8), 0);
    ASSERT_EQ(port->Send(sysex.data() + 8, 4), 0);
    bytes.insert(bytes.end(), sysex.begin(), sysex.end());
    std::vector<uint8_t> received;
    for (int i = 0; i < 100 && received.size() < bytes.size(); ++i) {
        machine.Advance(0.01);
        port->Receive(&received);
    }
    EXPECT_EQ(received, bytes);
    std::vector<uint8_t> wire;
    for (const auto& b : machine.Rig().Device().MidiOut()) wire.push_back(b.value);
    EXPECT_EQ(wire, bytes);
}

}  // namespace
}  // namespace q407::tools
