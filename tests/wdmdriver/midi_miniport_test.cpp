// The MIDI miniport: its filter, initialisation with the port and service group, the stream
// limits and what opening and closing streams sends over the link, the synthesizer properties,
// and the removal notice after which nothing crosses the link.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/wdmdriver/midi_test_bench.h"
#include "wdmdriver/topology_miniport.h"

namespace q407::testing {
namespace {

constexpr ULONG kSynthPropertyCaps = KSPROPERTY_SYNTH_CAPS;
constexpr ULONG kSynthPropertyPortParameters = KSPROPERTY_SYNTH_PORTPARAMETERS;
constexpr ULONG kSynthPropertyChannelGroups = KSPROPERTY_SYNTH_CHANNELGROUPS;
constexpr ULONG kSynthPropertyLatencyClock = KSPROPERTY_SYNTH_LATENCYCLOCK;

class MidiMiniportTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_EQ(sim::Pool::LeakReport(), ""); }

    // A synthesizer property request through the node's own handler.
    static NTSTATUS Synth(MidiBench& bench, ULONG id, ULONG verb, ULONG node, void* value,
                          ULONG* valueSize, PUNKNOWN stream = nullptr, void* instance = nullptr,
                          ULONG instanceSize = 0) {
        PPCFILTER_DESCRIPTOR filter = nullptr;
        EXPECT_EQ(bench.miniport->GetDescription(&filter), STATUS_SUCCESS);
        const PCAUTOMATION_TABLE* table = filter->Nodes[node].AutomationTable;
        const PCPROPERTY_ITEM* item = nullptr;
        for (ULONG i = 0; table != nullptr && i < table->PropertyCount; ++i)
            if (IsEqualGUID(*table->Properties[i].Set, KSPROPSETID_Synth) &&
                table->Properties[i].Id == id)
                item = &table->Properties[i];
        if (item == nullptr) return STATUS_NOT_SUPPORTED;
        PCPROPERTY_REQUEST request{};
        request.MajorTarget = bench.Unknown();
        request.MinorTarget = stream;
        request.Node = node;
        request.PropertyItem = item;
        request.Verb = verb;
        request.Instance = instance;
        request.InstanceSize = instanceSize;
        request.Value = value;
        request.ValueSize = *valueSize;
        const NTSTATUS status = item->Handler(&request);
        *valueSize = request.ValueSize;
        return status;
    }

    sim::Machine machine_;
};

