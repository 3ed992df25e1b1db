// Stream resets while the pipes run, as the streaming gate does at every ASIO start: a reset that
// lands on another processor in the middle of a completion must leave every ring consistent, and
// bytes queued for the device (MIDI, codec commands) go out whole and in order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine_fixture.h"

namespace q407::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The capture completion's input notice comes after a period is handed out and before the input
// ring is advanced past it. Armed, it lets a second processor reset the stream at exactly that
// point, and waits (a bounded while: a reset that correctly waits for the capture lock cannot
// finish until the completion has let go of it).
struct ResetProbe {
    StreamEngine* engine = nullptr;
    std::atomic<uint64_t> periods{0};
    std::atomic<bool> armed{false};
    std::atomic<bool> go{false};
    std::atomic<bool> done{false};

    static void OnInputPeriod(PVOID context) {
        auto* probe = static_cast<ResetProbe*>(context);
        probe->periods.fetch_add(1);
        if (!probe->armed.exchange(false)) return;
        probe->go = true;
        const auto until = steady_clock::now() + milliseconds(300);
        while (!probe->done && steady_clock::now() < until) std::this_thread::yield();
    }
    // The other processor: a control thread running the reset.
    void ResetWhenAsked() {
        const auto until = steady_clock::now() + std::chrono::seconds(20);
        while (!go && steady_clock::now() < until) std::this_thread::sleep_for(milliseconds(1));
        if (go) (void)engine->EnableStreaming(1);
        done = true;
    }
};

class StreamReset : public EngineTest {
  protected:
    // Streaming restarted with the probe's notification table, one MME capture channel open.
    void StartProbed() {
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        probe_.engine = &Engine();
        table_.context = &probe_;
        table_.NotifyInputPeriod = ResetProbe::OnInputPeriod;
        (void)Engine().EnableStreaming(0);
        previous_ = Engine().m_Facade;
        Engine().m_Facade = &table_;
        (void)Engine().OpenClientChannel(int(ClientKind::MME), int(Direction::Input), 0, 1);
        ASSERT_TRUE(Engine().IsStreaming());
    }
    void TearDown() override {
        if (rig_->Started()) {
            (void)Engine().EnableStreaming(0);
            Engine().m_Facade = previous_;
        }
        EngineTest::TearDown();
    }
    ResetProbe probe_;
    EngineNotifications table_{};
    const EngineNotifications* previous_ = nullptr;
};

TEST_F(StreamReset, ResetBetweenHandingOutAPeriodAndAdvancingHandsOutNothingStale) {
    StartProbed();
    RunMs(50);
    std::thread otherProcessor([this] { probe_.ResetWhenAsked(); });
    probe_.armed = true;
    RunMs(100);
    otherProcessor.join();
    ASSERT_TRUE(probe_.go.load());
    RunMs(100);
    // Every period handed out was captured first: never more periods than whole L-frame runs of
    // the frames the capture pipe brought in (the reset discards some of them).
    const uint64_t captured = Engine().m_Counters.captureUnitsConverted * 16;
    EXPECT_LE(probe_.periods.load(), captured / Engine().PeriodFrames());
    EXPECT_GT(probe_.periods.load(), 0u);
}

// The control-line states of one word for codec chip A: clock on bit 0, data on bit 1, bit 7 low
// during the word and rising to end it; lead bits 0 0 1, then 5 address and 8 data bits.
std::vector<UCHAR> ChipAWord(uint8_t address, uint8_t data) {
    const uint32_t word = (0b001u << 13) | (uint32_t(address & 31) << 8) | data;
    std::vector<UCHAR> bytes;
    for (int i = 15; i >= 0; --i) {
        const auto d = static_cast<UCHAR>(((word >> i) & 1) << 1);
        bytes.push_back(d);
        bytes.push_back(static_cast<UCHAR>(d | 1));
    }
    bytes.push_back(0x80);
    return bytes;
}

// A reset that keeps the rate, while codec words and MIDI bytes are on their way out and MIDI input
// waits for its reader: every word arrives whole, every byte once and in order.
TEST_F(EngineTest, QueuedDeviceBytesAndMidiInputSurviveAStreamReset) {
    MixerSettings stored = DefaultMixerSettings();
    stored.sampleRate = 48000;
    rig_->StoreSettingsValue(&stored, sizeof(stored));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Engine().OpenMidiPort(0, 1);
    const std::vector<uint8_t> midiIn = {0x90, 0x3C, 0x7F, 0x80, 0x3C, 0x00};
    Device().SendMidiIn(midiIn);
    RunMs(20);

    std::vector<UCHAR> commands;
    for (uint8_t w = 0; w < 8; ++w) {
        const auto bytes = ChipAWord(uint8_t(w * 3), uint8_t(0x11 * w + 1));
        commands.insert(commands.end(), bytes.begin(), bytes.end());
    }
    ASSERT_EQ(Engine().WriteCommandBytes(LONG(commands.size()), commands.data()),
              LONG(commands.size()));
    std::vector<uint8_t> midiOut;
    for (uint8_t i = 0; i < 24; ++i) {
        midiOut.push_back(uint8_t(0x40 + i));
        ASSERT_EQ(Engine().WriteMidiOutByte(0, midiOut.back()), 1);
    }
    // Part of both streams is out when the reset comes; the rest waits in the rings.
    RunMs(3);
    ASSERT_GT(Engine().m_Counters.commandBytes, 0u);
    ASSERT_LT(Engine().m_Counters.commandBytes, commands.size());
    ASSERT_EQ(Engine().EnableStreaming(1), STATUS_SUCCESS);
    RunMs(300);

    const auto writes = Device().CodecWrites();
    ASSERT_EQ(writes.size(), 8u);
    for (size_t w = 0; w < writes.size(); ++w) {
        EXPECT_TRUE(writes[w].word.valid) << w;
        EXPECT_EQ(writes[w].word.address, w * 3) << w;
        EXPECT_EQ(writes[w].word.data, 0x11 * w + 1) << w;
    }
    EXPECT_EQ(Device().Counters().invalidCodecWords, 0u);
    std::vector<uint8_t> played;
    for (const sim::MidiOutByte& b : Device().MidiOut()) played.push_back(b.value);
    EXPECT_EQ(played, midiOut);
    std::vector<uint8_t> received;
    for (ULONG b = Engine().ReadMidiInByte(0); b != 0xFFFFFFFFu; b = Engine().ReadMidiInByte(0))
        received.push_back(uint8_t(b));
    EXPECT_EQ(received, midiIn);
    Engine().CloseMidiPort(0, 1);
}

}  // namespace
}  // namespace q407::test
