// User mode's wave pins and MIDI port, opened by subdevice name from an emulated process on a
// port-class adapter with the fake miniports: the statuses a client sees, streaming through the
// pins, and a device pulled out while a pin plays.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "shared/mixer_settings.h"
#include "sim/host/pool.h"
#include "sim/host/portcls/audio_client.h"
#include "sim/host/process.h"
#include "sim/host/verifier.h"
#include "tests/sim/host/portcls/fake_adapter_driver.h"
#include "tools/device_rig.h"

namespace q407::testing {
namespace {

using sim::audio::MidiPort;
using sim::audio::PinState;
using sim::audio::WaveFormat;
using sim::audio::WavePin;

const WaveFormat kStereo16{48000, 2, 16, false, 0x3};

std::string PortPoolLeft() {
    std::string left;
    for (const sim::PoolTagUsage& u : sim::Pool::Outstanding()) {
        const std::string tag = sim::TagText(u.tag);
        if (tag.rfind("ZP", 0) == 0 || tag == "Tfwm" || tag == "Tfdm") left += tag + " ";
    }
    return left;
}

class AudioStreams : public ::testing::Test {
  protected:
    void SetUp() override {
        tools::DeviceRigOptions options;
        options.childDriver = FakeAdapterDriverEntry;
        rig_ = std::make_unique<tools::DeviceRig>(options);
        std::string error;
        ASSERT_TRUE(tools::StartDeviceWithSettings(*rig_, DefaultMixerSettings(), &error)) << error;
        process_ = std::make_unique<sim::Process>("audio client");
        scope_ = std::make_unique<sim::Process::Scope>(*process_);
    }
    void TearDown() override {
        scope_.reset();
        process_.reset();
        if (rig_ && !rig_->Removed()) {
            EXPECT_EQ(rig_->Remove(), STATUS_SUCCESS);
        }
        rig_.reset();
        EXPECT_EQ(PortPoolLeft(), "");
    }
    // The engine's period: the miniport notifies its port with the stream's group.
    void ServeWave(ULONG pin, int times) {
        PSERVICEGROUP group = FakeWaveStreamServiceGroup(FakeAdapterWaveMiniport(), pin);
        ASSERT_NE(group, nullptr);
        for (int i = 0; i < times; ++i) group->RequestService();
    }

