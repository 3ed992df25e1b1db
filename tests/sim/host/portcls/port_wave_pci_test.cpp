// The wave-PCI port with a small fake miniport on the child device of a virtual unit: the master
// DMA channel on the bus interface's adapter, pins after intersection, mappings by tag from the
// client's bytes and room, the state walk, service at DISPATCH_LEVEL and removal while running.
#include "sim/host/portcls/port_wave_pci.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "shared/mixer_settings.h"
#include "sim/host/pool.h"
#include "sim/host/portcls/adapter.h"
#include "sim/host/portcls/dma_channel.h"
#include "sim/host/portcls/pin_intersection.h"
#include "sim/host/portcls/port_factories.h"
#include "sim/host/portcls/port_pool_tags.h"
#include "sim/host/verifier.h"
#include "tests/sim/host/portcls/fake_adapter_driver.h"
#include "tests/sim/host/portcls/fake_wave_pci_miniport.h"
#include "tools/device_rig.h"
#include "usbdriver/control/emulated_dma_adapter.h"

namespace q407::testing {
namespace {

using sim::portcls::PortWavePci;
using sim::portcls::WavePciPin;
using sim::portcls::WavePinFormat;

const WavePinFormat kStereo16{48000, 2, 16, false, 0x3};

// Pool of the ports, pins, service groups, fake miniports and common buffers.
std::string PortPoolLeft() {
    std::string left;
    for (const sim::PoolTagUsage& u : sim::Pool::Outstanding()) {
        const std::string tag = sim::TagText(u.tag);
        if (tag == "ZPwp" || tag == "ZPcb" || tag == "ZPdm" || tag == "ZPpc" || tag == "ZPsg" ||
            tag == "Tfwm" || tag == "Tfdm" || tag == "Ze11")
            left += tag + " ";
    }
    return left;
}

std::vector<uint8_t> Ramp(size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

class WavePciPort : public ::testing::Test {
  protected:
    void SetUp() override {
        rig_ = std::make_unique<tools::DeviceRig>(Options());
        std::string error;
        ASSERT_TRUE(tools::StartDeviceWithSettings(*rig_, DefaultMixerSettings(), &error)) << error;
        base_ = sim::portcls::ReferenceSubdevicePort(kFakeWaveName);
        wave_ = PortWavePci::FromBase(base_);
        ASSERT_NE(wave_, nullptr);
        miniport_ = FakeAdapterWaveMiniport();
    }
    void TearDown() override {
        for (WavePciPin* pin : pins_) {
            pin->Close();
            pin->Release();
        }
        if (base_ != nullptr) base_->ReleasePortReference();
        if (rig_ && !rig_->Removed()) {
            EXPECT_EQ(rig_->Remove(), STATUS_SUCCESS);
        }
        rig_.reset();
        EXPECT_EQ(PortPoolLeft(), "") << "the port, its pins or the miniport leaked";
    }
    static tools::DeviceRigOptions Options() {
        tools::DeviceRigOptions options;
        options.childDriver = FakeAdapterDriverEntry;
        return options;
    }

    WavePciPin* Open(bool capture, const WavePinFormat& format = kStereo16) {
        WavePciPin* pin = nullptr;
        EXPECT_EQ(wave_->OpenPin(capture, format, &pin), STATUS_SUCCESS);
        if (pin != nullptr) pins_.push_back(pin);
        return pin;
    }
    // What the engine does after each period: the miniport notifies with its stream's group.
    void Serve(ULONG pinId, int times) {
        PSERVICEGROUP group = FakeWaveStreamServiceGroup(miniport_, pinId);
        ASSERT_NE(group, nullptr);
        for (int i = 0; i < times; ++i) wave_->Notify(group);
    }

    std::unique_ptr<tools::DeviceRig> rig_;
    bool reset_ = (ResetFakeAdapter(), true);  // before the log is looked up
    FakeWaveLog& log_ = FakeAdapterWaveLog();
    PUNKNOWN miniport_ = nullptr;
    sim::portcls::PortBase* base_ = nullptr;
    PortWavePci* wave_ = nullptr;
    std::vector<WavePciPin*> pins_;
};

TEST_F(WavePciPort, TheMasterChannelComesFromTheBusInterfacesAdapter) {
    EXPECT_EQ(log_.dmaStatus, STATUS_SUCCESS);
    WavePciPin* pin = Open(false);
    ASSERT_NE(pin, nullptr);
    auto* channel = static_cast<sim::portcls::DmaChannel*>(pin->DmaChannelOfStream());
    ASSERT_NE(channel, nullptr);
    EXPECT_TRUE(channel->Description().Master);
    EXPECT_TRUE(channel->Description().ScatterGather);
    EXPECT_TRUE(channel->Description().Dma32BitAddresses);
    EXPECT_FALSE(channel->Description().Dma64BitAddresses);
    EXPECT_EQ(channel->GetAdapterObject(),
              reinterpret_cast<PADAPTER_OBJECT>(GetEmulatedDmaAdapter(nullptr, nullptr, nullptr)));
    // Its buffer is the adapter's common buffer, given back when freed.
    EXPECT_EQ(channel->AllocateBuffer(0, nullptr), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(channel->AllocateBuffer(2048, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sim::Pool::Usage(kCommonBufferPoolTag).allocations, 1u);
    EXPECT_EQ(channel->BufferSize(), 2048u);
    EXPECT_NE(channel->SystemAddress(), nullptr);
    channel->FreeBuffer();
    EXPECT_EQ(sim::Pool::Usage(kCommonBufferPoolTag).allocations, 0u);
}

TEST_F(WavePciPort, PlaybackMappingsFollowTheClientsBytesInTagOrderAtDispatchLevel) {
    WavePciPin* pin = Open(false);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->Framing().FrameSize, log_.framingBytes) << "the allocator framing is read";
    const auto bytes = Ramp(6000);
    EXPECT_EQ(pin->Write(bytes.data(), bytes.size()), bytes.size());
    EXPECT_EQ(pin->Queued(), 6000u);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    log_.bytesPerService = 1000;
    Serve(kFakePlaybackPin, 10);  // more services than the bytes last for

    std::lock_guard lock(log_.mutex);
    EXPECT_EQ(log_.played, bytes) << "every byte once, in order, nothing beyond";
    EXPECT_EQ(log_.mappingBytes, (std::vector<uint32_t>{4096, 1904}))
        << "a mapping covers at most a page and never runs past the client's bytes";
    EXPECT_EQ(log_.tagsReleased, (std::vector<uintptr_t>{1, 2}));
    EXPECT_EQ(log_.lowestServiceIrql, DISPATCH_LEVEL);
    EXPECT_EQ(log_.services, 10);
    EXPECT_EQ(pin->Services(), 10u);
    EXPECT_EQ(pin->Queued(), 0u) << "released mappings free the client's bytes";
}

TEST_F(WavePciPort, AStarvedMiniportHearsOfTheClientsNextBytes) {
    WavePciPin* pin = Open(false);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Serve(kFakePlaybackPin, 1);  // asks for a mapping, gets none
    {
        std::lock_guard lock(log_.mutex);
        EXPECT_TRUE(log_.mappingBytes.empty());
        EXPECT_EQ(log_.mappingAvailable, 0);
    }
    const auto bytes = Ramp(6);
    EXPECT_EQ(pin->Write(bytes.data(), 6), 6u);
    {
        std::lock_guard lock(log_.mutex);
        EXPECT_EQ(log_.mappingAvailable, 1) << "one whole frame arrived";
    }
    Serve(kFakePlaybackPin, 2);
    std::lock_guard lock(log_.mutex);
    EXPECT_EQ(log_.played, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4))
        << "the half frame stays with the client";
}

TEST_F(WavePciPort, RecordingFillsOnlyTheRoomTheClientLeft) {
    WavePciPin* pin = Open(true);
    ASSERT_NE(pin, nullptr);
    const size_t capacity = pin->ClientBuffer()->Capacity();
    ASSERT_GE(capacity, 8 * size_t(log_.framingBytes));
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    log_.bytesPerService = 4096;
    Serve(kFakeRecordingPin, static_cast<int>(capacity / 4096) + 4);
    {
        std::lock_guard lock(log_.mutex);
        EXPECT_EQ(log_.recorded, capacity) << "no mapping past the room the client provided";
    }
    EXPECT_EQ(pin->Queued(), capacity);

    std::vector<uint8_t> got(5000);
    EXPECT_EQ(pin->Read(got.data(), got.size()), got.size());
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], static_cast<uint8_t>(i)) << "byte " << i;
    {
        std::lock_guard lock(log_.mutex);
        EXPECT_EQ(log_.mappingAvailable, 1) << "the miniport hears of the new room";
    }
    Serve(kFakeRecordingPin, 4);
    std::lock_guard lock(log_.mutex);
    EXPECT_EQ(log_.recorded, capacity + 5000) << "exactly the 5000 bytes of room read free";
}

TEST_F(WavePciPort, StatesAreWalkedInOrderAndStopRevokesHeldMappings) {
    WavePciPin* pin = Open(false);
    ASSERT_NE(pin, nullptr);
    const auto bytes = Ramp(400);
    pin->Write(bytes.data(), bytes.size());
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    log_.bytesPerService = 100;
    Serve(kFakePlaybackPin, 1);  // a mapping of 400 bytes is held, 100 used
    EXPECT_EQ(pin->Position(), 100u);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    {
        std::lock_guard lock(log_.mutex);
        EXPECT_EQ(log_.states,
                  (std::vector<KSSTATE>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE,
                                        KSSTATE_ACQUIRE, KSSTATE_STOP}));
        EXPECT_EQ(log_.revokes, 1);
        log_.states.clear();
    }
    EXPECT_EQ(pin->Queued(), 0u) << "stopping discards what the client queued";

