// The stream link's dispatch functions on a started device: what each does to the engine's
// channel tables, MIDI rings and the facade's notification tables, the group-to-channel mapping,
// and that values outside the tables touch nothing.
#include "shared/stream_link.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "control_fixture.h"
#include "usbdriver/control/stream_link.h"

namespace q407::testing {
namespace {

constexpr LONG kMme = static_cast<LONG>(ClientKind::MME);
constexpr LONG kDolby = static_cast<LONG>(ClientKind::DOLBY);
constexpr LONG kAsio = static_cast<LONG>(ClientKind::ASIO);

struct Counts {
    std::atomic<int> calls{0};
    std::atomic<LONG> lastDirection{-1};
    std::atomic<LONG> lastCode{-1};
    std::atomic<int> midiData{0};
    std::atomic<int> midiRemoval{0};
};

void StreamCallback(LONG direction, LONG code, PVOID context) {
    auto* counts = static_cast<Counts*>(context);
    counts->lastDirection = direction;
    counts->lastCode = code;
    ++counts->calls;
}

void MidiCallback(LONG direction, LONG code, PVOID context, LONG argument) {
    auto* counts = static_cast<Counts*>(context);
    if (direction == 1 && code == 0) ++(argument == 0 ? counts->midiData : counts->midiRemoval);
}

uint64_t AsWord(const void* pointer) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointer));
}
template <typename Routine>
uint64_t RoutineWord(Routine routine) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(routine));
}

class StreamLinkTest : public ControlFixture {
  protected:
    template <typename Block>
    void Call(uint32_t function, Block* block) {
        StreamLinkDispatch(Facade(), function, block);
    }

    // Everything the group functions may change, to compare before and after.
    struct ChannelState {
        LONG masks[kClientKindCount][kDirectionCount];
        ClientBuffer buffers[3][kDirectionCount][kChannelSlotCount][2];
        RingBuffer* rings[2][kDirectionCount][kChannelSlotCount];
        bool operator==(const ChannelState& other) const {
            return std::memcmp(this, &other, sizeof(*this)) == 0;
        }
    };
    ChannelState Snapshot() {
        ChannelState state;
        std::memset(&state, 0, sizeof(state));
        for (LONG k = 0; k < kClientKindCount; ++k)
            for (LONG d = 0; d < kDirectionCount; ++d)
                state.masks[k][d] = Engine().ChannelMask(k, d);
        std::memcpy(state.buffers, Engine().m_ClientBuffers, sizeof(state.buffers));
        std::memcpy(state.rings, Engine().m_ClientRings, sizeof(state.rings));
        return state;
    }
    std::vector<LONG> OpenChannels(LONG kind, LONG direction) {
        std::vector<LONG> open;
        for (LONG c = 0; c < kChannelSlotCount; ++c)
            if (Engine().IsClientChannelOpen(kind, direction, c) != 0) open.push_back(c);
        return open;
    }
    void SetMeters(uint8_t value) {
        // The completions store the meters too.
        for (int i = 0; i < kPeakMeterCount; ++i) {
            WriteUCharNoFence(&Facade()->statusBlock->outputPeak[i], value);
            WriteUCharNoFence(&Facade()->statusBlock->inputPeak[i], value);
        }
    }
    uint8_t OutputMeter(int i) { return ReadUCharNoFence(&Facade()->statusBlock->outputPeak[i]); }
    uint8_t InputMeter(int i) { return ReadUCharNoFence(&Facade()->statusBlock->inputPeak[i]); }
    void CloseAll() {
        for (LONG d = 0; d < kDirectionCount; ++d) {
            // Group 0 with count 16 names every MME channel; group 8 every DOLBY channel.
            for (uint32_t group : {0u, kLinkDolbyGroup}) {
                LinkStreamChannelsBlock close{static_cast<uint32_t>(d), group, 0, 16};
                Call(kLinkCloseStreamChannels, &close);
            }
        }
    }
};

