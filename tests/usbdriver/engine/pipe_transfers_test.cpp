// The streaming pipes on the virtual device: transfer sizes and rates for every sample rate and
// buffer count, stop and restart, parameter changes while streaming, a device that vanishes.
#include <cstring>
#include <tuple>

#include "engine_fixture.h"

namespace q407::test {
namespace {

struct Snapshot {
    uint64_t playback;
    uint64_t capture;
    uint64_t midiIn;
    sim::DeviceCounters device;
};

class PipeTest : public EngineTest {
  protected:
    Snapshot Take() {
        const EngineCounters& c = Engine().m_Counters;
        return {c.playbackCompletions, c.captureCompletions, c.midiInCompletions,
                Device().Counters()};
    }
    // Completions over one second of streaming, and what the device counted meanwhile.
    Snapshot OverOneSecond() {
        const Snapshot before = Take();
        RunSeconds(1.0);
        const Snapshot after = Take();
        Snapshot d = after;
        d.playback -= before.playback;
        d.capture -= before.capture;
        d.device.underruns -= before.device.underruns;
        d.device.overruns -= before.device.overruns;
        return d;
    }
    void ExpectRates(ULONG rate, ULONG n) {
        RunMs(20);  // past the start-up
        const Snapshot d = OverOneSecond();
        const double playback = double(rate) / (20.0 * n);
        const double capture = double(rate) / (16.0 * n);
        EXPECT_NEAR(double(d.playback), playback, n + 1.0) << rate << " Hz, n = " << n;
        EXPECT_NEAR(double(d.capture), capture, n + 1.0) << rate << " Hz, n = " << n;
        EXPECT_EQ(d.device.underruns, 0u) << rate << " Hz, n = " << n;
        EXPECT_EQ(d.device.overruns, 0u) << rate << " Hz, n = " << n;
    }
};

class PipeRateTest : public PipeTest,
                     public ::testing::WithParamInterface<std::tuple<ULONG, ULONG>> {};

TEST_P(PipeRateTest, TransfersAndCompletionsFollowRateAndBufferCount) {
    const auto [rate, n] = GetParam();
    MixerSettings stored = DefaultMixerSettings();
    stored.sampleRate = static_cast<LONG>(rate);
    stored.usbBufferCount = static_cast<LONG>(n);
    rig_->StoreSettingsValue(&stored, sizeof(stored));
    ASSERT_EQ(Start(), STATUS_SUCCESS);

    StreamEngine& e = Engine();
    ASSERT_NE(e.m_PlaybackGroup, nullptr);
    ASSERT_NE(e.m_CaptureGroup, nullptr);
    ASSERT_NE(e.m_MidiInGroup, nullptr);
    EXPECT_EQ(e.m_PlaybackGroup->transferCount, n);
    EXPECT_EQ(e.m_CaptureGroup->transferCount, n);
    EXPECT_EQ(e.m_MidiInGroup->transferCount, 1u);
    for (ULONG i = 0; i < n; ++i) {
        EXPECT_EQ(e.m_PlaybackGroup->transfers[i]->length, n * 964);
        EXPECT_EQ(e.m_CaptureGroup->transfers[i]->length, n * 1024);
        EXPECT_EQ(e.m_PlaybackGroup->transfers[i]->buffer, e.m_PlaybackBuffers[i]);
        EXPECT_EQ(e.m_CaptureGroup->transfers[i]->buffer, e.m_CaptureBuffers[i]);
    }
    EXPECT_EQ(e.m_MidiInGroup->transfers[0]->length, 5u);
    EXPECT_EQ(e.m_FramesPerPlaybackTransfer, 20 * n);
    EXPECT_EQ(e.m_RateFactor, rate > 48000 ? 2u : 1u);
    ExpectRates(rate, n);
}

INSTANTIATE_TEST_SUITE_P(AllRatesAndCounts, PipeRateTest,
                         ::testing::Combine(::testing::Values(44100u, 48000u, 88200u, 96000u),
                                            ::testing::Values(2u, 3u, 4u, 5u)));

TEST_F(PipeTest, FourBuffersMoveEightyAndSixtyFourFramesPerTransfer) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Engine().m_PlaybackGroup->transfers[0]->length, 3856u);
    EXPECT_EQ(Engine().m_CaptureGroup->transfers[0]->length, 4096u);
    EXPECT_EQ(Engine().m_FramesPerPlaybackTransfer, 80u);
}

