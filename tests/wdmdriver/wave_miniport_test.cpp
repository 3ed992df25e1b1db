// The wave miniport through its interfaces: descriptions by subdevice, initialisation, stream
// creation limits, power notification, its properties and the engine's notification.
#include "wdmdriver/wave_miniport.h"

#include "wave_fixture.h"
#include "wdmdriver/wave_filter_descriptions.h"
#include "wdmdriver/wave_properties.h"

namespace q407::testing {
namespace {

using wdm::kWavePinPlayback;
using wdm::kWavePinRecording;

class WaveMiniportTest : public WaveFixture {};

const GUID* NodeType(const PCFILTER_DESCRIPTOR* filter, ULONG node) {
    return filter->Nodes[node].Type;
}

TEST_F(WaveMiniportTest, EachKindOfSubdeviceDescribesItsPinsNodesAndConnections) {
    ASSERT_EQ(CreateMiniport(2), STATUS_SUCCESS);
    PPCFILTER_DESCRIPTOR filter = nullptr;
    ASSERT_EQ(miniport_->GetDescription(&filter), STATUS_SUCCESS);
    ASSERT_EQ(filter->PinCount, 4u);
    ASSERT_EQ(filter->NodeCount, 2u);
    EXPECT_TRUE(IsEqualGUID(*NodeType(filter, 0), KSNODETYPE_DAC));
    EXPECT_TRUE(IsEqualGUID(*NodeType(filter, 1), KSNODETYPE_ADC));
    ASSERT_EQ(filter->ConnectionCount, 4u);
    // Playback: pin 0 -> DAC -> pin 1; recording: pin 3 -> ADC -> pin 2.
    EXPECT_EQ(filter->Connections[0].FromNode, PCFILTER_NODE);
    EXPECT_EQ(filter->Connections[0].FromNodePin, 0u);
    EXPECT_EQ(filter->Connections[0].ToNode, 0u);
    EXPECT_EQ(filter->Connections[1].ToNode, PCFILTER_NODE);
    EXPECT_EQ(filter->Connections[1].ToNodePin, 1u);
    EXPECT_EQ(filter->Connections[2].FromNodePin, 3u);
    EXPECT_EQ(filter->Connections[2].ToNode, 1u);
    EXPECT_EQ(filter->Connections[3].ToNodePin, 2u);
    // Streaming pins take one instance, bridge pins none.
    EXPECT_EQ(filter->Pins[0].MaxFilterInstanceCount, 1u);
    EXPECT_EQ(filter->Pins[2].MaxFilterInstanceCount, 1u);
    EXPECT_EQ(filter->Pins[1].MaxFilterInstanceCount, 0u);
    EXPECT_EQ(filter->Pins[0].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(filter->Pins[2].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_TRUE(IsEqualGUID(*filter->Pins[0].KsPinDescriptor.Name, wdm::kPlaybackPinName));
    EXPECT_TRUE(IsEqualGUID(*filter->Pins[2].KsPinDescriptor.Name, wdm::kRecordingPinName));
    const auto* range =
        reinterpret_cast<const KSDATARANGE_AUDIO*>(filter->Pins[0].KsPinDescriptor.DataRanges[0]);
    EXPECT_EQ(range->MaximumChannels, 8u);
    EXPECT_EQ(range->MinimumBitsPerSample, 16u);
    EXPECT_EQ(range->MaximumBitsPerSample, 32u);
    EXPECT_EQ(range->MinimumSampleFrequency, 44100u);
    EXPECT_EQ(range->MaximumSampleFrequency, 96000u);
    EXPECT_TRUE(IsEqualGUID(range->DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_TRUE(IsEqualGUID(filter->Pins[1].KsPinDescriptor.DataRanges[0]->SubFormat,
                            KSDATAFORMAT_SUBTYPE_ANALOG));

    const PCFILTER_DESCRIPTOR* recording = wdm::WaveFilterDescription(wdm::WaveKindOf(4));
    ASSERT_EQ(recording->NodeCount, 1u);
    EXPECT_TRUE(IsEqualGUID(*NodeType(recording, 0), KSNODETYPE_ADC));
    EXPECT_EQ(recording->ConnectionCount, 2u);
    // No streaming pin for a direction the kind does not carry.
    EXPECT_EQ(recording->Pins[0].KsPinDescriptor.Communication, KSPIN_COMMUNICATION_NONE);
    EXPECT_EQ(recording->Pins[2].KsPinDescriptor.Communication, KSPIN_COMMUNICATION_SINK);
    const PCFILTER_DESCRIPTOR* multichannel = wdm::WaveFilterDescription(wdm::WaveKindOf(8));
    ASSERT_EQ(multichannel->NodeCount, 1u);
    EXPECT_TRUE(IsEqualGUID(*NodeType(multichannel, 0), KSNODETYPE_DAC));
    EXPECT_EQ(multichannel->Pins[2].KsPinDescriptor.Communication, KSPIN_COMMUNICATION_NONE);
    EXPECT_EQ(multichannel->Pins[0].KsPinDescriptor.Communication, KSPIN_COMMUNICATION_SINK);
    EXPECT_EQ(wdm::WaveKindOf(7), wdm::WaveKind::RecordingOnly);
    EXPECT_EQ(wdm::WaveKindOf(3), wdm::WaveKind::PlaybackAndRecording);
}

TEST_F(WaveMiniportTest, InitFailsWithTheDmaChannelsStatusOrWithoutALinkRecord) {
    port_.dmaStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(CreateMiniport(0), STATUS_INSUFFICIENT_RESOURCES);
    miniport_->Release();
    miniport_ = nullptr;
    unknown_->Release();
    unknown_ = nullptr;

    port_.dmaStatus = STATUS_SUCCESS;
    ASSERT_EQ(wdm::CreateWaveMiniport(&unknown_), STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(unknown_->QueryInterface(IID_IMiniportWavePci, &object), STATUS_SUCCESS);
    miniport_ = static_cast<PMINIPORTWAVEPCI>(object);
    StreamLinkInterface truncated = link_.Record(0);
    truncated.size = 40;
    EXPECT_EQ(miniport_->Init(reinterpret_cast<PUNKNOWN>(&truncated), nullptr, &port_, nullptr),
              STATUS_INVALID_PARAMETER);
}

TEST_F(WaveMiniportTest, IntersectionAnswersAtTheDeviceRateTheLinkReports) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    link_.deviceRate = 96000;
    KSDATARANGE_AUDIO client = MakeAudioRange(2, 16, 16, 44100, 48000);
    KSDATARANGE_AUDIO own = *wdm::WavePinDataRange();
    std::vector<uint8_t> result(104);
    ULONG length = 0;
    ASSERT_EQ(miniport_->DataRangeIntersection(0, &client.DataRange, &own.DataRange, 104,
                                               result.data(), &length),
              STATUS_SUCCESS);
    WAVEFORMATEX wave;
    std::memcpy(&wave, result.data() + sizeof(KSDATAFORMAT), sizeof(wave));
    EXPECT_EQ(wave.nSamplesPerSec, 96000u);
    EXPECT_EQ(link_.CountOf(kLinkGetStreamRate), 1u);
}

TEST_F(WaveMiniportTest, EachPinTakesOneStreamAndTheSecondIsRefusedUntilTheFirstGoes) {
    ASSERT_EQ(CreateMiniport(1), STATUS_SUCCESS);
    StreamHandle* first = nullptr;
    StreamHandle* second = nullptr;
    StreamHandle* recording = nullptr;
    ASSERT_EQ(Open(false, {}, Ramp(64), {64}, &first), STATUS_SUCCESS);
    EXPECT_NE(first->dma, nullptr);
    EXPECT_NE(first->group, nullptr);
    EXPECT_EQ(Open(false, {}, Ramp(64), {64}, &second), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(second->stream, nullptr);
    ASSERT_EQ(Open(true, {}, Ramp(64), {64}, &recording), STATUS_SUCCESS);
    Close(first);
    StreamHandle* third = nullptr;
    EXPECT_EQ(Open(false, {}, Ramp(64), {64}, &third), STATUS_SUCCESS);
}

TEST_F(WaveMiniportTest, ASubdeviceRefusesTheDirectionItDoesNotCarryAndMismatchedPins) {
    ASSERT_EQ(CreateMiniport(5), STATUS_SUCCESS);
    EXPECT_EQ(Open(false, {}, Ramp(64), {64}, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Open(true, {}, Ramp(64), {64}, nullptr), STATUS_SUCCESS);
    PMINIPORTWAVEPCISTREAM stream = nullptr;
    PDMACHANNEL dma = nullptr;
    PSERVICEGROUP group = nullptr;
    FakePortStream portStream(Ramp(64), {64});
    std::vector<uint8_t> format = MakeFormat({});
    EXPECT_EQ(miniport_->NewStream(&stream, nullptr, NonPagedPool, &portStream, kWavePinPlayback,
                                   TRUE, AsFormat(format), &dma, &group),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream, nullptr);
}

TEST_F(WaveMiniportTest, MultichannelSubdeviceTakesEightChannelsAndStereoOnesOnlyTwo) {
    ASSERT_EQ(CreateMiniport(8), STATUS_SUCCESS);
    FormatSpec eight;
    eight.extensible = true;
    eight.channels = 8;
    EXPECT_EQ(Open(true, {}, Ramp(64), {64}, nullptr), STATUS_INVALID_PARAMETER);
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(false, eight, Ramp(64), {64}, &handle), STATUS_SUCCESS);
    LinkStreamFormatBlock block{};
    for (const LinkCall& call : link_.Calls())
        if (call.function == kLinkSetStreamFormat) std::memcpy(&block, call.words, sizeof(block));
    EXPECT_EQ(block.group, 8u);
    EXPECT_EQ(block.channels, 8u);
    EXPECT_EQ(block.bitsPerSample, 16u);
    EXPECT_EQ(block.compressed, 0u);
}

TEST_F(WaveMiniportTest, RefusedFormatGivesInvalidParameterAndLeavesThePinFree) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    EXPECT_EQ(Open(false, {1, 2, 48000, 24}, Ramp(64), {64}, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Open(false, {1, 2, 48000, 16}, Ramp(64), {64}, nullptr), STATUS_SUCCESS);
}

TEST_F(WaveMiniportTest, CreationAndEveryFormatChangeSignalFourPinAndFourNodeEvents) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(false, {}, Ramp(64), {64}, &handle), STATUS_SUCCESS);
    // Once from the stream's set-format, once more at creation.
    EXPECT_EQ(port_.pinEvents, 8);
    EXPECT_EQ(port_.nodeEvents, 8);
    std::vector<uint8_t> format = MakeFormat({1, 2, 48000, 32});
    ASSERT_EQ(handle->stream->SetFormat(AsFormat(format)), STATUS_SUCCESS);
    EXPECT_EQ(port_.pinEvents, 12);
    EXPECT_EQ(port_.nodeEvents, 12);
}

class WavePowerTest : public WaveMiniportTest {
  protected:
    void Notify(DEVICE_POWER_STATE state) {
        PVOID object = nullptr;
        ASSERT_EQ(unknown_->QueryInterface(IID_IPowerNotify, &object), STATUS_SUCCESS);
        auto* power = static_cast<PPOWERNOTIFY>(object);
        POWER_STATE value;
        value.DeviceState = state;
        power->PowerChangeNotify(value);
        power->Release();
    }
};

TEST_F(WavePowerTest, D3StopsTheEnginesStreamingOncePerChangeOfState) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    link_.openChannels.insert({0, 0});  // another WDM stream plays: it stops all the same
    Notify(PowerDeviceD3);
    EXPECT_EQ(link_.streamingStops, 1);
    Notify(PowerDeviceD3);  // no change
    EXPECT_EQ(link_.streamingStops, 1);
    Notify(PowerDeviceD2);
    Notify(PowerDeviceD0);
    EXPECT_EQ(link_.streamingStops, 1);
    Notify(static_cast<DEVICE_POWER_STATE>(7));  // not a D-state: ignored
    Notify(PowerDeviceD3);
    EXPECT_EQ(link_.streamingStops, 2);
    auto* wave = wdm::WaveMiniport::FromInterface(miniport_);
    EXPECT_EQ(wave->PowerState(), PowerDeviceD3);
}

TEST_F(WavePowerTest, D3LeavesStreamingOnWhileAnAsioHostStreams) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    link_.openChannels.insert({2, 1});  // ASIO inputs
    Notify(PowerDeviceD3);
    EXPECT_EQ(link_.streamingStops, 0);
    Notify(PowerDeviceD0);
    link_.openChannels = {{2, 0}};  // ASIO outputs
    Notify(PowerDeviceD3);
    EXPECT_EQ(link_.streamingStops, 0);
    Notify(PowerDeviceD0);
    link_.openChannels.clear();
    Notify(PowerDeviceD3);
    EXPECT_EQ(link_.streamingStops, 1);
}

class WavePropertyTest : public WaveMiniportTest {
  protected:
    NTSTATUS ChannelConfig(ULONG verb, ULONG mask, ULONG size = sizeof(ULONG)) {
        PCPROPERTY_REQUEST request{};
        request.MajorTarget = unknown_;
        request.Node = 0;
        request.Verb = verb;
        request.ValueSize = size;
        request.Value = &mask;
        return wdm::PropertyHandlerChannelConfig(&request);
    }
};

TEST_F(WavePropertyTest, ChannelConfigurationStoresKnownLayoutsOnly) {
    ASSERT_EQ(CreateMiniport(8), STATUS_SUCCESS);
    auto* wave = wdm::WaveMiniport::FromInterface(miniport_);
    EXPECT_EQ(wave->SpeakerMask(), 0x3u);
    EXPECT_EQ(wave->SpeakerChannels(), 2u);
    const struct {
        ULONG mask;
        ULONG channels;
    } accepted[] = {{0xFF, 8},  {0x63F, 8}, {0x70F, 7}, {0x3F, 6},
                    {0x60F, 6}, {0x33, 4},  {0x107, 4}, {0x3, 2}};
    for (const auto& entry : accepted) {
        ASSERT_EQ(ChannelConfig(KSPROPERTY_TYPE_SET, entry.mask), STATUS_SUCCESS) << entry.mask;
        EXPECT_EQ(wave->SpeakerMask(), entry.mask);
        EXPECT_EQ(wave->SpeakerChannels(), entry.channels);
    }
    EXPECT_EQ(ChannelConfig(KSPROPERTY_TYPE_SET, 0x7), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ChannelConfig(KSPROPERTY_TYPE_GET, 0x3F), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ChannelConfig(KSPROPERTY_TYPE_SET, 0x3F, 3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(wave->SpeakerMask(), 0x3u);  // the refused requests changed nothing
}

TEST_F(WavePropertyTest, ComponentIdAnswersItsSizeThenItsValue) {
    PCPROPERTY_REQUEST request{};
    request.Verb = KSPROPERTY_TYPE_GET;
    request.ValueSize = 0;
    EXPECT_EQ(wdm::PropertyHandlerComponentId(&request), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(request.ValueSize, sizeof(KSCOMPONENTID));
    KSCOMPONENTID id{};
    request.Value = &id;
    request.ValueSize = sizeof(id) - 1;
    EXPECT_EQ(wdm::PropertyHandlerComponentId(&request), STATUS_BUFFER_TOO_SMALL);
    request.ValueSize = sizeof(id);
    ASSERT_EQ(wdm::PropertyHandlerComponentId(&request), STATUS_SUCCESS);
    const GUID manufacturer = {
        0xD5A47FA8, 0x6D98, 0x11D1, {0xA2, 0x1A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
    EXPECT_TRUE(IsEqualGUID(id.Manufacturer, manufacturer));
    EXPECT_TRUE(IsEqualGUID(id.Component, GUID_NULL));
    EXPECT_EQ(id.Name.Data1, 0xB9A541A2u);
    EXPECT_EQ(id.Product.Data1, 0xE64F2B7Fu);
    EXPECT_EQ(id.Version, 1u);
    EXPECT_EQ(id.Revision, 2u);
}

TEST_F(WaveMiniportTest, EngineNotificationReachesThePortOnlyForARunningStreamsPin) {
    ASSERT_EQ(CreateMiniport(3), STATUS_SUCCESS);
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(false, {}, Ramp(4096), {1024}, &handle), STATUS_SUCCESS);
    auto* wave = wdm::WaveMiniport::FromInterface(miniport_);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    wdm::WaveMiniport::StreamNotification(0, 0, wave);
    KeLowerIrql(irql);
    EXPECT_TRUE(port_.notified.empty());  // stopped: no group in the slot
    ASSERT_EQ(handle->stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(link_.callbackDirection, 0u);
    EXPECT_EQ(link_.callbackSubdevice, 3u);
    EXPECT_EQ(link_.callbackPin, 0u);
    EXPECT_EQ(link_.callbackContext, static_cast<PVOID>(wave));
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    link_.Notify(0);
    wdm::WaveMiniport::StreamNotification(1, 2, wave);  // no recording stream
    wdm::WaveMiniport::StreamNotification(0, 9, wave);  // no such pin
    KeLowerIrql(irql);
    ASSERT_EQ(port_.notified.size(), 1u);
    EXPECT_EQ(port_.notified[0], handle->group);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

}  // namespace
}  // namespace q407::testing
