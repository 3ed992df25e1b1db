// MIDI and command bytes as the device sees them: pacing slots per rate, idle gaps, the bulk MIDI
// input at single and double rate, the codec command stream, and the port open counts.
#include <thread>
#include <vector>

#include "engine_fixture.h"

namespace q407::test {
namespace {

class MidiTest : public EngineTest {
  protected:
    void StartAt(ULONG rate) {
        MixerSettings stored = DefaultMixerSettings();
        stored.sampleRate = static_cast<LONG>(rate);
        rig_->StoreSettingsValue(&stored, sizeof(stored));
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        RunMs(20);
    }
    // Queues bytes in one go, so that no completion sees part of them.
    void QueueMidiOut(size_t count) {
        StreamEngine& e = Engine();
        const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&e.m_PlaybackLock);
        for (size_t i = 0; i < count; ++i)
            ASSERT_EQ(e.WriteMidiOutByte(0, static_cast<UCHAR>(0x10 + i)), 1);
        KeReleaseSpinLock(&e.m_PlaybackLock, irql);
    }
    // Slot of each byte relative to the first: two slots per 20 frames, at frames 9 and 19.
    std::vector<uint64_t> SlotsSeen() {
        std::vector<uint64_t> slots;
        const auto bytes = Device().MidiOut();
        if (bytes.empty()) return slots;
        const uint64_t first = bytes.front().frame / 10;
        for (const auto& b : bytes) slots.push_back(b.frame / 10 - first);
        return slots;
    }
    std::vector<uint8_t> ReadAllMidiIn() {
        std::vector<uint8_t> bytes;
        for (;;) {
            const ULONG b = Engine().ReadMidiInByte(0);
            if (b == 0xFFFFFFFFu) break;
            bytes.push_back(static_cast<uint8_t>(b));
        }
        return bytes;
    }
};

TEST_F(MidiTest, PacingAt48kUsesSevenOfElevenSlots) {
    StartAt(48000);
    QueueMidiOut(20);
    RunMs(100);
    const std::vector<uint64_t> expected = {0,  1,  3,  4,  6,  7,  9,  11, 12, 14,
                                            15, 17, 18, 20, 22, 23, 25, 26, 28, 29};
    EXPECT_EQ(SlotsSeen(), expected);
    const auto bytes = Device().MidiOut();
    ASSERT_EQ(bytes.size(), 20u);
    for (size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(bytes[i].value, 0x10 + i);
}

TEST_F(MidiTest, PacingAt44kUsesFiveOfSevenSlots) {
    StartAt(44100);
    QueueMidiOut(20);
    RunMs(100);
    const std::vector<uint64_t> expected = {0,  1,  3,  4,  5,  7,  8,  10, 11, 12,
                                            14, 15, 17, 18, 19, 21, 22, 24, 25, 26};
    EXPECT_EQ(SlotsSeen(), expected);
}

TEST_F(MidiTest, PacingAtDoubleRatesKeepsTheByteRate) {
    StartAt(96000);
    QueueMidiOut(8);
    RunMs(100);
    const std::vector<uint64_t> at96 = {0, 3, 6, 9, 12, 15, 18, 22};
    EXPECT_EQ(SlotsSeen(), at96);
}

TEST_F(MidiTest, FullRingRefusesBytes) {
    StartAt(48000);
    ASSERT_EQ(Engine().EnableStreaming(0), STATUS_SUCCESS);
    LONG accepted = 0;
    for (int i = 0; i < 3000; ++i) accepted += Engine().WriteMidiOutByte(0, 0x42);
    EXPECT_EQ(accepted, 2048);
    EXPECT_EQ(Engine().WriteMidiOutByte(0, 0x42), 0);
}

TEST_F(MidiTest, IdleStreamCarriesNoMidiAndNoCommands) {
    StartAt(48000);
    RunSeconds(1.0);
    EXPECT_TRUE(Device().MidiOut().empty());
    EXPECT_TRUE(Device().CodecWrites().empty());
    EXPECT_EQ(Device().Counters().invalidCodecWords, 0u);
    EXPECT_GT(Device().Counters().playbackUnits, 2000u);
}

// The control-line states of one codec word: chip A clocks bit 0 with data on bit 1, chip B
// clocks bit 5 with data on bit 6; bit 7 stays low during the word and rises to end it.
std::vector<UCHAR> CodecWordBytes(sim::CodecChip chip, uint8_t address, uint8_t data) {
    const uint32_t lead = chip == sim::CodecChip::A ? 0b001 : 0b101;
    const uint32_t word = (lead << 13) | (uint32_t(address & 31) << 8) | data;
    const int clockBit = chip == sim::CodecChip::A ? 0 : 5;
    const int dataBit = chip == sim::CodecChip::A ? 1 : 6;
    std::vector<UCHAR> bytes;
    for (int i = 15; i >= 0; --i) {
        const UCHAR d = static_cast<UCHAR>(((word >> i) & 1) << dataBit);
        bytes.push_back(d);
        bytes.push_back(static_cast<UCHAR>(d | (1 << clockBit)));
    }
    bytes.push_back(0x80);
    return bytes;
}

TEST_F(MidiTest, CommandBytesReachTheCodecInOrder) {
    StartAt(48000);
    std::vector<UCHAR> stream;
    const struct {
        sim::CodecChip chip;
        uint8_t address;
        uint8_t data;
    } words[] = {{sim::CodecChip::A, 5, 0x3C},
                 {sim::CodecChip::B, 17, 0xA5},
                 {sim::CodecChip::A, 31, 0x01},
                 {sim::CodecChip::A, 0, 0xFF}};
    for (const auto& w : words) {
        const auto bytes = CodecWordBytes(w.chip, w.address, w.data);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(Engine().WriteCommandBytes(static_cast<LONG>(stream.size()), stream.data()),
              static_cast<LONG>(stream.size()));
    RunMs(200);
    const auto writes = Device().CodecWrites();
    ASSERT_EQ(writes.size(), 4u);
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_TRUE(writes[i].word.valid) << i;
        EXPECT_EQ(writes[i].word.chip, words[i].chip) << i;
        EXPECT_EQ(writes[i].word.address, words[i].address) << i;
        EXPECT_EQ(writes[i].word.data, words[i].data) << i;
    }
    EXPECT_EQ(Device().CodecRegister(sim::CodecChip::B, 17), 0xA5);
    EXPECT_EQ(Engine().WriteCommandBytes(0, stream.data()), 0);
    EXPECT_EQ(Engine().WriteCommandBytes(-4, stream.data()), 0);
}

TEST_F(MidiTest, FullCommandRingShortensTheCount) {
    StartAt(48000);
    ASSERT_EQ(Engine().EnableStreaming(0), STATUS_SUCCESS);
    std::vector<UCHAR> bytes(1500, 0xFF);
    EXPECT_EQ(Engine().WriteCommandBytes(1500, bytes.data()), 1024);
}

// Two clients sending codec bytes at the same moment: each ring has one producer, so the engine
// must take their writes one at a time. Two unguarded writers lose and duplicate bytes.
TEST_F(MidiTest, CommandBytesFromTwoClientsAtOnceAreAllKeptInTheirOwnOrder) {
    StartAt(48000);
    ASSERT_EQ(Engine().EnableStreaming(0), STATUS_SUCCESS);  // nothing reads the ring meanwhile
    StreamEngine& e = Engine();
    constexpr int kPerWriter = kCommandRingBytes / 2;
    for (int round = 0; round < 200; ++round) {
        auto writer = [&e](UCHAR tag) {
            for (int i = 0; i < kPerWriter; ++i) {
                const UCHAR b = static_cast<UCHAR>(tag | (i & 0x7F));
                ASSERT_EQ(e.WriteCommandBytes(1, &b), 1);
            }
        };
        std::thread a(writer, UCHAR(0x00));
        std::thread b(writer, UCHAR(0x80));
        a.join();
        b.join();
        std::vector<UCHAR> queued(kCommandRingBytes);
        ASSERT_EQ(Read(&e.m_CommandRingBuffer, queued.data(), kCommandRingBytes), kCommandRingBytes)
            << "round " << round;
        int next[2] = {0, 0};
        for (UCHAR q : queued) {
            const int who = q >> 7;
            ASSERT_EQ(q & 0x7F, next[who] & 0x7F) << "round " << round;
            ++next[who];
        }
        ASSERT_EQ(next[0], kPerWriter);
        ASSERT_EQ(next[1], kPerWriter);
    }
}

TEST_F(MidiTest, MidiInputArrivesThroughTheBulkPipeAt48k) {
    StartAt(48000);
    Engine().OpenMidiPort(0, 1);
    const std::vector<uint8_t> sent = {0x90, 0x3C, 0x7F, 0x80, 0x3C, 0x00, 0xF8, 0xB0, 0x07};
    Device().SendMidiIn(sent);
    RunMs(50);
    EXPECT_EQ(ReadAllMidiIn(), sent);
    EXPECT_GT(rig_->Notifications().midiIn.load(), 0u);
    Engine().CloseMidiPort(0, 1);
}

TEST_F(MidiTest, MidiInputArrivesThroughTheBulkPipeAt96k) {
    StartAt(96000);
    Engine().OpenMidiPort(0, 1);
    const std::vector<uint8_t> sent = {0x90, 0x3C, 0x7F, 0x80, 0x3C, 0x00, 0xF8};
    Device().SendMidiIn(sent);
    RunMs(50);
    EXPECT_EQ(ReadAllMidiIn(), sent);
    Engine().CloseMidiPort(0, 1);
}

TEST_F(MidiTest, MidiInputWithoutAnOpenPortIsDiscarded) {
    StartAt(48000);
    Device().SendMidiIn({0x90, 0x3C, 0x7F});
    RunMs(50);
    EXPECT_EQ(Engine().ReadMidiInByte(0), 0xFFFFFFFFu);
    EXPECT_EQ(rig_->Notifications().midiIn.load(), 0u);
    EXPECT_GT(Engine().m_Counters.midiInCompletions, 0u);
}

TEST_F(MidiTest, InputBytesExaminedPerRate) {
    StartAt(48000);
    StreamEngine& e = Engine();
    e.OpenMidiPort(0, 1);
    const UCHAR transfer[5] = {0x90, 0x3C, 0x7F, 0xFD, 0x12};
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&e.m_MidiInLock);
    e.ProcessMidiInput(transfer, 5);
    KeReleaseSpinLock(&e.m_MidiInLock, irql);
    EXPECT_EQ(ReadAllMidiIn(), (std::vector<uint8_t>{0x90, 0x3C, 0x7F}));
    // A short transfer is examined only as far as it goes.
    irql = KeAcquireSpinLockRaiseToDpc(&e.m_MidiInLock);
    e.ProcessMidiInput(transfer, 1);
    KeReleaseSpinLock(&e.m_MidiInLock, irql);
    EXPECT_EQ(ReadAllMidiIn(), (std::vector<uint8_t>{0x90}));

    e.CloseMidiPort(0, 1);
    ASSERT_EQ(e.SetSampleRate(96000), STATUS_SUCCESS);
    e.OpenMidiPort(0, 1);
    irql = KeAcquireSpinLockRaiseToDpc(&e.m_MidiInLock);
    e.ProcessMidiInput(transfer, 5);
    KeReleaseSpinLock(&e.m_MidiInLock, irql);
    EXPECT_EQ(ReadAllMidiIn(), (std::vector<uint8_t>{0x90, 0x3C}));
    e.CloseMidiPort(0, 1);
}

TEST_F(MidiTest, OpenCountsKeepTheInputUntilTheLastClose) {
    StartAt(48000);
    StreamEngine& e = Engine();
    EXPECT_EQ(e.AnyClientChannelOpen(), 0);
    e.OpenMidiPort(0, 1);
    e.OpenMidiPort(0, 1);
    EXPECT_EQ(e.AnyClientChannelOpen(), 1);
    const UCHAR transfer[5] = {0x41, 0x42, 0xFD, 0xFD, 0xFD};
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&e.m_MidiInLock);
    e.ProcessMidiInput(transfer, 5);
    KeReleaseSpinLock(&e.m_MidiInLock, irql);
    e.CloseMidiPort(0, 1);
    EXPECT_EQ(GetReadAvailable(&e.m_MidiInRingBuffer), 2);
    e.CloseMidiPort(0, 1);
    EXPECT_EQ(GetReadAvailable(&e.m_MidiInRingBuffer), 0);
    EXPECT_EQ(e.ReadMidiInByte(0), 0xFFFFFFFFu);
    // An extra close does not leave the count below zero.
    e.CloseMidiPort(0, 1);
    EXPECT_EQ(e.m_MidiInOpenCount, 0);
    e.OpenMidiPort(0, 0);
    EXPECT_EQ(e.AnyClientChannelOpen(), 1);
    e.CloseMidiPort(0, 0);
    EXPECT_EQ(e.AnyClientChannelOpen(), 0);
}

}  // namespace
}  // namespace q407::test
