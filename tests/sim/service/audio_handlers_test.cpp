// The audio client API of a program linked to a machine served in this test process: the calls go
// over the socket and run in the program's process on the machine.
#include "sim/service/audio_handlers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/remote/client_link.h"
#include "sim/host/portcls/audio_client.h"
#include "sim/service/machine_server.h"
#include "tools/wave_streams.h"
#include "tools/wdm_machine.h"

namespace q407 {
namespace {

using remote::ClientLink;
using remote::Op;
using remote::WireReader;
using remote::WireWriter;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kStatusInvalidHandle = 0xC0000008U;
constexpr uint32_t kErrorInvalidParameter = 87;

struct Answer {
    uint32_t error = 0xFFFFFFFFU;
    uint32_t status = 0;
    uint64_t value = 0;
};

// A raw call whose reply is error, status and (when there) one U64.
Answer RawCall(Op op, const WireWriter& request) {
    Answer answer;
    std::vector<uint8_t> reply;
    std::vector<int> fds;
    if (!ClientLink::Current()->Call(op, request, &reply, &fds)) return answer;
    for (int fd : fds) close(fd);
    WireReader r(reply.data(), reply.size());
    answer.error = r.U32();
    answer.status = r.U32();
    if (!r.AtEnd()) answer.value = r.U64();
    return answer;
}

WireWriter WaveOpenRequest(const std::wstring& name) {
    WireWriter w;
    w.WString(name).U8(0).U32(48000).U16(2).U16(16).U8(0).U32(0);
    return w;
}

class AudioOverLinkTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        machine_ = new tools::WdmMachine();
        tools::WdmMachineOptions options;
        options.realTime = true;
        options.keepOutputs = true;
        std::string error;
        ASSERT_TRUE(machine_->Boot(options, &error)) << error;
        socket_ = testing::TempDir() + "audio-link-" + std::to_string(getpid()) + ".sock";
        server_ = new service::MachineServer({socket_});
        service::AddAudioHandlers(server_->Handlers());
        ASSERT_TRUE(server_->Start(&error)) << error;
    }
    static void TearDownTestSuite() {
        ClientLink::Disconnect();
        delete server_;
        delete machine_;
    }
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(ClientLink::Connect(socket_, L"audio test", &error)) << error;
    }
    void TearDown() override {
        ClientLink::Disconnect();
        EXPECT_TRUE(ConnectionsEnded());
    }

    // Waits until the machine has ended every connection's process.
    static bool ConnectionsEnded() {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (server_->ConnectionCount() != 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return server_->ConnectionCount() == 0;
    }

    static tools::WdmMachine* machine_;
    static service::MachineServer* server_;
    static std::string socket_;
};

tools::WdmMachine* AudioOverLinkTest::machine_ = nullptr;
service::MachineServer* AudioOverLinkTest::server_ = nullptr;
std::string AudioOverLinkTest::socket_;

TEST_F(AudioOverLinkTest, ListsSubdevicesAndSetsMutesOnTheMachine) {
    const std::vector<sim::audio::SubdeviceInfo> linked = sim::audio::ListSubdevices();
    std::vector<sim::audio::SubdeviceInfo> local;
    {
        ClientLink::MachineThreadScope own;
        tools::ClientScope scope(*machine_);
        local = sim::audio::ListSubdevices();
    }
    ASSERT_FALSE(local.empty());
    ASSERT_EQ(linked.size(), local.size());
    for (size_t i = 0; i < local.size(); ++i) {
        EXPECT_EQ(linked[i].name, local[i].name);
        EXPECT_EQ(linked[i].kind, local[i].kind);
        EXPECT_EQ(linked[i].symbolicLink, local[i].symbolicLink);
        EXPECT_EQ(linked[i].playback, local[i].playback);
        EXPECT_EQ(linked[i].recording, local[i].recording);
    }

    std::vector<sim::audio::MixerLine> lines;
    ASSERT_GE(sim::audio::ListMixerLines(L"ZEL_Mixer1", &lines), 0);
    std::optional<sim::audio::MixerLine> line;
    for (const auto& l : lines)
        if (l.hasMute) line = l;
    ASSERT_TRUE(line.has_value());
    ASSERT_GE(sim::audio::SetMute(L"ZEL_Mixer1", line->node, !line->muted), 0);
    bool seenOnMachine = line->muted;
    {
        ClientLink::MachineThreadScope own;
        tools::ClientScope scope(*machine_);
        ASSERT_GE(sim::audio::GetMute(L"ZEL_Mixer1", line->node, &seenOnMachine), 0);
    }
    EXPECT_EQ(seenOnMachine, !line->muted);
    bool readBack = line->muted;
    EXPECT_GE(sim::audio::GetMute(L"ZEL_Mixer1", line->node, &readBack), 0);
    EXPECT_EQ(readBack, !line->muted);
    EXPECT_GE(sim::audio::SetMute(L"ZEL_Mixer1", line->node, line->muted), 0);
    // A mixer that is not there is refused with the machine's status, not a torn answer.
    EXPECT_LT(sim::audio::ListMixerLines(L"ZEL_Mixer99", &lines), 0);
    EXPECT_TRUE(lines.empty());
}

