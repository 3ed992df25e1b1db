// Transfer errors on the streaming pipes: a failed transfer restarts its pipe (abort, reset,
// resubmit) instead of retiring it, errors reported only in the URB count as errors, a pipe whose
// restarts keep failing is given up with a trace and a count, and errors the bus completes inside
// IoCallDriver are handled without the completion routine spinning on its own lock.
#include "engine_fixture.h"

namespace q407::test {
namespace {

using sim::TransferStatus;

class PipeRecoveryTest : public EngineTest {
  protected:
    PipeErrorCounts Counts() {
        PipeErrorCounts counts{};
        Engine().GetPipeErrorCounts(&counts);
        return counts;
    }
    enum Pipe { kPlayback, kCapture };
    uint64_t Completions(Pipe pipe) {
        return pipe == kPlayback ? Engine().m_Counters.playbackCompletions
                                 : Engine().m_Counters.captureCompletions;
    }
    uint64_t Capture() { return Completions(kCapture); }
    // Completions of the pipe over one second of streaming.
    uint64_t OverOneSecond(Pipe pipe) {
        const uint64_t before = Completions(pipe);
        RunSeconds(1.0);
        return Completions(pipe) - before;
    }
    // With n = 4 at 44.1 kHz: 80 frames per playback transfer, 64 per capture transfer.
    static constexpr double kPlaybackPerSecond = 44100.0 / 80.0;
    static constexpr double kCapturePerSecond = 44100.0 / 64.0;
};

TEST_F(PipeRecoveryTest, StalledPlaybackPipeIsResetAndPlaysAtFullRateAgain) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RunMs(50);
    // A stall halts the endpoint: every transfer in flight fails until the pipe is reset.
    Device().FailTransfers(0x05, 1, TransferStatus::Stall);
    RunMs(200);
    const PipeErrorCounts counts = Counts();
    EXPECT_GE(counts.transferErrors, 1u);
    EXPECT_GE(counts.restarts, 1u);
    EXPECT_EQ(counts.pipesGivenUp, 0u);
    EXPECT_FALSE(Device().EndpointHalted(0x05));
    EXPECT_TRUE(
        Traced("UsbPipe ERROR pipe 0x05 transfer failed 0xC0000001/0xC0000004, restarting\n"));

    const uint64_t underruns = Device().Counters().underruns;
    EXPECT_NEAR(double(OverOneSecond(kPlayback)), kPlaybackPerSecond, 5.0);
    EXPECT_EQ(Device().Counters().underruns, underruns);
    EXPECT_EQ(Engine().m_PlaybackGroup->pending, 4);
}

TEST_F(PipeRecoveryTest, TransientErrorsOnCaptureAndMidiInputDoNotEndThosePipes) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Engine().OpenMidiPort(0, 1);
    RunMs(50);
    Device().FailTransfers(0x86, 2, TransferStatus::CrcError);
    // The MIDI input pipe has one transfer: one error used to end it.
    Device().FailTransfers(0x82, 1, TransferStatus::NoResponse);
    Device().SendMidiIn({0x90, 0x40, 0x7F});
    RunMs(200);
    // The second capture fault was on a transfer the restart took back before it failed.
    EXPECT_EQ(Counts().transferErrors, 2u);
    EXPECT_EQ(Counts().restarts, 2u);
    EXPECT_EQ(Counts().pipesGivenUp, 0u);
    EXPECT_TRUE(
        Traced("UsbPipe ERROR pipe 0x82 transfer failed 0xC0000001/0xC0000005, restarting\n"));

    const uint64_t midiBytes = Engine().m_Counters.midiInBytes;
    Device().SendMidiIn({0x80, 0x40, 0x00});
    RunMs(50);
    EXPECT_EQ(Engine().m_Counters.midiInBytes, midiBytes + 3);
    EXPECT_NEAR(double(OverOneSecond(kCapture)), kCapturePerSecond, 5.0);
    EXPECT_EQ(Engine().m_CaptureGroup->pending, 4);
    EXPECT_EQ(Engine().m_MidiInGroup->pending, 1);
    Engine().CloseMidiPort(0, 1);
}

TEST_F(PipeRecoveryTest, UrbErrorUnderASuccessfulIrpIsAnErrorNotData) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RunMs(50);
    const uint64_t converted = Engine().m_Counters.captureUnitsConverted;
    const uint64_t completions = Capture();
    rig_->Bus().FailTransfers(0x86, 1, USBD_STATUS_DATA_OVERRUN, STATUS_SUCCESS);
    RunMs(100);
    EXPECT_EQ(Counts().transferErrors, 1u);
    EXPECT_EQ(Counts().restarts, 1u);
    EXPECT_TRUE(
        Traced("UsbPipe ERROR pipe 0x86 transfer failed 0x00000000/0xC0000008, restarting\n"));
    // Every processed completion converted whole transfers: the failed one was not among them.
    EXPECT_EQ(Engine().m_Counters.captureUnitsConverted - converted, (Capture() - completions) * 4);
}