TEST_F(StreamLinkTest, GroupsAddressStereoPairsOfMmeAndTheDolbySlotFromChannelZero) {
    LinkStreamChannelsBlock open{0, 3, 0, 2};
    Call(kLinkOpenStreamChannels, &open);
    EXPECT_EQ(OpenChannels(kMme, 0), (std::vector<LONG>{6, 7}));
    open = {1, 8, 0, 6};
    Call(kLinkOpenStreamChannels, &open);
    EXPECT_EQ(OpenChannels(kDolby, 1), (std::vector<LONG>{0, 1, 2, 3, 4, 5}));
    EXPECT_TRUE(OpenChannels(kDolby, 0).empty());
    EXPECT_TRUE(OpenChannels(kMme, 1).empty());
    EXPECT_TRUE(Engine().IsStreaming());

    // Closing clears the meters and closes exactly the group's channels.
    SetMeters(0x55);
    LinkStreamChannelsBlock close{1, 8, 0, 3};
    Call(kLinkCloseStreamChannels, &close);
    EXPECT_EQ(OpenChannels(kDolby, 1), (std::vector<LONG>{3, 4, 5}));
    EXPECT_EQ(OutputMeter(0), 0);
    EXPECT_EQ(InputMeter(15), 0);

    // Direction 4 stops streaming and leaves every channel open.
    close = {kLinkStopStreamingDirection, 3, 0, 2};
    Call(kLinkCloseStreamChannels, &close);
    EXPECT_FALSE(Engine().IsStreaming());
    EXPECT_EQ(OpenChannels(kMme, 0), (std::vector<LONG>{6, 7}));
    EXPECT_EQ(OpenChannels(kDolby, 1), (std::vector<LONG>{3, 4, 5}));
    CloseAll();
    EXPECT_TRUE(OpenChannels(kMme, 0).empty());
}

TEST_F(StreamLinkTest, BuffersAndRingsAreSetPerChannelOfTheGroupAndZeroDetaches) {
    std::vector<int32_t> samples(1024);
    LinkStreamBufferBlock buffer{1, 3, 0, 2, AsWord(samples.data()), 0, 2};
    Call(kLinkSetStreamBuffer, &buffer);
    const auto& capture = Engine().m_ClientBuffers[kMme][1];
    EXPECT_EQ(capture[6][0].address, AsWord(samples.data()));
    EXPECT_EQ(capture[7][0].address, AsWord(samples.data()) + 4);
    EXPECT_EQ(capture[6][0].stride, 2u);
    EXPECT_EQ(capture[7][0].stride, 2u);
    EXPECT_EQ(capture[5][0].address, 0u);
    EXPECT_EQ(capture[8][0].address, 0u);
    EXPECT_EQ(capture[6][1].address, 0u);  // half 1 is the ASIO client's

    buffer = {0, 8, 0, 6, AsWord(samples.data()), 0, 6};
    Call(kLinkSetStreamBuffer, &buffer);
    for (LONG c = 0; c < 6; ++c)
        EXPECT_EQ(Engine().m_ClientBuffers[kDolby][0][c][0].address,
                  AsWord(samples.data()) + 4u * static_cast<uint64_t>(c));
    EXPECT_EQ(Engine().m_ClientBuffers[kDolby][0][6][0].address, 0u);

    buffer = {1, 3, 0, 2, 0, 0, 2};
    Call(kLinkSetStreamBuffer, &buffer);
    EXPECT_EQ(capture[6][0].address, 0u);
    EXPECT_EQ(capture[7][0].address, 0u);
    EXPECT_EQ(capture[6][0].stride, 0u);

    RingBuffer ring{};
    LinkStreamRingBlock rings{0, 2, 0, 2, AsWord(&ring)};
    Call(kLinkSetStreamRing, &rings);
    EXPECT_EQ(Engine().m_ClientRings[kMme][0][4], &ring);
    EXPECT_EQ(Engine().m_ClientRings[kMme][0][5], &ring);
    EXPECT_EQ(Engine().m_ClientRings[kMme][0][3], nullptr);
    EXPECT_EQ(Engine().m_ClientRings[kMme][0][6], nullptr);
    rings.ring = 0;
    Call(kLinkSetStreamRing, &rings);
    EXPECT_EQ(Engine().m_ClientRings[kMme][0][4], nullptr);
    EXPECT_EQ(Engine().m_ClientRings[kMme][0][5], nullptr);
    buffer = {0, 8, 0, 6, 0, 0, 6};
    Call(kLinkSetStreamBuffer, &buffer);
}

