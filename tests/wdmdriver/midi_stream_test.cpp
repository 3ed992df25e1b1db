// MIDI streams: render output into the engine's MIDI OUT ring with its 2 ms retries, packages,
// the stream's life while a retry is pending; capture input pulled into events of up to 8 bytes,
// the 1,024-byte input buffer, and the sink connection.
#include <gtest/gtest.h>

#include <numeric>

#include "tests/wdmdriver/midi_test_bench.h"

namespace q407::testing {
namespace {

constexpr sim::ClockTicks kMs = sim::kTicksPerMillisecond;

std::vector<uint8_t> Range(size_t count, uint8_t first = 0) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = uint8_t(first + i);
    return bytes;
}

class MidiStreamTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_EQ(sim::Pool::LeakReport(), ""); }
    sim::Machine machine_;
};

// --- Render -------------------------------------------------------------------------------------

TEST_F(MidiStreamTest, SystemExclusiveGoesOutWholeAcrossRetriesFiveBytesAtATime) {
    const std::vector<uint8_t> sysex = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40,
                                        0x00, 0x7F, 0x00, 0x41, 0x00, 0xF7};
    {
        MidiBench bench;
        ASSERT_EQ(bench.initStatus, STATUS_SUCCESS);
        PMXF stream = nullptr;
        ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &stream), STATUS_SUCCESS);
        ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        machine_.RunFor(1 * kMs);  // the run's immediate pass finds nothing queued

        bench.link.SetOutBudget(5);
        PDMUS_KERNEL_EVENT event = bench.allocator.MakeEvent(sysex);
        ASSERT_EQ(stream->PutMessage(event), STATUS_SUCCESS);
        EXPECT_EQ(bench.link.Written(), std::vector<uint8_t>(sysex.begin(), sysex.begin() + 5));
        EXPECT_TRUE(bench.allocator.Returned().empty());  // not sent whole yet

        // A message put meanwhile waits behind the pending retry rather than cutting in.
        bench.link.SetOutBudget(5);
        ASSERT_EQ(stream->PutMessage(bench.allocator.MakeEvent({0x90, 0x3C, 0x7F})),
                  STATUS_SUCCESS);
        EXPECT_EQ(bench.link.Written().size(), 5u);

        machine_.RunFor(kMs);  // 1 ms after: not yet
        EXPECT_EQ(bench.link.Written().size(), 5u);
        machine_.RunFor(kMs + kMs / 2);  // the 2 ms retry
        EXPECT_EQ(bench.link.Written(), std::vector<uint8_t>(sysex.begin(), sysex.begin() + 10));
        EXPECT_TRUE(bench.allocator.Returned().empty());

        bench.link.SetOutBudget(5);
        machine_.RunFor(2 * kMs);
        std::vector<uint8_t> expected = sysex;
        expected.insert(expected.end(), {0x90, 0x3C, 0x7F});
        EXPECT_EQ(bench.link.Written(), expected);
        auto returned = bench.allocator.Returned();
        ASSERT_EQ(returned.size(), 2u);
        EXPECT_EQ(returned[0], event);  // given back once, after its last byte
        EXPECT_EQ(bench.allocator.Outstanding(), 0u);

        // Nothing left: no more retries.
        const size_t writes = bench.link.CallsOf(kLinkWriteMidiByte).size();
        machine_.RunFor(20 * kMs);
        EXPECT_EQ(bench.link.CallsOf(kLinkWriteMidiByte).size(), writes);
    }
}

TEST_F(MidiStreamTest, PackagesGiveTheirEventsInPlaceAndEveryEventGoesBack) {
    MidiBench bench;
    PMXF stream = nullptr;
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &stream), STATUS_SUCCESS);
    PDMUS_KERNEL_EVENT inner = bench.Chain({{0x90, 0x3C, 0x7F}, {0x80, 0x3C, 0x00}});
    PDMUS_KERNEL_EVENT package = bench.allocator.MakePackage(inner);
    package->pNextEvt = bench.Chain({{0xC0, 0x05}, Range(10, 0x10)});
    ASSERT_EQ(stream->PutMessage(package), STATUS_SUCCESS);

    std::vector<uint8_t> expected = {0x90, 0x3C, 0x7F, 0x80, 0x3C, 0x00, 0xC0, 0x05};
    const auto tail = Range(10, 0x10);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(bench.link.Written(), expected);
    EXPECT_EQ(bench.allocator.Returned().size(), 5u);
    EXPECT_EQ(bench.allocator.Outstanding(), 0u);
    // Each MIDI byte is its own call for port 0.
    auto writes = bench.link.CallsOf(kLinkWriteMidiByte);
    ASSERT_EQ(writes.size(), expected.size());
    EXPECT_EQ(writes[0].words[0] & 0xFF, 0u);
}