TEST_F(PipeTest, FreshPlaybackTransfersAreIdleUnits) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const TransferRecord* t = Engine().m_PlaybackGroup->transfers[1];
    for (ULONG u = 0; u < 4; ++u) {
        const PUCHAR unit = t->buffer + u * 964;
        EXPECT_EQ(unit[432], 0xFD);
        EXPECT_EQ(unit[433], 0xFF);
        EXPECT_EQ(unit[914], 0xFD);
        EXPECT_EQ(unit[915], 0xFF);
        size_t nonZero = 0;
        for (ULONG b = 0; b < 964; ++b) nonZero += unit[b] != 0;
        EXPECT_EQ(nonZero, 4u);
    }
}

TEST_F(PipeTest, NotificationsFollowThePeriods) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RunSeconds(1.0);
    ASSERT_EQ(Engine().UsbStopStreaming(), STATUS_SUCCESS);
    const EngineCounters& c = Engine().m_Counters;
    const auto& n = rig_->Notifications();
    EXPECT_EQ(n.outputPeriods.load(), c.playbackCompletions);
    // L = 256 at 44.1 kHz: one input period per 256 captured frames, each signalled once.
    EXPECT_EQ(n.inputPeriods.load(), c.inputPeriods);
    EXPECT_EQ(n.asioSignals.load(), c.inputPeriods);
    EXPECT_NEAR(double(c.inputPeriods), 44100.0 / 256.0, 2.0);
    EXPECT_EQ(c.captureUnitsDropped, 0u);
    EXPECT_EQ(c.captureUnitsConverted, c.captureCompletions * 4);
}

TEST_F(PipeTest, PublishedHalfAlternatesEveryPeriod) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(Engine().UsbStopStreaming(), STATUS_SUCCESS);
    StreamEngine& e = Engine();
    // One period at a time through the capture path, on the stopped engine.
    ASSERT_EQ(e.SetLatency(32), STATUS_SUCCESS);
    ASSERT_EQ(e.UsbStopStreaming(), STATUS_SUCCESS);
    Flush(&e.m_InAudioRingBuffer);
    e.m_InputHalf = 0;
    e.m_PublishedHalf = 0;
    TransferRecord t{};
    t.buffer = e.m_CaptureBuffers[0];
    t.length = 4 * 1024;
    std::memset(t.buffer, 0, t.length);
    const uint64_t before = e.m_Counters.inputPeriods;
    e.ProcessCapture(&t, 2 * 1024);  // 32 frames: one period
    EXPECT_EQ(e.m_Counters.inputPeriods, before + 1);
    EXPECT_EQ(Status().lastInputHalf, 0u);
    e.ProcessCapture(&t, 2 * 1024);
    EXPECT_EQ(Status().lastInputHalf, 1u);
    e.ProcessCapture(&t, 1024);  // half a period stays in the ring
    EXPECT_EQ(e.m_Counters.inputPeriods, before + 2);
    EXPECT_EQ(GetReadAvailable(&e.m_InAudioRingBuffer), 1024);
}

TEST_F(PipeTest, CaptureUnitWithoutAWholeFreeSlotIsDroppedAndTheRingUntouched) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(Engine().SetLatency(1024), STATUS_SUCCESS);
    ASSERT_EQ(Engine().UsbStopStreaming(), STATUS_SUCCESS);
    StreamEngine& e = Engine();
    RingBuffer& ring = e.m_InAudioRingBuffer;
    Flush(&ring);
    // Leave 1,023 bytes free: less than a unit.
    AdvanceWriteIndex(&ring, ring.size - 1023);
    const int32_t write = ring.writeIndex;
    TransferRecord t{};
    t.buffer = e.m_CaptureBuffers[0];
    t.length = 2 * 1024;
    const uint64_t dropped = e.m_Counters.captureUnitsDropped;
    e.ProcessCapture(&t, 2 * 1024);
    EXPECT_EQ(e.m_Counters.captureUnitsDropped, dropped + 2);
    EXPECT_EQ(ring.writeIndex, write);
    Flush(&ring);
}