TEST_F(MidiMiniportTest, FilterPinsNodesAndConnections) {
    MidiBench bench;
    PPCFILTER_DESCRIPTOR filter = nullptr;
    ASSERT_EQ(bench.miniport->GetDescription(&filter), STATUS_SUCCESS);
    ASSERT_EQ(filter->PinCount, 5u);
    ASSERT_EQ(filter->NodeCount, 2u);
    ASSERT_EQ(filter->ConnectionCount, 5u);
    EXPECT_EQ(filter->CategoryCount, 3u);
    const ULONG streaming[] = {0, 1, 4};
    for (ULONG pin : streaming) {
        EXPECT_EQ(filter->Pins[pin].MaxFilterInstanceCount, 1u) << pin;
        EXPECT_EQ(filter->Pins[pin].KsPinDescriptor.Communication, KSPIN_COMMUNICATION_SINK);
        EXPECT_NE(filter->Pins[pin].KsPinDescriptor.Name, nullptr);
    }
    EXPECT_EQ(filter->Pins[2].KsPinDescriptor.Communication, KSPIN_COMMUNICATION_BRIDGE);
    EXPECT_EQ(filter->Pins[3].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(filter->Pins[4].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
    ASSERT_EQ(filter->Pins[4].KsPinDescriptor.DataRangesCount, 2u);
    // The streaming ranges are music ranges of the external-port technology, all 16 channels.
    const auto* music =
        reinterpret_cast<const KSDATARANGE_MUSIC*>(filter->Pins[0].KsPinDescriptor.DataRanges[0]);
    EXPECT_EQ(music->DataRange.FormatSize, sizeof(KSDATARANGE_MUSIC));
    EXPECT_EQ(music->ChannelMask, 0xFFFFu);
    EXPECT_EQ(music->Technology.Data1, 0x86C92E60u);
    // pin 3 -> node 1 -> pin 4
    EXPECT_EQ(filter->Connections[3].FromNodePin, 3u);
    EXPECT_EQ(filter->Connections[3].ToNode, 1u);
    EXPECT_EQ(filter->Connections[4].FromNode, 1u);
    EXPECT_EQ(filter->Connections[4].ToNodePin, 4u);
}

TEST_F(MidiMiniportTest, InitRegistersAServiceGroupAndHoldsThePort) {
    MidiBench bench;
    ASSERT_EQ(bench.initStatus, STATUS_SUCCESS);
    ASSERT_NE(bench.group, nullptr);
    EXPECT_EQ(bench.port.registered, bench.group);
    EXPECT_EQ(bench.port.References(), 1);
    EXPECT_EQ(bench.miniport->DataRangeIntersection(0, nullptr, nullptr, 0, nullptr, nullptr),
              STATUS_NOT_IMPLEMENTED);
    PSERVICEGROUP again = nullptr;
    EXPECT_EQ(bench.miniport->Init(bench.link.AdapterObject(), nullptr, &bench.port, &again),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(again, nullptr);

    PVOID object = nullptr;
    ASSERT_EQ(bench.miniport->QueryInterface(IID_IPowerNotify, &object), STATUS_SUCCESS);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    static_cast<PPOWERNOTIFY>(object)->PowerChangeNotify(state);
    EXPECT_EQ(wdm::MidiPowerState(bench.Unknown()), PowerDeviceD3);
    static_cast<PPOWERNOTIFY>(object)->Release();

    bench.ReleaseAll();
    EXPECT_EQ(bench.port.References(), 0);
}

TEST_F(MidiMiniportTest, InitWithoutALinkRecordFails) {
    MidiBench bench(/*init=*/false);
    PSERVICEGROUP group = nullptr;
    EXPECT_EQ(bench.miniport->Init(nullptr, nullptr, &bench.port, &group),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(group, nullptr);
    EXPECT_EQ(bench.port.References(), 0);
}

TEST_F(MidiMiniportTest, RunBeforeInitIsRefused) {
    MidiBench bench(/*init=*/false);
    PMXF stream = nullptr;
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &stream), STATUS_SUCCESS);
    EXPECT_EQ(stream->SetState(KSSTATE_RUN), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(bench.link.CallCount(), 0u);  // no link copied, none called
}

TEST_F(MidiMiniportTest, TwoRenderStreamsOneCaptureStreamAndNoWaveSink) {
    MidiBench bench;
    PMXF first = nullptr, second = nullptr, third = nullptr, capture = nullptr, extra = nullptr;
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &first), STATUS_SUCCESS);
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &second), STATUS_SUCCESS);
    EXPECT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &third), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(third, nullptr);
    PSERVICEGROUP group = nullptr;
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_CAPTURE, &capture, &group), STATUS_SUCCESS);
    EXPECT_EQ(group, bench.group);  // the capture stream is serviced through the miniport's group
    if (group != nullptr) group->Release();
    EXPECT_EQ(bench.Open(DMUS_STREAM_MIDI_CAPTURE, &extra), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(bench.Open(DMUS_STREAM_WAVE_SINK, &extra), STATUS_INVALID_DEVICE_REQUEST);

    // Opening: the engine's MIDI port for output twice, then input with its notification.
    auto opens = bench.link.CallsOf(kLinkOpenMidiInput);
    ASSERT_EQ(opens.size(), 3u);
    EXPECT_EQ(opens[0].words[1], 1u);
    EXPECT_EQ(opens[0].words[2], 0u);
    EXPECT_EQ(opens[2].words[1], 1u);
    EXPECT_EQ(opens[2].words[2], 1u);
    ASSERT_EQ(bench.link.CallsOf(kLinkRegisterMidiInNotify).size(), 1u);

    // A closed render stream makes room for another.
    bench.Close(second);
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &third), STATUS_SUCCESS);
    bench.Close(capture);
    auto notifies = bench.link.CallsOf(kLinkRegisterMidiInNotify);
    ASSERT_EQ(notifies.size(), 2u);
    EXPECT_EQ(notifies[1].Word64(2), 0u);  // unregistered: callback and context zero
    EXPECT_EQ(notifies[1].Word64(4), 0u);
    opens = bench.link.CallsOf(kLinkOpenMidiInput);
    EXPECT_EQ(opens.back().words[1], 0u);  // closed
    EXPECT_EQ(opens.back().words[2], 1u);  // with the input flag it was opened with
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_CAPTURE, &capture), STATUS_SUCCESS);
}