TEST_F(MidiStreamTest, StopParksAPendingRetryAndRunResumesAtOnce) {
    MidiBench bench;
    PMXF stream = nullptr;
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &stream), STATUS_SUCCESS);
    ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    machine_.RunFor(kMs);
    bench.link.SetOutBudget(0);
    ASSERT_EQ(stream->PutMessage(bench.allocator.MakeEvent({0xB0, 0x07, 0x64})), STATUS_SUCCESS);
    machine_.RunFor(5 * kMs);
    const size_t refusedWhileRunning = bench.link.CallsOf(kLinkWriteMidiByte).size();
    EXPECT_GE(refusedWhileRunning, 3u);  // the first try and at least two retries

    ASSERT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    const size_t atStop = bench.link.CallsOf(kLinkWriteMidiByte).size();
    machine_.RunFor(20 * kMs);
    EXPECT_EQ(bench.link.CallsOf(kLinkWriteMidiByte).size(), atStop);
    EXPECT_TRUE(bench.link.Written().empty());

    bench.link.SetOutBudget(100);
    ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    machine_.RunFor(kMs / 10);
    EXPECT_EQ(bench.link.Written(), (std::vector<uint8_t>{0xB0, 0x07, 0x64}));
    EXPECT_EQ(bench.allocator.Outstanding(), 0u);
}

TEST_F(MidiStreamTest, AStreamReleasedWithARetryPendingLivesUntilTheRetryThenCloses) {
    MidiBench bench;
    PMXF stream = nullptr;
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &stream), STATUS_SUCCESS);
    ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    machine_.RunFor(kMs);
    bench.link.SetOutBudget(1);
    ASSERT_EQ(stream->PutMessage(bench.allocator.MakeEvent({0x90, 0x40, 0x40})), STATUS_SUCCESS);
    bench.Close(stream);  // the port lets go; the pending retry still holds the stream
    EXPECT_TRUE(bench.link.CallsOf(kLinkOpenMidiInput).size() == 1u);

    bench.link.SetOutBudget(2);
    machine_.RunFor(3 * kMs);
    EXPECT_EQ(bench.link.Written(), (std::vector<uint8_t>{0x90, 0x40, 0x40}));
    // The retry's end was the stream's end: its MIDI port is closed and its event given back.
    auto opens = bench.link.CallsOf(kLinkOpenMidiInput);
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[1].words[1], 0u);  // close
    EXPECT_EQ(opens[1].words[2], 0u);  // the output side
    EXPECT_EQ(bench.allocator.Outstanding(), 0u);
    EXPECT_EQ(bench.allocator.References(), 0);
}

TEST_F(MidiStreamTest, DestroyingAStreamGivesBackItsQueue) {
    MidiBench bench;
    PMXF stream = nullptr;
    ASSERT_EQ(bench.Open(DMUS_STREAM_MIDI_RENDER, &stream), STATUS_SUCCESS);
    bench.link.SetOutBudget(0);  // stopped: no retry is armed, the events wait
    ASSERT_EQ(stream->PutMessage(bench.Chain({{0x90, 1, 2}, Range(12)})), STATUS_SUCCESS);
    EXPECT_EQ(bench.allocator.Outstanding(), 2u);
    bench.Close(stream);
    EXPECT_EQ(bench.allocator.Outstanding(), 0u);
    EXPECT_EQ(bench.allocator.References(), 0);
}

// --- Capture ------------------------------------------------------------------------------------

class CaptureTest : public MidiStreamTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(bench_.initStatus, STATUS_SUCCESS);
        ASSERT_EQ(bench_.Open(DMUS_STREAM_MIDI_CAPTURE, &stream_), STATUS_SUCCESS);
        ASSERT_EQ(stream_->ConnectOutput(&sink_), STATUS_SUCCESS);
        bench_.port.captureStream = stream_;
    }
    void TearDown() override {
        bench_.ReleaseAll();
        MidiStreamTest::TearDown();
    }
    // Everything the sink received, as one byte string.
    std::vector<uint8_t> ReceivedBytes() const {
        std::vector<uint8_t> bytes;
        for (const ReceivedEvent& event : sink_.received)
            bytes.insert(bytes.end(), event.bytes.begin(), event.bytes.end());
        return bytes;
    }

    MidiBench bench_;
    FakeSink sink_{&bench_.allocator};
    PMXF stream_ = nullptr;
};