TEST_F(AudioOverLinkTest, WavePinPlaysThroughTheLinkInOrder) {
    // A ramp, rising on the left and falling on the right. The machine runs against the wall
    // clock, where a loaded host may leave gaps; what plays must still be the ramp, in order,
    // with the channels in their places.
    constexpr size_t kFrames = 12000;
    std::vector<std::vector<int32_t>> channels(2, std::vector<int32_t>(kFrames));
    for (size_t f = 0; f < kFrames; ++f) {
        channels[0][f] = static_cast<int32_t>((f + 1) << 16);
        channels[1][f] = -static_cast<int32_t>((f + 1) << 16);
    }
    const uint64_t framesBefore = machine_->OutputFrames();
    tools::PlaybackStream stream;
    ASSERT_GE(stream.Open(L"ZEL_Wave1", tools::PinFormat(48000, 2, 16, false),
                          tools::PackSamples(channels, 16), 1.0),
              0);
    ASSERT_GE(stream.Start(), 0);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (stream.Pump() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(stream.Pump()) << "the driver stopped taking audio";
    EXPECT_EQ(stream.BytesQueued(), stream.BytesTotal());
    EXPECT_GE(stream.Position(), stream.BytesTotal());
    stream.Close();

    // The machine goes on playing silence meanwhile: the right channel is taken second.
    const std::vector<int32_t> left = machine_->Output(0);
    const std::vector<int32_t> right = machine_->Output(1);
    ASSERT_LE(left.size(), right.size());
    int32_t last = 0;
    size_t played = 0;
    for (size_t f = framesBefore; f < left.size(); ++f) {
        if (left[f] == 0) continue;
        ASSERT_EQ(right[f], -left[f]) << "frame " << f;
        ASSERT_EQ(left[f] % 256, 0) << "frame " << f;
        ASSERT_GT(left[f], last) << "frame " << f << " plays out of order";
        ASSERT_LE(left[f], static_cast<int32_t>(kFrames * 256));
        last = left[f];
        ++played;
    }
    EXPECT_EQ(last, static_cast<int32_t>(kFrames * 256)) << "the ramp's end did not play";
    EXPECT_GE(played, kFrames / 2);
}

TEST_F(AudioOverLinkTest, MidiPortLoopsThroughTheLink) {
    std::unique_ptr<sim::audio::MidiPort> port;
    ASSERT_GE(sim::audio::MidiPort::Open(L"ZEL_Midi1", &port), 0);
    const std::vector<uint8_t> sent{0x90, 0x3C, 0x7F, 0x80, 0x3C, 0x00, 0xB0, 0x07, 0x64};
    ASSERT_GE(port->Send(sent.data(), sent.size()), 0);
    std::vector<uint8_t> received;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (received.size() < sent.size() && Clock::now() < deadline) {
        port->Receive(&received);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(received, sent);
}

TEST_F(AudioOverLinkTest, HandlesThatNameNoStreamOfTheKindAreRefused) {
    WireWriter bogus;
    bogus.U64(0xDEAD4).U32(3);
    EXPECT_EQ(RawCall(Op::WavePinSetState, bogus).status, kStatusInvalidHandle);

    // An event's handle is a handle of the process, but not a pin.
    WireWriter event;
    event.U32(1).U32(0);
    const Answer created = RawCall(Op::CreateEvent, event);
    ASSERT_EQ(created.error, 0u);
    WireWriter asPin;
    asPin.U64(created.value).U32(0);
    EXPECT_EQ(RawCall(Op::WavePinSetState, asPin).status, kStatusInvalidHandle);
    WireWriter closeEvent;
    closeEvent.U64(created.value);
    EXPECT_EQ(RawCall(Op::WavePinClose, closeEvent).status, kStatusInvalidHandle);

    // A MIDI port is no wave pin, and the other way round.
    WireWriter midiName;
    midiName.WString(L"ZEL_Midi1");
    const Answer midi = RawCall(Op::MidiPortOpen, midiName);
    ASSERT_EQ(midi.status, 0u);
    WireWriter write;
    const uint8_t bytes[4] = {};
    write.U64(midi.value).Bytes(bytes, sizeof(bytes));
    EXPECT_EQ(RawCall(Op::WavePinWrite, write).status, kStatusInvalidHandle);
    const Answer wave = RawCall(Op::WavePinOpen, WaveOpenRequest(L"ZEL_Wave2"));
    ASSERT_EQ(wave.status, 0u);
    WireWriter send;
    send.U64(wave.value).Bytes(bytes, 3);
    EXPECT_EQ(RawCall(Op::MidiPortSend, send).status, kStatusInvalidHandle);

    // Fields out of range or missing, and names past their limit, are malformed calls.
    WireWriter badState;
    badState.U64(wave.value).U32(4);
    EXPECT_EQ(RawCall(Op::WavePinSetState, badState).error, kErrorInvalidParameter);
    WireWriter truncated;
    truncated.WString(L"ZEL_Wave1").U8(0).U32(48000);
    EXPECT_EQ(RawCall(Op::WavePinOpen, truncated).error, kErrorInvalidParameter);
    EXPECT_EQ(RawCall(Op::WavePinOpen, WaveOpenRequest(std::wstring(300, L'W'))).error,
              kErrorInvalidParameter);
    WireWriter tooMuch;
    tooMuch.U64(wave.value).U32((1u << 20) + 1);
    EXPECT_EQ(RawCall(Op::WavePinRead, tooMuch).error, kErrorInvalidParameter);

    // Closed once; the second close names nothing.
    WireWriter closeWave;
    closeWave.U64(wave.value);
    EXPECT_EQ(RawCall(Op::WavePinClose, closeWave).status, 0u);
    EXPECT_EQ(RawCall(Op::WavePinClose, closeWave).status, kStatusInvalidHandle);
}

TEST_F(AudioOverLinkTest, TheConnectionsEndClosesWhatItLeftOpen) {
    const Answer first = RawCall(Op::WavePinOpen, WaveOpenRequest(L"ZEL_Wave1"));
    ASSERT_EQ(first.status, 0u);
    WireWriter midiName;
    midiName.WString(L"ZEL_Midi1");
    ASSERT_EQ(RawCall(Op::MidiPortOpen, midiName).status, 0u);
    // The pin has one instance: a second client is turned away while the first holds it.
    std::unique_ptr<sim::audio::WavePin> second;
    ASSERT_EQ(static_cast<uint32_t>(sim::audio::WavePin::Open(
                  L"ZEL_Wave1", false, tools::PinFormat(48000, 2, 16, false), &second)),
              static_cast<uint32_t>(tools::kStatusPinBusy));

    ClientLink::Disconnect();  // without closing either
    ASSERT_TRUE(ConnectionsEnded());
    std::string error;
    ASSERT_TRUE(ClientLink::Connect(socket_, L"audio test again", &error)) << error;
    EXPECT_GE(sim::audio::WavePin::Open(L"ZEL_Wave1", false, tools::PinFormat(48000, 2, 16, false),
                                        &second),
              0);
    std::unique_ptr<sim::audio::MidiPort> port;
    EXPECT_GE(sim::audio::MidiPort::Open(L"ZEL_Midi1", &port), 0);
}

}  // namespace
}  // namespace q407