TEST_F(PipeTest, ShortCaptureTransferConvertsOnlyWholeUnitsReceived) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(Engine().UsbStopStreaming(), STATUS_SUCCESS);
    StreamEngine& e = Engine();
    Flush(&e.m_InAudioRingBuffer);
    TransferRecord t{};
    t.buffer = e.m_CaptureBuffers[0];
    t.length = 4 * 1024;
    const uint64_t converted = e.m_Counters.captureUnitsConverted;
    e.ProcessCapture(&t, 1024 + 700);
    EXPECT_EQ(e.m_Counters.captureUnitsConverted, converted + 1);
    EXPECT_EQ(GetReadAvailable(&e.m_InAudioRingBuffer), 1024);
}

TEST_F(PipeTest, StopAndRestartReuseTheIrpsWithoutPoolGrowth) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RunMs(100);
    StreamEngine& e = Engine();
    PIRP playback[4];
    PIRP capture[4];
    for (int i = 0; i < 4; ++i) {
        playback[i] = e.m_PlaybackIrps[i];
        capture[i] = e.m_CaptureIrps[i];
        ASSERT_NE(playback[i], nullptr);
    }
    const PIRP midi = e.m_MidiInIrp;
    const auto pipesBefore = sim::Pool::Usage(kTagPipes);
    const auto engineBefore = sim::Pool::Usage(kTagEngine);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(e.UsbStopStreaming(), STATUS_SUCCESS);
        EXPECT_FALSE(e.IsStreaming());
        EXPECT_EQ(e.m_PlaybackGroup, nullptr);
        EXPECT_EQ(sim::Pool::Usage(kTagPipes).allocations, 0u);
        ASSERT_EQ(e.SelectStreamingInterfaces(), STATUS_SUCCESS);
        ASSERT_EQ(e.UsbStartStream(), STATUS_SUCCESS);
        EXPECT_TRUE(e.IsStreaming());
        RunMs(100);
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(e.m_PlaybackIrps[i], playback[i]);
        EXPECT_EQ(e.m_CaptureIrps[i], capture[i]);
    }
    EXPECT_EQ(e.m_MidiInIrp, midi);
    EXPECT_EQ(sim::Pool::Usage(kTagPipes).allocations, pipesBefore.allocations);
    EXPECT_EQ(sim::Pool::Usage(kTagPipes).bytes, pipesBefore.bytes);
    EXPECT_EQ(sim::Pool::Usage(kTagEngine).allocations, engineBefore.allocations);
    const Snapshot d = OverOneSecond();
    EXPECT_EQ(d.device.underruns, 0u);
}