    // A refused step leaves the pin where it got to.
    log_.refusedState = KSSTATE_PAUSE;
    log_.refuseState = STATUS_INVALID_DEVICE_STATE;
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pin->State(), KSSTATE_ACQUIRE);
    std::lock_guard lock(log_.mutex);
    EXPECT_EQ(log_.states, (std::vector<KSSTATE>{KSSTATE_ACQUIRE, KSSTATE_PAUSE}));
}

TEST_F(WavePciPort, PinCreationHonoursInstanceLimitsIntersectionAndTheMiniportsAnswer) {
    WavePciPin* first = Open(false);
    ASSERT_NE(first, nullptr);
    WavePciPin* second = nullptr;
    EXPECT_EQ(wave_->OpenPin(false, kStereo16, &second), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(second, nullptr);
    // A closed pin frees its instance.
    first->Close();
    EXPECT_EQ(wave_->OpenPin(false, kStereo16, &second), STATUS_SUCCESS);
    pins_.push_back(second);

    const WavePinFormat tooFast{192000, 2, 16, false, 0x3};
    WavePciPin* pin = nullptr;
    EXPECT_EQ(wave_->OpenPin(true, tooFast, &pin), STATUS_NO_MATCH) << "the miniport's answer";
    log_.implementIntersection = false;
    EXPECT_EQ(wave_->OpenPin(true, tooFast, &pin), STATUS_NO_MATCH) << "the port's own";
    const WavePinFormat tooNarrow{48000, 2, 8, false, 0x3};
    EXPECT_EQ(wave_->OpenPin(true, tooNarrow, &pin), STATUS_NO_MATCH);
    log_.newStreamStatus = STATUS_INVALID_PARAMETER;
    EXPECT_EQ(wave_->OpenPin(true, kStereo16, &pin), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pin, nullptr);
    std::lock_guard lock(log_.mutex);
    EXPECT_EQ(log_.streamsAlive, 1);
}

TEST_F(WavePciPort, RemovalWhileAPinRunsClosesItAndLeavesNothing) {
    WavePciPin* playback = Open(false);
    WavePciPin* recording = Open(true);
    ASSERT_NE(playback, nullptr);
    ASSERT_NE(recording, nullptr);
    const auto bytes = Ramp(3000);
    playback->Write(bytes.data(), bytes.size());
    ASSERT_EQ(playback->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(recording->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Serve(kFakePlaybackPin, 2);
    log_.bytesPerService = 6000;
    Serve(kFakeRecordingPin, 2);  // two pages captured and released, a third one begun

    // The device goes while both pins run: the subdevice's end closes them. The client holds
    // only its pins, as the audio stack does.
    base_->ReleasePortReference();
    base_ = nullptr;
    wave_ = nullptr;
    EXPECT_EQ(rig_->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(sim::portcls::ReferenceSubdevicePort(kFakeWaveName), nullptr);
    EXPECT_TRUE(playback->Closed());
    EXPECT_TRUE(recording->Closed());
    {
        std::lock_guard lock(log_.mutex);
        EXPECT_EQ(log_.streamsAlive, 0);
        ASSERT_FALSE(log_.states.empty());
        EXPECT_EQ(log_.states.back(), KSSTATE_STOP);
    }
    EXPECT_EQ(playback->SetState(KSSTATE_RUN), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(playback->Write(bytes.data(), 4), 0u);
    EXPECT_EQ(playback->Position(), 0u);
    std::vector<uint8_t> got(16);
    EXPECT_EQ(recording->Read(got.data(), got.size()), 16u)
        << "what was captured before the removal stays the client's";
    EXPECT_EQ(recording->Queued(), 8192u - 16u) << "but not the revoked, unfinished page";
    // Nothing of the driver's is left although the client still holds its pins (the driver's
    // unload checks its pool); once it lets them go nothing of the port is left either
    // (TearDown).
}

}  // namespace
}  // namespace q407::testing