TEST_F(PipeRecoveryTest, RepeatedFailedRestartsGiveThePipeUpWithATraceAndACount) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RunMs(50);
    rig_->Bus().FailTransfers(0x86, -1, USBD_STATUS_CRC, STATUS_UNSUCCESSFUL);
    RunMs(2000);
    const PipeErrorCounts counts = Counts();
    EXPECT_EQ(counts.restarts, ULONG(kMaxFailedRestarts));
    EXPECT_EQ(counts.pipesGivenUp, 1u);
    EXPECT_TRUE(Traced("UsbPipe ERROR pipe 0x86 given up after 5 restarts, status 0x00000000\n"));
    // One trace for every restart the pipe needed, one when it is given up.
    EXPECT_EQ(TraceCount("UsbPipe ERROR pipe 0x86 transfer failed 0xC0000001/0xC0000001, "
                         "restarting\n"),
              size_t(kMaxFailedRestarts) + 1);
    EXPECT_EQ(Engine().m_CaptureGroup->pending, 0);
    // The other pipes play on.
    EXPECT_NEAR(double(OverOneSecond(kPlayback)), kPlaybackPerSecond, 5.0);

    // Once the fault is gone, a restart of the stream brings capture back.
    rig_->Bus().FailTransfers(0x86, 0, USBD_STATUS_CRC, STATUS_UNSUCCESSFUL);
    ASSERT_EQ(Engine().SetLatency(256), STATUS_SUCCESS);
    EXPECT_NEAR(double(OverOneSecond(kCapture)), kCapturePerSecond, 5.0);
    EXPECT_EQ(Counts().pipesGivenUp, 1u);
}

TEST_F(PipeRecoveryTest, StopWhileAPipeRestartsRetiresWhatTheRestartHolds) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RunMs(50);
    rig_->Bus().FailTransfers(0x86, -1, USBD_STATUS_CRC, STATUS_UNSUCCESSFUL);
    for (int round = 0; round < 5; ++round) {
        RunMs(3 + round * 7);
        ASSERT_EQ(Engine().UsbStopStreaming(), STATUS_SUCCESS) << round;
        EXPECT_EQ(sim::Pool::Usage(kTagPipes).allocations, 0u) << round;
        ASSERT_EQ(Engine().SelectStreamingInterfaces(), STATUS_SUCCESS);
        ASSERT_EQ(Engine().UsbStartStream(), STATUS_SUCCESS);
    }
    rig_->Bus().FailTransfers(0x86, 0, USBD_STATUS_CRC, STATUS_UNSUCCESSFUL);
}

TEST_F(PipeRecoveryTest, ErrorsCompletedInsideIoCallDriverRestartThePipe) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RunMs(50);
    rig_->Bus().SetInlineCompletion(true);
    // Each resubmission of a completed transfer fails inside IoCallDriver, so the completion
    // routine runs again while the first one is still on the stack.
    rig_->Bus().FailTransfers(0x86, 3, USBD_STATUS_CRC, STATUS_UNSUCCESSFUL);
    RunMs(300);
    EXPECT_EQ(Counts().transferErrors, 3u);
    EXPECT_GE(Counts().restarts, 1u);
    EXPECT_EQ(Counts().pipesGivenUp, 0u);
    EXPECT_NEAR(double(OverOneSecond(kCapture)), kCapturePerSecond, 5.0);

    // A halted endpoint refuses resubmissions at once until the restart resets it.
    Device().FailTransfers(0x05, 1, TransferStatus::Stall);
    RunMs(300);
    EXPECT_EQ(Counts().pipesGivenUp, 0u);
    EXPECT_FALSE(Device().EndpointHalted(0x05));
    EXPECT_NEAR(double(OverOneSecond(kPlayback)), kPlaybackPerSecond, 5.0);

    // Removal completes inside the call as well: everything retires.
    rig_->Unplug();
    RunMs(100);
    EXPECT_EQ(Engine().m_PlaybackGroup->pending, 0);
    EXPECT_EQ(Engine().m_CaptureGroup->pending, 0);
    EXPECT_EQ(Engine().m_MidiInGroup->pending, 0);
    EXPECT_EQ(Engine().UsbStopStreaming(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace q407::test