TEST_F(PipeTest, StartRefusesWhileGroupsExistAndDuringFirmwareUpdate) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    StreamEngine& e = Engine();
    EXPECT_EQ(e.UsbStartStream(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(e.SelectStreamingInterfaces(), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(e.UsbStopStreaming(), STATUS_SUCCESS);
    InterlockedExchange(&e.m_FirmwareUpdate, 1);
    EXPECT_EQ(e.UsbStartStream(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Traced("UsbStartStream ERROR FIRMWARE UPDATE IS RUNNING !!!!\n"));
    EXPECT_EQ(e.m_PlaybackGroup, nullptr);
    EXPECT_EQ(e.m_CaptureGroup, nullptr);
    EXPECT_EQ(e.m_MidiInGroup, nullptr);
    InterlockedExchange(&e.m_FirmwareUpdate, 0);
}

TEST_F(PipeTest, IsochronousPipesAloneStartNothing) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    StreamEngine& e = Engine();
    ASSERT_EQ(e.UsbStopStreaming(), STATUS_SUCCESS);
    ASSERT_EQ(e.SelectStreamingInterfaces(), STATUS_SUCCESS);
    // Keep only the monitor endpoint's isochronous pipe.
    ULONG kept = 0;
    for (ULONG i = 0; i < e.m_PipeCount; ++i) {
        if (e.m_Pipes[i].PipeType == UsbdPipeTypeIsochronous) e.m_Pipes[kept++] = e.m_Pipes[i];
    }
    ASSERT_EQ(kept, 1u);
    e.m_PipeCount = kept;
    EXPECT_EQ(e.UsbStartStream(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(e.IsStreaming());
    EXPECT_EQ(e.m_PlaybackGroup, nullptr);
    EXPECT_EQ(e.m_CaptureGroup, nullptr);
}

TEST_F(PipeTest, LastMatchingPipeWinsAndOthersAreSkipped) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    StreamEngine& e = Engine();
    ASSERT_EQ(e.UsbStopStreaming(), STATUS_SUCCESS);
    ASSERT_EQ(e.SelectStreamingInterfaces(), STATUS_SUCCESS);
    ASSERT_LT(e.m_PipeCount + 1, kMaxPipes);
    // A dead interrupt IN entry ahead of the real one: the later entry is the one used.
    USBD_PIPE_INFORMATION bogus{};
    bogus.PipeType = UsbdPipeTypeInterrupt;
    bogus.EndpointAddress = 0x81;
    for (ULONG i = e.m_PipeCount; i > 0; --i) e.m_Pipes[i] = e.m_Pipes[i - 1];
    e.m_Pipes[0] = bogus;
    ++e.m_PipeCount;
    ASSERT_EQ(e.UsbStartStream(), STATUS_SUCCESS);
    EXPECT_EQ(e.m_CaptureGroup->pipe.EndpointAddress, 0x86);
    EXPECT_EQ(e.m_PlaybackGroup->pipe.EndpointAddress, 0x05);
    EXPECT_EQ(e.m_MidiInGroup->pipe.EndpointAddress, 0x82);
}

TEST_F(PipeTest, RateChangeWhileStreaming) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RunMs(100);
    ASSERT_EQ(Engine().SetSampleRate(96000), STATUS_SUCCESS);
    EXPECT_TRUE(Engine().IsStreaming());
    EXPECT_EQ(Status().sampleRate, 96000u);
    EXPECT_EQ(Device().ClockRate(), 96000u);
    EXPECT_EQ(Engine().m_RateFactor, 2u);
    EXPECT_EQ(Engine().m_MidiInByteCount, 2u);
    ExpectRates(96000, 4);
    ASSERT_EQ(Engine().SetSampleRate(48000), STATUS_SUCCESS);
    ExpectRates(48000, 4);
}

TEST_F(PipeTest, BufferCountChangeWhileStreaming) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RunMs(100);
    ASSERT_EQ(Engine().SetUsbBufferCount(2), STATUS_SUCCESS);
    EXPECT_TRUE(Engine().IsStreaming());
    EXPECT_EQ(Status().usbBufferCount, 2u);
    EXPECT_EQ(Engine().m_Settings.usbBufferCount, 2);
    EXPECT_EQ(Engine().m_PlaybackGroup->transfers[0]->length, 2u * 964u);
    ExpectRates(44100, 2);
    ASSERT_EQ(Engine().SetUsbBufferCount(5), STATUS_SUCCESS);
    EXPECT_EQ(Engine().m_CaptureGroup->transfers[4]->length, 5u * 1024u);
    ExpectRates(44100, 5);
}

TEST_F(PipeTest, BufferCountOutOfRangeChangesNothing) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Engine().SetUsbBufferCount(6), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Engine().SetUsbBufferCount(1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Status().usbBufferCount, 4u);
    EXPECT_EQ(Engine().m_PlaybackGroup->transferCount, 4u);
}

TEST_F(PipeTest, BufferCountWhileIdleIsOnlyStored) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(Engine().EnableStreaming(0), STATUS_SUCCESS);
    EXPECT_FALSE(Engine().IsStreaming());
    Device().ClearRequests();
    ASSERT_EQ(Engine().SetUsbBufferCount(3), STATUS_SUCCESS);
    EXPECT_EQ(Status().usbBufferCount, 3u);
    EXPECT_EQ(Engine().m_Settings.usbBufferCount, 3);
    EXPECT_FALSE(Engine().IsStreaming());
    EXPECT_TRUE(Device().Requests().empty());
}