TEST_F(StreamLinkTest, ValuesOutsideTheTablesTouchNothing) {
    std::vector<int32_t> samples(64);
    RingBuffer ring{};
    LinkStreamChannelsBlock open{0, 0, 0, 2};
    Call(kLinkOpenStreamChannels, &open);
    const ChannelState before = Snapshot();
    SetMeters(0x33);

    struct Group {
        uint32_t direction, group, count;
    };
    const Group bad[] = {
        {2, 0, 1},           // no such direction
        {4, 0, 1},           // only function 4 knows direction 4
        {0xFFFFFFFF, 0, 1},  // negative direction
        {0, 9, 1},           // no group 9
        {0, 0x80000000, 2},  // a group whose channel number would wrap
        {1, 7, 3},           // channels 14, 15, 16
        {1, 8, 17},          // DOLBY channels 0..16
        {0, 1, 0xFFFFFFFF},  // a count that would wrap
    };
    for (const Group& g : bad) {
        SCOPED_TRACE(::testing::Message() << g.direction << "/" << g.group << "/" << g.count);
        LinkStreamChannelsBlock channels{g.direction, g.group, 0, g.count};
        Call(kLinkOpenStreamChannels, &channels);
        if (g.direction != kLinkStopStreamingDirection) Call(kLinkCloseStreamChannels, &channels);
        LinkStreamBufferBlock buffer{g.direction, g.group, 0, g.count, AsWord(samples.data()),
                                     0,           2};
        Call(kLinkSetStreamBuffer, &buffer);
        LinkStreamRingBlock rings{g.direction, g.group, 0, g.count, AsWord(&ring)};
        Call(kLinkSetStreamRing, &rings);
        EXPECT_TRUE(Snapshot() == before);
        EXPECT_EQ(OutputMeter(3), 0x33) << "meters cleared";
    }
    EXPECT_TRUE(Engine().IsStreaming());

    // Notification registrations outside the tables.
    Counts counts;
    LinkStreamNotifyBlock notify{2, 0, 0, 0, RoutineWord(&StreamCallback), AsWord(&counts)};
    Call(kLinkRegisterStreamNotify, &notify);
    notify = {0, 16, 0, 0, RoutineWord(&StreamCallback), AsWord(&counts)};
    Call(kLinkRegisterStreamNotify, &notify);
    notify = {1, 0, 0xFFFFFFFF, 0, RoutineWord(&StreamCallback), AsWord(&counts)};
    Call(kLinkRegisterStreamNotify, &notify);
    LinkMidiInNotifyBlock midi{16, 0, RoutineWord(&MidiCallback), AsWord(&counts)};
    Call(kLinkRegisterMidiInNotify, &midi);
    const auto* table = reinterpret_cast<const unsigned char*>(Facade()->streamTable);
    EXPECT_TRUE(std::all_of(table, table + sizeof(Facade()->streamTable),
                            [](unsigned char b) { return b == 0; }));
    for (const MidiInNotification& entry : Facade()->midiInTable) EXPECT_EQ(entry.context, nullptr);

    // MIDI ports outside the table: nothing written, read or opened; failure answered.
    const LONG writable = GetWriteAvailable(&Engine().m_MidiOutRingBuffer);
    LinkMidiByteBlock byte{16, 0x90, {0, 0}, 7};
    Call(kLinkWriteMidiByte, &byte);
    EXPECT_EQ(byte.result, 0u);
    EXPECT_EQ(GetWriteAvailable(&Engine().m_MidiOutRingBuffer), writable);
    byte = {255, 0, {0, 0}, 7};
    Call(kLinkReadMidiByte, &byte);
    EXPECT_EQ(byte.result, kLinkNoMidiByte);
    LinkMidiInputBlock input{16, {0, 0, 0}, 1, 1};
    Call(kLinkOpenMidiInput, &input);
    EXPECT_EQ(Engine().m_MidiInOpenCount, 0);

    // A channel query of a slot or direction that does not exist answers "none open".
    LinkChannelsOpenBlock query{4, 0, 7};
    Call(kLinkQueryChannelsOpen, &query);
    EXPECT_EQ(query.result, 0u);
    query = {0, 2, 7};
    Call(kLinkQueryChannelsOpen, &query);
    EXPECT_EQ(query.result, 0u);

    // No block, no device: ignored.
    StreamLinkDispatch(Facade(), kLinkOpenStreamChannels, nullptr);
    StreamLinkDispatch(nullptr, kLinkOpenStreamChannels, &open);
    EXPECT_TRUE(Snapshot() == before);
    CloseAll();
}