TEST_F(CaptureTest, TwentyBufferedBytesArriveAsEventsOfEightEightAndFour) {
    ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    bench_.clock.now = 123456;
    bench_.link.QueueIn(Range(20, 0x30));
    ASSERT_EQ(stream_->PutMessage(nullptr), STATUS_SUCCESS);

    ASSERT_EQ(sink_.deliveries, 1);  // one chain
    ASSERT_EQ(sink_.received.size(), 3u);
    EXPECT_EQ(sink_.received[0].bytes.size(), 8u);
    EXPECT_EQ(sink_.received[1].bytes.size(), 8u);
    EXPECT_EQ(sink_.received[2].bytes.size(), 4u);
    EXPECT_EQ(ReceivedBytes(), Range(20, 0x30));
    for (const ReceivedEvent& event : sink_.received) {
        EXPECT_EQ(event.channelGroup, 1u);
        EXPECT_EQ(event.flags, 1u);
        EXPECT_EQ(event.time, 123456);  // when the oldest byte came in
    }
    EXPECT_EQ(bench_.allocator.Outstanding(), 0u);

    // Nothing more: nothing delivered, and the next bytes carry their own time.
    ASSERT_EQ(stream_->PutMessage(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sink_.deliveries, 1);
    bench_.clock.now = 200000;
    bench_.link.QueueIn({0xF8});
    ASSERT_EQ(stream_->PutMessage(nullptr), STATUS_SUCCESS);
    ASSERT_EQ(sink_.received.size(), 4u);
    EXPECT_EQ(sink_.received[3].time, 200000);
}

TEST_F(CaptureTest, TheInputNotificationMakesThePortPullWhatArrived) {
    ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    auto notifies = bench_.link.CallsOf(kLinkRegisterMidiInNotify);
    ASSERT_EQ(notifies.size(), 1u);
    EXPECT_EQ(notifies[0].words[0], 0u);  // port 0
    auto callback = bench_.link.RegisteredCallback();
    ASSERT_NE(callback, nullptr);
    EXPECT_EQ(bench_.link.RegisteredContext(), bench_.ObjectAddress());

    bench_.link.QueueIn({0x90, 0x3C, 0x7F});
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);  // as the engine's completion path calls it
    callback(1, 0, bench_.link.RegisteredContext(), 0);
    KeLowerIrql(irql);
    EXPECT_EQ(bench_.port.notifications.load(), 1);
    EXPECT_EQ(bench_.port.pullStatus.load(), STATUS_SUCCESS);
    EXPECT_EQ(ReceivedBytes(), (std::vector<uint8_t>{0x90, 0x3C, 0x7F}));
}

TEST_F(CaptureTest, OnlyARunningCaptureReadsAndStopEmptiesTheBuffer) {
    bench_.link.QueueIn(Range(6));
    ASSERT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(stream_->PutMessage(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(bench_.link.InPending(), 6u);  // left in the engine's ring
    EXPECT_TRUE(sink_.received.empty());

    ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    bench_.allocator.LimitAvailable(0);  // no events: the bytes stay buffered
    EXPECT_EQ(stream_->PutMessage(nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(bench_.link.InPending(), 0u);
    EXPECT_EQ(wdm::MidiInputBytesBuffered(bench_.Unknown()), 6u);
    ASSERT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(wdm::MidiInputBytesBuffered(bench_.Unknown()), 0u);
}

TEST_F(CaptureTest, TheInputBufferKeepsAtMost1023BytesAndDropsTheRest) {
    ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<uint8_t> bytes(1100);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7);
    bench_.link.QueueIn(bytes);
    bench_.allocator.LimitAvailable(0);
    EXPECT_EQ(stream_->PutMessage(nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(wdm::MidiInputBytesBuffered(bench_.Unknown()), 1023u);
    EXPECT_EQ(bench_.link.InPending(), 0u);  // the overflow was read and lost

    // Events for only part of it: what fits goes, the rest waits, in order.
    bench_.allocator.LimitAvailable(100);
    EXPECT_EQ(stream_->PutMessage(nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ReceivedBytes().size(), 800u);
    bench_.allocator.LimitAvailable(SIZE_MAX);
    ASSERT_EQ(stream_->PutMessage(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ReceivedBytes(), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 1023));
    EXPECT_EQ(sink_.received.back().bytes.size(), 7u);  // 127 events of 8, one of 7
}

TEST_F(CaptureTest, SinkConnectionsFollowTheAllocatorStandIn) {
    FakeSink other(&bench_.allocator);
    EXPECT_EQ(stream_->ConnectOutput(&other), STATUS_UNSUCCESSFUL);  // one sink at a time
    EXPECT_EQ(stream_->DisconnectOutput(&other), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stream_->DisconnectOutput(nullptr), STATUS_SUCCESS);
    // With no sink the pulled events go straight back to the allocator.
    ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    bench_.link.QueueIn({1, 2, 3});
    ASSERT_EQ(stream_->PutMessage(nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(sink_.received.empty());
    EXPECT_EQ(bench_.allocator.Returned().size(), 1u);
    EXPECT_EQ(bench_.allocator.Outstanding(), 0u);

    EXPECT_EQ(stream_->ConnectOutput(&other), STATUS_SUCCESS);
    EXPECT_EQ(stream_->DisconnectOutput(&other), STATUS_SUCCESS);
    EXPECT_EQ(stream_->ConnectOutput(&sink_), STATUS_SUCCESS);

    PMXF render = nullptr;
    ASSERT_EQ(bench_.Open(DMUS_STREAM_MIDI_RENDER, &render), STATUS_SUCCESS);
    EXPECT_EQ(render->ConnectOutput(&other), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(render->DisconnectOutput(nullptr), STATUS_UNSUCCESSFUL);
}

}  // namespace
}  // namespace q407::testing
