// The mixer miniport: each subdevice's description (pins, names, nodes, connections and which
// nodes carry the mute property), the physical-connection table, and the mute property's answers
// with what it sends over the link.
#include "wdmdriver/topology_miniport.h"

#include <gtest/gtest.h>

#include <cstring>

#include "sim/host/machine.h"
#include "tests/wdmdriver/miniport_fakes.h"

namespace q407::testing {
namespace {

using wdm::CreateTopologyMiniport;
using wdm::TopologyConnectionTable;
using wdm::TopologyMute;

constexpr GUID kAudioSet = {
    0x45FFAAA0, 0x6E1B, 0x11D0, {0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr ULONG kMuteId = 13;
constexpr GUID kLineConnector = {
    0xDFF21FE3, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kSpeaker = {
    0xDFF21CE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kLineName3 = {
    0xA5BA3BA4, 0x2A2E, 0x48D6, {0x83, 0xB4, 0x5D, 0x81, 0x0D, 0xB2, 0x55, 0x64}};
constexpr GUID kLineName4 = {
    0xEAD27079, 0x38FE, 0x4994, {0xB7, 0xAD, 0xFB, 0x41, 0x63, 0xE8, 0xE9, 0xCD}};
constexpr GUID kLineName7 = {
    0x0A1BDD7C, 0x0C3C, 0x419A, {0x93, 0x6E, 0x64, 0xC9, 0x31, 0x8E, 0xEA, 0x3A}};
constexpr GUID kLineName8 = {
    0x766EB1BE, 0x84F1, 0x4F65, {0xAB, 0x21, 0x34, 0xC6, 0xA9, 0xC9, 0xE4, 0xF5}};

bool Same(const GUID* a, const GUID& b) {
    return a != nullptr && IsEqualGUID(*a, b);
}

// One mixer subdevice made and initialised as the adapter does it.
class Mixer {
  public:
    explicit Mixer(ULONG index, bool offerEvents = true) : link(index) {
        port.offerEvents = offerEvents;
        PUNKNOWN unknown = nullptr;
        created = CreateTopologyMiniport(&unknown);
        if (!NT_SUCCESS(created)) return;
        unknown_ = unknown;
        created =
            unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&miniport));
        if (!NT_SUCCESS(created)) return;
        initialised = miniport->Init(link.AdapterObject(), nullptr, &port);
        if (NT_SUCCESS(initialised)) miniport->GetDescription(&description);
    }
    ~Mixer() { ReleaseAll(); }
    void ReleaseAll() {
        if (miniport != nullptr) miniport->Release();
        if (unknown_ != nullptr) unknown_->Release();
        miniport = nullptr;
        unknown_ = nullptr;
    }

    // The property item of `node`'s automation table for the mute property, or null.
    const PCPROPERTY_ITEM* MuteItem(ULONG node) const {
        const PCAUTOMATION_TABLE* table = description->Nodes[node].AutomationTable;
        if (table == nullptr) return nullptr;
        for (ULONG i = 0; i < table->PropertyCount; ++i) {
            const PCPROPERTY_ITEM* item = &table->Properties[i];
            if (Same(item->Set, kAudioSet) && item->Id == kMuteId) return item;
        }
        return nullptr;
    }

    // A mute request through the node's own property handler.
    NTSTATUS Request(ULONG node, ULONG verb, ULONG channel, ULONG instanceSize, void* value,
                     ULONG* valueSize) {
        const PCPROPERTY_ITEM* item = MuteItem(node < description->NodeCount ? node : 1);
        if (item == nullptr) return STATUS_NOT_SUPPORTED;
        PCPROPERTY_REQUEST request{};
        request.MajorTarget = unknown_;
        request.Node = node;
        request.PropertyItem = item;
        request.Verb = verb;
        request.InstanceSize = instanceSize;
        request.Instance = &channel;
        request.ValueSize = *valueSize;
        request.Value = value;
        const NTSTATUS status = item->Handler(&request);
        *valueSize = request.ValueSize;
        return status;
    }
    NTSTATUS Set(ULONG node, ULONG value, ULONG channel = 0) {
        ULONG size = sizeof(value);
        return Request(node, KSPROPERTY_TYPE_SET, channel, sizeof(ULONG), &value, &size);
    }
    NTSTATUS Get(ULONG node, ULONG* value, ULONG channel = 0) {
        ULONG size = sizeof(*value);
        return Request(node, KSPROPERTY_TYPE_GET, channel, sizeof(ULONG), value, &size);
    }

    FakeLink link;
    FakeTopologyPort port;
    PMINIPORTTOPOLOGY miniport = nullptr;
    PPCFILTER_DESCRIPTOR description = nullptr;
    NTSTATUS created = STATUS_UNSUCCESSFUL;
    NTSTATUS initialised = STATUS_UNSUCCESSFUL;

  private:
    PUNKNOWN unknown_ = nullptr;
};

class TopologyMiniportTest : public ::testing::Test {
  protected:
    void SetUp() override { wdm::ResetTopologyMutes(); }
    void TearDown() override { EXPECT_EQ(sim::Pool::LeakReport(), ""); }
    sim::Machine machine_;
};

// --- Descriptions -------------------------------------------------------------------------------

TEST_F(TopologyMiniportTest, EachKindDescribesItsPathsAndOnlyMixersOneToFourHaveProperties) {
    for (ULONG index = 0; index < wdm::kTopologySubdevices; ++index) {
        SCOPED_TRACE(index);
        Mixer mixer(index);
        ASSERT_EQ(mixer.initialised, STATUS_SUCCESS);
        const PCFILTER_DESCRIPTOR* filter = mixer.description;
        ASSERT_EQ(filter->PinCount, 4u);
        EXPECT_EQ(filter->AutomationTable, nullptr);
        for (ULONG pin = 0; pin < 4; ++pin) {
            const KSPIN_DESCRIPTOR& ks = filter->Pins[pin].KsPinDescriptor;
            EXPECT_EQ(filter->Pins[pin].AutomationTable, nullptr);
            EXPECT_EQ(ks.Communication, KSPIN_COMMUNICATION_BRIDGE);
            EXPECT_EQ(ks.DataFlow, pin % 2 == 0 ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT);
            ASSERT_EQ(ks.DataRangesCount, 1u);
            EXPECT_EQ(ks.DataRanges[0]->FormatSize, sizeof(KSDATARANGE));
        }
        const bool both = index < 4;
        ASSERT_EQ(filter->NodeCount, both ? 4u : 2u);
        ASSERT_EQ(filter->ConnectionCount, both ? 6u : 3u);
        for (ULONG node = 0; node < filter->NodeCount; ++node) {
            const bool mute = node % 2 == 1;
            EXPECT_EQ(mixer.MuteItem(node) != nullptr, both && mute) << "node " << node;
            if (!both) {
                EXPECT_EQ(filter->Nodes[node].AutomationTable, nullptr);
            }
        }
    }
}

TEST_F(TopologyMiniportTest, MixerNinePlaysThroughMuteBeforeVolume) {
    Mixer mixer(8);
    ASSERT_EQ(mixer.initialised, STATUS_SUCCESS);
    const PCCONNECTION_DESCRIPTOR* c = mixer.description->Connections;
    // pin 0 -> mute 1 -> volume 0 -> pin 1
    EXPECT_EQ(c[0].FromNode, PCFILTER_NODE);
    EXPECT_EQ(c[0].FromNodePin, 0u);
    EXPECT_EQ(c[0].ToNode, 1u);
    EXPECT_EQ(c[1].FromNode, 1u);
    EXPECT_EQ(c[1].ToNode, 0u);
    EXPECT_EQ(c[2].FromNode, 0u);
    EXPECT_EQ(c[2].ToNode, PCFILTER_NODE);
    EXPECT_EQ(c[2].ToNodePin, 1u);

    Mixer recording(5);  // pin 2 -> volume 0 -> mute 1 -> pin 3
    ASSERT_EQ(recording.initialised, STATUS_SUCCESS);
    const PCCONNECTION_DESCRIPTOR* r = recording.description->Connections;
    EXPECT_EQ(r[0].FromNodePin, 2u);
    EXPECT_EQ(r[0].ToNode, 0u);
    EXPECT_EQ(r[1].FromNode, 0u);
    EXPECT_EQ(r[1].ToNode, 1u);
    EXPECT_EQ(r[2].ToNodePin, 3u);
}

TEST_F(TopologyMiniportTest, UnusedLinePinsShowWhatThePreviousMixerShowedThere) {
    Mixer four(4);
    Mixer seven(7);
    Mixer nine(8);
    ASSERT_EQ(nine.initialised, STATUS_SUCCESS);
    // Mixers 5-8 record only: their line-out keeps mixer 4's name, their line-in is their own.
    EXPECT_TRUE(Same(four.description->Pins[1].KsPinDescriptor.Name, kLineName3));
    EXPECT_TRUE(Same(four.description->Pins[2].KsPinDescriptor.Name, kLineName4));
    EXPECT_TRUE(Same(seven.description->Pins[1].KsPinDescriptor.Name, kLineName3));
    // Mixer 9 plays only: a speaker of its own, and mixer 8's line-in.
    EXPECT_TRUE(Same(nine.description->Pins[1].KsPinDescriptor.Category, kSpeaker));
    EXPECT_TRUE(Same(nine.description->Pins[1].KsPinDescriptor.Name, kLineName8));
    EXPECT_TRUE(Same(nine.description->Pins[2].KsPinDescriptor.Category, kLineConnector));
    EXPECT_TRUE(Same(nine.description->Pins[2].KsPinDescriptor.Name, kLineName7));
    EXPECT_EQ(nine.description->Pins[0].KsPinDescriptor.Name, nullptr);
    EXPECT_EQ(nine.description->Pins[3].KsPinDescriptor.Name, nullptr);
}

TEST_F(TopologyMiniportTest, ConnectionTablesPerKindAndNoneBeyondNine) {
    const int both[4] = {0, 3, 3, 1};
    const int recording[4] = {-1, 3, 3, -1};
    const int playback[4] = {0, -1, -1, 1};
    for (ULONG index = 0; index < 9; ++index) {
        const int* table = TopologyConnectionTable(index);
        ASSERT_NE(table, nullptr);
        const int* expected = index < 4 ? both : index < 8 ? recording : playback;
        EXPECT_EQ(std::memcmp(table, expected, sizeof(both)), 0) << index;
    }
    EXPECT_EQ(TopologyConnectionTable(9), nullptr);
}

TEST_F(TopologyMiniportTest, InterfacesAndInitRefusals) {
    Mixer mixer(0);
    ASSERT_EQ(mixer.initialised, STATUS_SUCCESS);
    PVOID object = nullptr;
    EXPECT_EQ(mixer.miniport->QueryInterface(IID_IMiniport, &object), STATUS_SUCCESS);
    EXPECT_EQ(object, static_cast<PVOID>(mixer.miniport));
    PUNKNOWN(object)->Release();
    EXPECT_NE(mixer.miniport->QueryInterface(IID_IPowerNotify, &object), STATUS_SUCCESS);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(mixer.miniport->DataRangeIntersection(0, nullptr, nullptr, 0, nullptr, nullptr),
              STATUS_NOT_IMPLEMENTED);
    // The port and its events interface are both held while the miniport lives.
    EXPECT_EQ(mixer.port.References(), 2);

    Mixer beyond(9);  // no tenth mixer: its tables do not exist
    EXPECT_EQ(beyond.initialised, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(beyond.port.References(), 0);
}

TEST_F(TopologyMiniportTest, ThePortAndItsEventsAreGivenBackWhenTheMiniportGoes) {
    Mixer mixer(1);
    ASSERT_EQ(mixer.initialised, STATUS_SUCCESS);
    EXPECT_EQ(mixer.port.References(), 2);
    mixer.ReleaseAll();
    EXPECT_EQ(mixer.port.References(), 0);

    Mixer plain(1, /*offerEvents=*/false);  // a port without events still serves
    EXPECT_EQ(plain.initialised, STATUS_SUCCESS);
    EXPECT_EQ(plain.port.References(), 1);
    plain.ReleaseAll();
    EXPECT_EQ(plain.port.References(), 0);
}

// --- Mute property ------------------------------------------------------------------------------

TEST_F(TopologyMiniportTest, MuteOnAnyChannelButZeroIsRefusedWithoutALinkCall) {
    Mixer mixer(0);
    ASSERT_EQ(mixer.initialised, STATUS_SUCCESS);
    EXPECT_EQ(mixer.Set(1, 1, /*channel=*/1), STATUS_INVALID_PARAMETER);
    ULONG value = 7;
    EXPECT_EQ(mixer.Get(3, &value, /*channel=*/1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TopologyMute(0, 1), 0u);
    EXPECT_EQ(mixer.link.CallCount(), 0u);
    // Too short an instance or value, and node -1 (the filter itself), are refused too.
    ULONG size = 2;
    EXPECT_EQ(mixer.Request(1, KSPROPERTY_TYPE_SET, 0, sizeof(ULONG), &value, &size),
              STATUS_INVALID_PARAMETER);
    size = sizeof(ULONG);
    EXPECT_EQ(mixer.Request(1, KSPROPERTY_TYPE_SET, 0, 3, &value, &size), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(mixer.Request(ULONG(-1), KSPROPERTY_TYPE_GET, 0, sizeof(ULONG), &value, &size),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(mixer.link.CallCount(), 0u);
}

TEST_F(TopologyMiniportTest, SetFiveReadsBackOneAndTheLinkCarriesTheEntry) {
    Mixer mixer(2);
    ASSERT_EQ(mixer.initialised, STATUS_SUCCESS);
    ASSERT_EQ(mixer.Set(3, 5), STATUS_SUCCESS);
    ULONG value = 0;
    ASSERT_EQ(mixer.Get(3, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(TopologyMute(2, 3), 1u);
    EXPECT_EQ(TopologyMute(2, 1), 0u);  // the playback mute is its own entry

    auto calls = mixer.link.CallsOf(kLinkApplyTopologyChange);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].words[0], 2u);  // subdevice
    EXPECT_EQ(calls[0].words[1], 3u);  // node
    EXPECT_EQ(calls[0].words[2], 1u);  // the entry, not the value asked for
    EXPECT_EQ(calls[0].words[3], 1u);

    ASSERT_EQ(mixer.Set(3, 0), STATUS_SUCCESS);
    ASSERT_EQ(mixer.Get(3, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0u);
    calls = mixer.link.CallsOf(kLinkApplyTopologyChange);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].words[2], 0u);
}

TEST_F(TopologyMiniportTest, TheMuteTableIsSharedByTheDriverAndStartsUnmuted) {
    {
        Mixer first(1);
        ASSERT_EQ(first.Set(1, 1), STATUS_SUCCESS);
    }
    Mixer again(1);  // a mixer made later sees the driver-global entry
    ULONG value = 0;
    ASSERT_EQ(again.Get(1, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    wdm::ResetTopologyMutes();
    ASSERT_EQ(again.Get(1, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(TopologyMute(9, 0), 0u);  // outside the table
    EXPECT_EQ(TopologyMute(0, 4), 0u);
}

TEST_F(TopologyMiniportTest, BasicSupportAnswersBySizeOfTheBuffer) {
    Mixer mixer(3);
    ASSERT_EQ(mixer.initialised, STATUS_SUCCESS);
    alignas(8) unsigned char buffer[64];
    std::memset(buffer, 0xCC, sizeof(buffer));

    ULONG size = 0;
    EXPECT_EQ(mixer.Request(1, KSPROPERTY_TYPE_BASICSUPPORT, 0, 0, buffer, &size),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 40u);
    size = 3;
    EXPECT_EQ(mixer.Request(1, KSPROPERTY_TYPE_BASICSUPPORT, 0, 0, buffer, &size),
              STATUS_BUFFER_TOO_SMALL);
    size = 39;
    ASSERT_EQ(mixer.Request(1, KSPROPERTY_TYPE_BASICSUPPORT, 0, 0, buffer, &size), STATUS_SUCCESS);
    EXPECT_EQ(size, 4u);
    ULONG access = 0;
    std::memcpy(&access, buffer, 4);
    EXPECT_EQ(access, 0x203u);
    EXPECT_EQ(buffer[4], 0xCC);  // nothing beyond the flags

    size = sizeof(buffer);
    ASSERT_EQ(mixer.Request(3, KSPROPERTY_TYPE_BASICSUPPORT, 0, 0, buffer, &size), STATUS_SUCCESS);
    EXPECT_EQ(size, 40u);
    KSPROPERTY_DESCRIPTION description;
    std::memcpy(&description, buffer, sizeof(description));
    EXPECT_EQ(description.AccessFlags, 0x203u);
    EXPECT_EQ(description.DescriptionSize, 40u);
    const GUID general = {
        0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
    EXPECT_TRUE(IsEqualGUID(description.PropTypeSet.Set, general));
    EXPECT_EQ(description.PropTypeSet.Id, 11u);
    EXPECT_EQ(description.MembersListCount, 0u);
    EXPECT_EQ(mixer.link.CallCount(), 0u);
}

}  // namespace
}  // namespace q407::testing