TEST_F(MidiMiniportTest, AfterTheRemovalNoticeNothingCrossesTheLink) {
    MidiBench bench;
    FakeSink sink(&bench.allocator);
    PMXF render = nullptr, capture = nullptr;
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &render), STATUS_SUCCESS);
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_CAPTURE, &capture), STATUS_SUCCESS);
    ASSERT_EQ(capture->ConnectOutput(&sink), STATUS_SUCCESS);
    ASSERT_EQ(render->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(capture->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    machine_.RunFor(sim::kTicksPerMillisecond);
    bench.port.captureStream = capture;
    bench.link.QueueIn({0x90, 0x3C});

    auto callback = bench.link.RegisteredCallback();
    ASSERT_NE(callback, nullptr);
    const size_t before = bench.link.CallCount();
    callback(1, 0, bench.link.RegisteredContext(), wdm::kMidiInputDeviceRemoved);
    EXPECT_EQ(bench.port.notifications.load(), 1);  // the port still hears of it
    EXPECT_EQ(bench.link.CallCount(), before);      // but its pull read nothing

    ASSERT_EQ(render->PutMessage(bench.allocator.MakeEvent({0xC0, 0x01})), STATUS_SUCCESS);
    machine_.RunFor(10 * sim::kTicksPerMillisecond);
    EXPECT_EQ(capture->PutMessage(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(render->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    bench.Close(render);
    bench.Close(capture);
    EXPECT_EQ(bench.link.CallCount(), before);
    EXPECT_TRUE(bench.link.Written().empty());
    EXPECT_EQ(bench.allocator.Outstanding(), 0u);
    EXPECT_TRUE(sink.received.empty());
}

// --- Synthesizer properties ----------------------------------------------------------------------

TEST_F(MidiMiniportTest, CapabilitiesDescribeAnExternalPortPerNode) {
    MidiBench bench;
    SYNTHCAPS caps;
    ULONG size = 0;
    EXPECT_EQ(Synth(bench, kSynthPropertyCaps, KSPROPERTY_TYPE_GET, 0, &caps, &size),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 296u);
    size = 295;
    EXPECT_EQ(Synth(bench, kSynthPropertyCaps, KSPROPERTY_TYPE_GET, 0, &caps, &size),
              STATUS_BUFFER_TOO_SMALL);
    size = sizeof(caps);
    EXPECT_EQ(Synth(bench, kSynthPropertyCaps, KSPROPERTY_TYPE_SET, 0, &caps, &size),
              STATUS_INVALID_DEVICE_REQUEST);

    std::memset(&caps, 0xEE, sizeof(caps));
    ASSERT_EQ(Synth(bench, kSynthPropertyCaps, KSPROPERTY_TYPE_GET, 0, &caps, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(caps.Guid.Data1, 0xD3F0CE1Cu);
    EXPECT_EQ(caps.Flags, 2u);
    EXPECT_EQ(caps.MemorySize, 0u);
    EXPECT_EQ(caps.MaxChannelGroups, 1u);
    EXPECT_EQ(caps.MaxVoices, 0xFFFFFFFFu);
    EXPECT_EQ(caps.MaxAudioChannels, 0xFFFFFFFFu);
    EXPECT_EQ(caps.EffectFlags, 0u);
    const char out[] = "DMusic MPU-401 Out";
    for (size_t i = 0; i < sizeof(out); ++i) EXPECT_EQ(int(caps.Description[i]), int(out[i])) << i;

    ASSERT_EQ(Synth(bench, kSynthPropertyCaps, KSPROPERTY_TYPE_GET, 1, &caps, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(caps.Guid.Data1, 0xD3F0CE1Du);
    const char in[] = "DMusic MPU-401 In";
    for (size_t i = 0; i < sizeof(in); ++i) EXPECT_EQ(int(caps.Description[i]), int(in[i])) << i;
}

TEST_F(MidiMiniportTest, PortParametersKeepOnlyOneChannelGroup) {
    MidiBench bench;
    SYNTH_PORTPARAMS asked{0xFF, 32, 16, 2, 44100, 0x3, 1};
    SYNTH_PORTPARAMS answer{};
    ULONG size = sizeof(answer);
    ASSERT_EQ(Synth(bench, kSynthPropertyPortParameters, KSPROPERTY_TYPE_GET, 0, &answer, &size,
                    nullptr, &asked, sizeof(asked)),
              STATUS_SUCCESS);
    EXPECT_EQ(size, 28u);
    EXPECT_EQ(answer.ValidParams, 0x2u);
    EXPECT_EQ(answer.ChannelGroups, 1u);
    EXPECT_EQ(answer.Voices, 32u);
    EXPECT_EQ(answer.SampleRate, 44100u);
    EXPECT_EQ(answer.Share, 1u);
    // A request that does not carry the caller's parameters is refused.
    EXPECT_EQ(Synth(bench, kSynthPropertyPortParameters, KSPROPERTY_TYPE_GET, 0, &answer, &size,
                    nullptr, &asked, 27),
              STATUS_INVALID_PARAMETER);
    size = 0;
    EXPECT_EQ(Synth(bench, kSynthPropertyPortParameters, KSPROPERTY_TYPE_GET, 0, &answer, &size,
                    nullptr, &asked, sizeof(asked)),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 28u);
}

TEST_F(MidiMiniportTest, ChannelGroupsAndTheLatencyClock) {
    MidiBench bench;
    ULONG groups = 0;
    ULONG size = sizeof(groups);
    ASSERT_EQ(Synth(bench, kSynthPropertyChannelGroups, KSPROPERTY_TYPE_GET, 0, &groups, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(groups, 1u);
    groups = 1;
    EXPECT_EQ(Synth(bench, kSynthPropertyChannelGroups, KSPROPERTY_TYPE_SET, 0, &groups, &size),
              STATUS_SUCCESS);
    groups = 4;
    EXPECT_EQ(Synth(bench, kSynthPropertyChannelGroups, KSPROPERTY_TYPE_SET, 0, &groups, &size),
              STATUS_INVALID_PARAMETER);

    REFERENCE_TIME now = 0;
    size = sizeof(now);
    EXPECT_EQ(Synth(bench, kSynthPropertyLatencyClock, KSPROPERTY_TYPE_GET, 0, &now, &size),
              STATUS_INVALID_DEVICE_REQUEST);  // no stream
    PMXF stream = nullptr;
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &stream), STATUS_SUCCESS);
    bench.clock.now = 987654321;
    ASSERT_EQ(Synth(bench, kSynthPropertyLatencyClock, KSPROPERTY_TYPE_GET, 0, &now, &size, stream),
              STATUS_SUCCESS);
    EXPECT_EQ(now, 987654321);
    EXPECT_EQ(size, 8u);
    size = 4;
    EXPECT_EQ(Synth(bench, kSynthPropertyLatencyClock, KSPROPERTY_TYPE_GET, 0, &now, &size, stream),
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(MidiMiniportTest, BasicSupportAnswersAccessFlags) {
    MidiBench bench;
    struct Expectation {
        ULONG id;
        ULONG access;
    };
    const Expectation expectations[] = {{kSynthPropertyCaps, 0x201},
                                        {kSynthPropertyChannelGroups, 0x203},
                                        {kSynthPropertyLatencyClock, 0x200}};
    for (const Expectation& e : expectations) {
        ULONG access = 0;
        ULONG size = sizeof(access);
        ASSERT_EQ(Synth(bench, e.id, KSPROPERTY_TYPE_BASICSUPPORT, 1, &access, &size),
                  STATUS_SUCCESS)
            << e.id;
        EXPECT_EQ(access, e.access) << e.id;
    }
    ULONG access = 0;
    ULONG size = sizeof(access);
    EXPECT_EQ(
        Synth(bench, kSynthPropertyPortParameters, KSPROPERTY_TYPE_BASICSUPPORT, 0, &access, &size),
        STATUS_INVALID_DEVICE_REQUEST);  // only with a stream
    PMXF stream = nullptr;
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_CAPTURE, &stream), STATUS_SUCCESS);
    ASSERT_EQ(Synth(bench, kSynthPropertyPortParameters, KSPROPERTY_TYPE_BASICSUPPORT, 0, &access,
                    &size, stream),
              STATUS_SUCCESS);
    EXPECT_EQ(access, 0x201u);
}

TEST_F(MidiMiniportTest, ServiceEmptiesTheInputBufferOnlyWithoutACaptureStream) {
    MidiBench bench;
    PMXF capture = nullptr;
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_CAPTURE, &capture), STATUS_SUCCESS);
    ASSERT_EQ(capture->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    bench.link.QueueIn({1, 2, 3, 4});
    bench.allocator.LimitAvailable(0);
    EXPECT_EQ(capture->PutMessage(nullptr), STATUS_INSUFFICIENT_RESOURCES);
    bench.miniport->Service();
    EXPECT_EQ(wdm::MidiInputBytesBuffered(bench.Unknown()), 4u);
    bench.Close(capture);
    EXPECT_EQ(wdm::MidiInputBytesBuffered(bench.Unknown()), 4u);
    bench.miniport->Service();
    EXPECT_EQ(wdm::MidiInputBytesBuffered(bench.Unknown()), 0u);
}

}  // namespace
}  // namespace q407::testing

namespace q407::testing {
namespace {

TEST_F(MidiMiniportTest, LowResourcesFailCreationCleanlyAndKeepTheCounts) {
    MidiBench bench;
    const ULONG streamTag = POOL_TAG("ZwMs");
    sim::Pool::FailTag(streamTag);
    PMXF stream = nullptr;
    EXPECT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &stream), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(bench.Open(DMUS_STREAM_MIDI_CAPTURE, &stream), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(bench.link.CallCount(), 0u);   // nothing opened for a stream that never was
    EXPECT_EQ(bench.clock.References(), 1);  // the miniport keeps the clock it was handed
    sim::Pool::ClearFailures();
    // The refused streams left no count behind.
    PMXF first = nullptr, second = nullptr, capture = nullptr;
    EXPECT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &first), STATUS_SUCCESS);
    EXPECT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &second), STATUS_SUCCESS);
    EXPECT_EQ(bench.Open(DMUS_STREAM_MIDI_CAPTURE, &capture), STATUS_SUCCESS);

    PUNKNOWN unknown = nullptr;
    sim::Pool::FailAllocationNumber(1);
    EXPECT_EQ(wdm::CreateMidiMiniport(&unknown), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(unknown, nullptr);
    sim::Pool::FailAllocationNumber(1);
    EXPECT_EQ(wdm::CreateTopologyMiniport(&unknown), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(unknown, nullptr);
}

}  // namespace
}  // namespace q407::testing