TEST_F(StreamLinkTest, ChannelQueryAnswersPerSlotDirectionOrAny) {
    LinkChannelsOpenBlock any{-1, -1, 7};
    Call(kLinkQueryChannelsOpen, &any);
    EXPECT_EQ(any.result, 0u);

    // Only an ASIO input channel open.
    Engine().OpenClientChannel(kAsio, 1, 11, 1);
    any = {-1, -1, 7};
    Call(kLinkQueryChannelsOpen, &any);
    EXPECT_EQ(any.result, 1u);
    any = {-1, 0, 7};
    Call(kLinkQueryChannelsOpen, &any);
    EXPECT_EQ(any.result, 1u);  // either negative asks about everything
    LinkChannelsOpenBlock query{kAsio, 1, 7};
    Call(kLinkQueryChannelsOpen, &query);
    EXPECT_EQ(query.result, 1u);
    query = {kAsio, 0, 7};
    Call(kLinkQueryChannelsOpen, &query);
    EXPECT_EQ(query.result, 0u);
    query = {kMme, 1, 7};
    Call(kLinkQueryChannelsOpen, &query);
    EXPECT_EQ(query.result, 0u);
    Engine().OpenClientChannel(kAsio, 1, 11, 0);

    // Direction 0 asks output channels 0..7.
    Engine().OpenClientChannel(kMme, 0, 7, 1);
    query = {kMme, 0, 7};
    Call(kLinkQueryChannelsOpen, &query);
    EXPECT_EQ(query.result, 1u);
    Engine().OpenClientChannel(kMme, 0, 7, 0);
    query = {kMme, 0, 7};
    Call(kLinkQueryChannelsOpen, &query);
    EXPECT_EQ(query.result, 0u);
}

TEST_F(StreamLinkTest, MidiBytesGoOutAndComeInThroughTheLinkWithTheInputNotice) {
    Counts counts;
    LinkMidiInNotifyBlock midi{0, 0, RoutineWord(&MidiCallback), AsWord(&counts)};
    Call(kLinkRegisterMidiInNotify, &midi);
    EXPECT_EQ(Facade()->midiInTable[0].context, &counts);

    LinkMidiByteBlock byte{0, 0, {0, 0}, 7};
    Call(kLinkReadMidiByte, &byte);
    EXPECT_EQ(byte.result, kLinkNoMidiByte);

    LinkMidiInputBlock input{0, {0, 0, 0}, 1, 1};
    Call(kLinkOpenMidiInput, &input);
    EXPECT_EQ(Engine().m_MidiInOpenCount, 1);
    input.action = 2;  // neither open nor close
    Call(kLinkOpenMidiInput, &input);
    EXPECT_EQ(Engine().m_MidiInOpenCount, 1);

    const std::vector<uint8_t> sent = {0x90, 0x3C, 0x7F};
    rig_.Device().SendMidiIn(sent);
    rig_.RunForSeconds(0.05);
    EXPECT_GT(counts.midiData.load(), 0);
    std::vector<uint8_t> received;
    for (;;) {
        byte = {0, 0, {0, 0}, 7};
        Call(kLinkReadMidiByte, &byte);
        if (byte.result == kLinkNoMidiByte) break;
        ASSERT_LT(byte.result, 0x100u);
        received.push_back(static_cast<uint8_t>(byte.result));
    }
    EXPECT_EQ(received, sent);

    for (uint8_t value : {uint8_t{0xB0}, uint8_t{0x07}, uint8_t{0x64}}) {
        byte = {0, value, {0, 0}, 7};
        Call(kLinkWriteMidiByte, &byte);
        EXPECT_EQ(byte.result, 1u);
    }
    rig_.RunForSeconds(0.05);
    std::vector<uint8_t> out;
    for (const auto& b : rig_.Device().MidiOut()) out.push_back(b.value);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xB0, 0x07, 0x64}));

    input.action = 0;
    Call(kLinkOpenMidiInput, &input);
    EXPECT_EQ(Engine().m_MidiInOpenCount, 0);
    rig_.Stop();  // the removal notice reaches the registered callback
    EXPECT_EQ(counts.midiRemoval.load(), 1);
}

TEST_F(StreamLinkTest, StreamNotificationsRegisteredThroughTheLinkArriveAndZerosUnregister) {
    Counts output, input;
    LinkStreamNotifyBlock notify{0, 8, 6, 0, RoutineWord(&StreamCallback), AsWord(&output)};
    Call(kLinkRegisterStreamNotify, &notify);
    notify = {1, 4, 2, 0, RoutineWord(&StreamCallback), AsWord(&input)};
    Call(kLinkRegisterStreamNotify, &notify);
    rig_.RunForSeconds(0.05);
    EXPECT_GT(output.calls.load(), 3);
    EXPECT_GT(input.calls.load(), 3);
    EXPECT_EQ(output.lastDirection.load(), 0);
    EXPECT_EQ(output.lastCode.load(), 6);
    EXPECT_EQ(input.lastDirection.load(), 1);
    EXPECT_EQ(input.lastCode.load(), 2);

    notify = {0, 8, 6, 0, 0, 0};
    Call(kLinkRegisterStreamNotify, &notify);
    notify = {1, 4, 2, 0, 0, 0};
    Call(kLinkRegisterStreamNotify, &notify);
    const int outputCalls = output.calls.load();
    const int inputCalls = input.calls.load();
    rig_.RunForSeconds(0.05);
    EXPECT_EQ(output.calls.load(), outputCalls);
    EXPECT_EQ(input.calls.load(), inputCalls);
}