TEST_F(PipeTest, LatencyChangeRestartsAndIsSaved) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(Engine().SetLatency(128), STATUS_SUCCESS);
    EXPECT_EQ(Status().latency, 128u);
    EXPECT_TRUE(Engine().IsStreaming());
    const auto stored = rig_->StoredSettingsValue();
    ASSERT_TRUE(stored.has_value());
    MixerSettings saved;
    ASSERT_EQ(stored->size(), sizeof(saved));
    std::memcpy(&saved, stored->data(), sizeof(saved));
    EXPECT_EQ(saved.latency, 128);
    // Values the engine's loops are not built for are refused.
    EXPECT_EQ(Engine().SetLatency(31), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Engine().SetLatency(2048), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Status().latency, 128u);
    const uint64_t periods = Engine().m_Counters.inputPeriods;
    RunSeconds(1.0);
    EXPECT_NEAR(double(Engine().m_Counters.inputPeriods - periods), 44100.0 / 128.0, 2.0);
}

TEST_F(PipeTest, VanishingDeviceRetiresEveryTransfer) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RunMs(100);
    StreamEngine& e = Engine();
    PipeGroup* groups[] = {e.m_PlaybackGroup, e.m_CaptureGroup, e.m_MidiInGroup};
    rig_->Unplug();
    RunMs(100);
    for (PipeGroup* g : groups) {
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(g->pending, 0);
        EXPECT_NE(KeReadStateEvent(&g->drained), 0);
    }
    const uint64_t playback = e.m_Counters.playbackCompletions;
    RunMs(100);
    EXPECT_EQ(e.m_Counters.playbackCompletions, playback);
    EXPECT_EQ(e.UsbStopStreaming(), STATUS_SUCCESS);
    EXPECT_FALSE(e.IsStreaming());
    EXPECT_EQ(sim::Pool::Usage(kTagPipes).allocations, 0u);
}

TEST_F(PipeTest, EnableStreamingOffStopsEverything) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RunMs(50);
    ASSERT_EQ(Engine().EnableStreaming(0), STATUS_SUCCESS);
    EXPECT_FALSE(Engine().IsStreaming());
    EXPECT_EQ(Engine().m_HalfQueued, 0);
    EXPECT_EQ(Engine().m_PlaybackGroup, nullptr);
    const uint64_t playback = Engine().m_Counters.playbackCompletions;
    const uint64_t capture = Engine().m_Counters.captureCompletions;
    RunMs(50);
    EXPECT_EQ(Engine().m_Counters.playbackCompletions, playback);
    EXPECT_EQ(Engine().m_Counters.captureCompletions, capture);
    // Enabling resets the stream state but does not start the pipes.
    EXPECT_EQ(Engine().EnableStreaming(1), STATUS_SUCCESS);
    EXPECT_FALSE(Engine().IsStreaming());
    EXPECT_EQ(Engine().m_CaptureGroup, nullptr);
}

TEST_F(PipeTest, SilenceOutputNeedsAPlaybackGroup) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    StreamEngine& e = Engine();
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&e.m_PlaybackLock);
    e.m_OutputStaging[1][5] = 0x12345600;
    e.m_OutputStaging[0][1023 * 8 + 7] = -5;
    KeReleaseSpinLock(&e.m_PlaybackLock, irql);
    EXPECT_EQ(e.SilenceOutput(), STATUS_SUCCESS);
    irql = KeAcquireSpinLockRaiseToDpc(&e.m_PlaybackLock);
    EXPECT_EQ(e.m_OutputStaging[1][5], 0);
    EXPECT_EQ(e.m_OutputStaging[0][1023 * 8 + 7], 0);
    KeReleaseSpinLock(&e.m_PlaybackLock, irql);
    ASSERT_EQ(Engine().UsbStopStreaming(), STATUS_SUCCESS);
    EXPECT_EQ(Engine().SilenceOutput(), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace q407::test