    bool reset_ = (ResetFakeAdapter(), true);  // before the logs are looked up
    FakeWaveLog& wave_ = FakeAdapterWaveLog();
    FakeMidiLog& midi_ = FakeAdapterMidiLog();
    std::unique_ptr<tools::DeviceRig> rig_;
    std::unique_ptr<sim::Process> process_;
    std::unique_ptr<sim::Process::Scope> scope_;
};

TEST_F(AudioStreams, StatusesForBusyRefusedAndUnknownDevices) {
    std::unique_ptr<WavePin> pin;
    ASSERT_EQ(WavePin::Open(kFakeWaveName, false, kStereo16, &pin), STATUS_SUCCESS);
    std::unique_ptr<WavePin> second;
    EXPECT_EQ(WavePin::Open(kFakeWaveName, false, kStereo16, &second),
              static_cast<int32_t>(0xC000009A));
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(WavePin::Open(L"ZEL_Wave7", false, kStereo16, &second), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(WavePin::Open(kFakeMidiName, false, kStereo16, &second),
              STATUS_INVALID_DEVICE_REQUEST);
    wave_.newStreamStatus = static_cast<NTSTATUS>(0xC000000D);
    EXPECT_EQ(WavePin::Open(kFakeWaveName, true, kStereo16, &second),
              static_cast<int32_t>(0xC000000D))
        << "the miniport's refusal reaches the client";
    pin.reset();
    std::lock_guard lock(wave_.mutex);
    EXPECT_EQ(wave_.streamsAlive, 0) << "closing the pin released the stream";
    EXPECT_TRUE(wave_.states.empty()) << "a pin that never ran needs no state walk to close";
}

TEST_F(AudioStreams, PlaybackAndRecordingMoveTheClientsBytes) {
    std::unique_ptr<WavePin> play;
    std::unique_ptr<WavePin> record;
    ASSERT_EQ(WavePin::Open(kFakeWaveName, false, kStereo16, &play), STATUS_SUCCESS);
    ASSERT_EQ(WavePin::Open(kFakeWaveName, true, kStereo16, &record), STATUS_SUCCESS);
    std::vector<uint8_t> bytes(2000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13);
    EXPECT_EQ(play->Write(bytes.data(), bytes.size()), bytes.size());
    EXPECT_EQ(play->Queued(), bytes.size());
    EXPECT_EQ(play->SetState(PinState::Run), STATUS_SUCCESS);
    EXPECT_EQ(record->SetState(PinState::Run), STATUS_SUCCESS);
    wave_.bytesPerService = 1000;
    ServeWave(kFakePlaybackPin, 2);
    ServeWave(kFakeRecordingPin, 5);  // 5000 bytes: one page released
    EXPECT_EQ(play->Queued(), 0u);
    EXPECT_EQ(play->Position(), 2000u);
    std::vector<uint8_t> got(8192);
    EXPECT_EQ(record->Read(got.data(), got.size()), 4096u);
    EXPECT_EQ(got[4095], static_cast<uint8_t>(4095));
    std::lock_guard lock(wave_.mutex);
    EXPECT_EQ(wave_.played, bytes);
}

TEST_F(AudioStreams, TheMidiPortSendsAndReceivesThroughItsStreams) {
    std::unique_ptr<MidiPort> midi;
    ASSERT_EQ(MidiPort::Open(kFakeMidiName, &midi), STATUS_SUCCESS);
    std::unique_ptr<MidiPort> second;
    EXPECT_EQ(MidiPort::Open(kFakeMidiName, &second), static_cast<int32_t>(0xC000009A));
    const std::vector<uint8_t> message = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7, 0x90, 0x40, 0x7F};
    EXPECT_EQ(midi->Send(message.data(), message.size()), STATUS_SUCCESS);
    {
        std::lock_guard lock(midi_.mutex);
        EXPECT_EQ(midi_.rendered, message);
        ASSERT_FALSE(midi_.renderStates.empty());
        EXPECT_EQ(midi_.renderStates.back(), KSSTATE_RUN) << "the port runs from the start";
        midi_.input.assign({0xB0, 0x07, 0x64});
    }
    FakeDmusServiceGroup(FakeAdapterMidiMiniport())->RequestService();
    std::vector<uint8_t> got;
    EXPECT_EQ(midi->Receive(&got), 3u);
    EXPECT_EQ(got, (std::vector<uint8_t>{0xB0, 0x07, 0x64}));
    midi.reset();
    std::lock_guard lock(midi_.mutex);
    EXPECT_EQ(midi_.streamsAlive, 0);
}

TEST_F(AudioStreams, UnplugWhileAPinPlaysEndsItAndLeavesNothing) {
    std::unique_ptr<WavePin> play;
    ASSERT_EQ(WavePin::Open(kFakeWaveName, false, kStereo16, &play), STATUS_SUCCESS);
    std::vector<uint8_t> bytes(3000, 0x55);
    play->Write(bytes.data(), bytes.size());
    ASSERT_EQ(play->SetState(PinState::Run), STATUS_SUCCESS);
    ServeWave(kFakePlaybackPin, 1);
    rig_->Unplug();
    EXPECT_TRUE(rig_->Removed()) << "no client held a handle: removal followed at once";
    EXPECT_EQ(play->SetState(PinState::Pause), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(play->Write(bytes.data(), bytes.size()), 0u);
    EXPECT_EQ(play->Position(), 0u);
    {
        std::lock_guard lock(wave_.mutex);
        EXPECT_EQ(wave_.streamsAlive, 0);
    }
    std::unique_ptr<WavePin> late;
    EXPECT_EQ(WavePin::Open(kFakeWaveName, false, kStereo16, &late), STATUS_NO_SUCH_DEVICE);
    play.reset();
    EXPECT_EQ(PortPoolLeft(), "");
}

}  // namespace
}  // namespace q407::testing