TEST_F(StreamLinkTest, FormatRateLatencyCountsAndReservedAnswers) {
    LinkStreamRateBlock rate{96000, 0};
    Call(kLinkGetStreamRate, &rate);
    EXPECT_EQ(rate.rate, Facade()->statusBlock->sampleRate);
    EXPECT_EQ(rate.rate, kDefaultSampleRate);

    LinkStreamFormatBlock format{0, 48000, 2, 24, 1, 7};
    Call(kLinkSetStreamFormat, &format);
    EXPECT_EQ(format.result, 0u);
    EXPECT_EQ(Facade()->statusBlock->sampleRate, 48000u);
    EXPECT_EQ(Facade()->statusBlock->statusWord, 24u);
    EXPECT_EQ(Engine().m_RateChangeFlag, 1);
    format = {0, 12345, 2, 16, 0, 7};  // no such rate: the rate stays
    Call(kLinkSetStreamFormat, &format);
    EXPECT_EQ(Facade()->statusBlock->sampleRate, 48000u);
    rate = {96000, 0};
    Call(kLinkGetStreamRate, &rate);
    EXPECT_EQ(rate.rate, 48000u);

    LinkLatencyBlock latency{7};
    Call(kLinkGetLatency, &latency);
    EXPECT_EQ(latency.latency, Facade()->statusBlock->latency);
    // A client process wrote nonsense into its mapped status record.
    WriteULongNoFence(StatusWord(&Facade()->statusBlock->latency), 0);
    Call(kLinkGetLatency, &latency);
    EXPECT_EQ(latency.latency, static_cast<uint32_t>(kFallbackLatency));

    LinkChannelCountsBlock counts{0, 0};
    Call(kLinkQueryChannelCounts, &counts);
    EXPECT_EQ(counts.inputs, 16u);
    EXPECT_EQ(counts.outputs, 8u);

    uint32_t words[8];
    auto fill = [&words] { std::fill(std::begin(words), std::end(words), 0xA5A5A5A5u); };
    fill();
    Call(kLinkReserved7, &words);
    EXPECT_EQ(words[0], 0u);
    EXPECT_EQ(words[1], 0xA5A5A5A5u);
    fill();
    Call(kLinkReserved18, &words);
    EXPECT_EQ(words[0], 0xA5A5A5A5u);
    EXPECT_EQ(words[2], 0u);
    fill();
    Call(kLinkReserved20, &words);
    EXPECT_EQ(words[0], 32u);
    EXPECT_EQ(words[1], 32u);
    EXPECT_EQ(words[2], 0xA5A5A5A5u);
    const ChannelState before = Snapshot();
    for (uint32_t function : {8u, 13u, 14u, 15u, 16u, 21u, 24u, 0xFFFFFFFFu}) {
        fill();
        Call(function, &words);
        EXPECT_TRUE(std::all_of(std::begin(words), std::end(words),
                                [](uint32_t w) { return w == 0xA5A5A5A5u; }))
            << "function " << function;
    }
    EXPECT_TRUE(Snapshot() == before);
}

TEST_F(StreamLinkTest, TopologyMuteThroughTheLinkReachesTheSettings) {
    const LONG index = RouteRecordIndex(ClientKind::MME, 0);
    ASSERT_EQ(Engine().GetSettings()->routeTable.records[index].kindMute, 0);
    LinkTopologyChangeBlock change{0, 1, 1, 1};
    Call(kLinkApplyTopologyChange, &change);
    rig_.RunForSeconds(0.05);
    EXPECT_EQ(Engine().GetSettings()->routeTable.records[index].kindMute, 1);
    change = {0, 1, 0, 0};
    Call(kLinkApplyTopologyChange, &change);
    rig_.RunForSeconds(0.05);
    EXPECT_EQ(Engine().GetSettings()->routeTable.records[index].kindMute, 0);
}

}  // namespace
}  // namespace q407::testing
