// Wave streams through their interfaces: the engine registration of each state, set-format's
// refusals, playback and recording data bit-exact across mapping boundaries, revoke, position
// and framing.
#include "wdmdriver/wave_stream.h"

#include <algorithm>
#include <cstring>

#include "wave_fixture.h"
#include "wdmdriver/driver_pool.h"

namespace q407::testing {
namespace {

class WaveStreamTest : public WaveFixture {
  protected:
    std::vector<LinkCall> CallsOf(uint32_t function) const {
        std::vector<LinkCall> found;
        for (const LinkCall& call : link_.Calls())
            if (call.function == function) found.push_back(call);
        return found;
    }
    // Engine samples of a client buffer, computed independently of the driver: the client's
    // little-endian bytes in the top of each 32-bit sample.
    static std::vector<int32_t> Expected(const std::vector<uint8_t>& client, size_t width) {
        std::vector<int32_t> samples;
        for (size_t i = 0; i + width <= client.size(); i += width) {
            uint32_t value = 0;
            for (size_t b = 0; b < width; ++b)
                value |= static_cast<uint32_t>(client[i + b]) << (8 * (4 - width + b));
            samples.push_back(static_cast<int32_t>(value));
        }
        return samples;
    }
};

TEST_F(WaveStreamTest, PlaybackRunRegistersRingCallbackAndChannelsAndStopUndoesThem) {
    ASSERT_EQ(CreateMiniport(2), STATUS_SUCCESS);
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(false, {}, Ramp(4096), {1024}, &handle), STATUS_SUCCESS);
    link_.ClearCalls();
    ASSERT_EQ(handle->stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_TRUE(link_.Calls().empty());
    ASSERT_EQ(handle->stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(link_.Functions(),
              (std::vector<uint32_t>{kLinkGetLatency, kLinkSetStreamRing, kLinkRegisterStreamNotify,
                                     kLinkOpenStreamChannels}));
    ASSERT_NE(link_.ring, nullptr);
    EXPECT_EQ(link_.ring->channels, 2);
    EXPECT_EQ(link_.ring->size, 16384);
    EXPECT_EQ(GetReadAvailable(link_.ring), 512);  // the first mapping, converted
    LinkStreamChannelsBlock open{};
    std::memcpy(&open, CallsOf(kLinkOpenStreamChannels)[0].words, sizeof(open));
    EXPECT_EQ(open.direction, 0u);
    EXPECT_EQ(open.group, 2u);
    EXPECT_EQ(open.count, 2u);
    EXPECT_EQ(link_.openGroups, 1);
    EXPECT_EQ(sim::Pool::Usage(wdm::kStreamStorageTag).allocations, 1u);

    link_.ClearCalls();
    ASSERT_EQ(handle->stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(link_.Functions(),
              (std::vector<uint32_t>{kLinkRegisterStreamNotify, kLinkCloseStreamChannels,
                                     kLinkSetStreamRing}));
    EXPECT_EQ(link_.callback, nullptr);
    EXPECT_EQ(link_.ring, nullptr);
    EXPECT_EQ(link_.openGroups, 0);
    EXPECT_EQ(sim::Pool::Usage(wdm::kStreamStorageTag).allocations, 0u);
}

TEST_F(WaveStreamTest, RecordingRunRegistersTheStagingBufferWithItsPeriodAndStride) {
    ASSERT_EQ(CreateMiniport(6), STATUS_SUCCESS);
    link_.latency = 128;
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(true, {1, 2, 48000, 32}, std::vector<uint8_t>(4096), {1024}, &handle),
              STATUS_SUCCESS);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_NE(link_.staging, nullptr);
    EXPECT_EQ(link_.stagingCount, 2u);
    EXPECT_EQ(link_.stagingStride, 2u);
    EXPECT_EQ(link_.stagingPeriodBytes, 2u * 4 * 128);
    EXPECT_EQ(link_.callbackDirection, 1u);
    EXPECT_EQ(link_.callbackSubdevice, 6u);
    EXPECT_EQ(link_.callbackPin, 2u);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(link_.staging, nullptr);
    EXPECT_EQ(link_.openGroups, 0);
}

TEST_F(WaveStreamTest, RingStorageThatCannotBeHadLeavesTheStreamStopped) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(false, {}, Ramp(4096), {1024}, &handle), STATUS_SUCCESS);
    sim::Pool::FailTag(wdm::kStreamStorageTag);
    EXPECT_EQ(handle->stream->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    sim::Pool::FailTag(wdm::kStreamStorageTag, false);
    EXPECT_EQ(link_.CountOf(kLinkOpenStreamChannels), 0u);
    EXPECT_EQ(link_.ring, nullptr);
    ULONGLONG position = 1;
    EXPECT_EQ(handle->stream->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 0u);
    // It can run once memory is there again.
    EXPECT_EQ(handle->stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(link_.openGroups, 1);
}

// --- Set-format -----------------------------------------------------------------------------

TEST_F(WaveStreamTest, SetFormatIsRefusedWhileRunningAndForFormatsTheDeviceDoesNotTake) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(false, {}, Ramp(4096), {1024}, &handle), STATUS_SUCCESS);
    std::vector<uint8_t> good = MakeFormat({1, 2, 48000, 32});
    std::vector<uint8_t> bad = MakeFormat({1, 2, 48000, 24});
    machine_.Trace().Clear();
    EXPECT_EQ(handle->stream->SetFormat(AsFormat(bad)), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(machine_.Trace().Count("[SetFormat] ValidateFormat Fail *************\n"), 1u);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    link_.ClearCalls();
    EXPECT_EQ(handle->stream->SetFormat(AsFormat(good)), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(link_.Calls().empty());
    ASSERT_EQ(handle->stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(handle->stream->SetFormat(AsFormat(good)), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<wdm::WaveStream*>(handle->stream)->BytesPerSample(), 4u);
}

TEST_F(WaveStreamTest, PlaybackRateChangeIsRefusedWithItsTraceWhileAnyChannelIsOpen) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    link_.deviceRate = 44100;
    link_.openChannels.insert({2, 1});  // only an ASIO input
    machine_.Trace().Clear();
    StreamHandle* handle = nullptr;
    EXPECT_EQ(Open(false, {1, 2, 48000, 16}, Ramp(64), {64}, &handle), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(handle->stream, nullptr);
    EXPECT_EQ(machine_.Trace().Count(
                  "[SetFormat] Locked Fail Current 48000[want to set: 44100] *************\n"),
              1u);
    EXPECT_EQ(link_.CountOf(kLinkSetStreamFormat), 0u);
    // At the device's own rate nothing is in the way.
    EXPECT_EQ(Open(false, {1, 2, 44100, 16}, Ramp(64), {64}, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(link_.lastSetRate, 44100u);
}

TEST_F(WaveStreamTest, RecordingRateChangeIsRefusedWhileAsioOrAnotherStreamUsesTheDevice) {
    ASSERT_EQ(CreateMiniport(4), STATUS_SUCCESS);
    link_.deviceRate = 44100;
    const std::initializer_list<std::pair<int32_t, int32_t>> users = {
        {2, 0}, {2, 1}, {0, 0}, {0, 1}, {1, 0}};
    for (const auto& user : users) {
        link_.openChannels = {user};
        machine_.Trace().Clear();
        StreamHandle* handle = nullptr;
        EXPECT_EQ(Open(true, {1, 2, 48000, 16}, std::vector<uint8_t>(64), {64}, &handle),
                  STATUS_UNSUCCESSFUL)
            << user.first << "," << user.second;
        EXPECT_TRUE(machine_.Trace().Texts().empty());  // no trace on the recording side
    }
    // A DOLBY input does not exist; its channels do not stand in the way.
    link_.openChannels = {{1, 1}};
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(true, {1, 2, 48000, 16}, std::vector<uint8_t>(64), {64}, &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(link_.lastSetRate, 48000u);
    EXPECT_EQ(link_.deviceRate, 48000u);
}

TEST_F(WaveStreamTest, SetFormatPassesTheEnginesResultAndTheCompressedFlag) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    link_.formatResult = static_cast<int32_t>(STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Open(false, {}, Ramp(64), {64}, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    link_.formatResult = 0;
    FormatSpec ac3{0x92, 2, 48000, 16};
    ac3.subformat = {0x92, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    ASSERT_EQ(Open(false, ac3, Ramp(64), {64}, nullptr), STATUS_SUCCESS);
    LinkStreamFormatBlock block{};
    std::memcpy(&block, CallsOf(kLinkSetStreamFormat).back().words, sizeof(block));
    EXPECT_EQ(block.compressed, 1u);
    EXPECT_EQ(block.rate, 48000u);
}

// --- Playback data --------------------------------------------------------------------------

struct PlaybackCase {
    uint16_t bits;
    std::vector<ULONG> mappings;
};

class WavePlaybackData : public WaveStreamTest,
                         public ::testing::WithParamInterface<PlaybackCase> {};

TEST_P(WavePlaybackData, EngineReceivesTheClientsSamplesBitExactAcrossMappings) {
    const PlaybackCase& c = GetParam();
    ASSERT_EQ(CreateMiniport(1), STATUS_SUCCESS);
    const size_t width = c.bits / 8;
    const size_t frames = 3000;
    std::vector<uint8_t> client = Ramp(frames * 2 * width, 3);
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(false, {1, 2, 48000, c.bits}, client, c.mappings, &handle), STATUS_SUCCESS);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<int32_t> played;
    for (int period = 0; period < 200 && played.size() < frames * 2; ++period) {
        std::vector<int32_t> taken = link_.TakePlaybackPeriod(80);
        played.insert(played.end(), taken.begin(), taken.end());
        Period(handle, 0);
    }
    // The tail shorter than a period stays in the ring, as the engine leaves it.
    std::vector<int32_t> rest(static_cast<size_t>(GetReadAvailable(link_.ring)));
    Read(link_.ring, rest.data(), static_cast<int32_t>(rest.size()));
    played.insert(played.end(), rest.begin(), rest.end());
    EXPECT_EQ(played, Expected(client, width));
    if (width == 2) {
        for (int32_t sample : played) ASSERT_EQ(sample & 0xFFFF, 0);
    }
    ULONGLONG position = 0;
    ASSERT_EQ(handle->stream->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, (played.size() - rest.size()) * width);
    EXPECT_EQ(handle->portStream->HandedOut(), client.size());
    EXPECT_EQ(handle->portStream->Outstanding(), 0u);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, WavePlaybackData,
    ::testing::Values(PlaybackCase{16, {4096}}, PlaybackCase{32, {4096}},
                      PlaybackCase{16, {1000, 6, 3, 4097}},  // samples split over mappings
                      PlaybackCase{32, {7, 1, 2, 333, 64}}, PlaybackCase{24 + 1, {10, 4, 999}}),
    [](const ::testing::TestParamInfo<PlaybackCase>& param) {
        return "case" + std::to_string(param.index);
    });

TEST_F(WaveStreamTest, PlaybackRefillsOnlyBelowTwoTransfersAndReleasesEachMappingOnce) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(false, {}, Ramp(64 * 1024), {512}, &handle), STATUS_SUCCESS);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(GetReadAvailable(link_.ring), 256);  // one mapping at the start
    for (int period = 0; period < 50; ++period) {
        link_.TakePlaybackPeriod(80);
        Period(handle, 0);
        // Never more than two transfers' worth of samples plus one mapping waits in the ring.
        EXPECT_LE(GetReadAvailable(link_.ring), 2 * 2 * 2 * 80 + 256);
    }
    const std::vector<ULONG_PTR> released = handle->portStream->ReleasedTags();
    ASSERT_FALSE(released.empty());
    for (size_t i = 0; i < released.size(); ++i) EXPECT_EQ(released[i], i + 1);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(WaveStreamTest, MappingAvailableRefillsAStarvedRunningStream) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(false, {}, Ramp(1024), {320}, &handle), STATUS_SUCCESS);
    handle->stream->MappingAvailable();  // not running: nothing moves
    EXPECT_EQ(handle->portStream->HandedOut(), 0u);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    link_.TakePlaybackPeriod(80);
    EXPECT_EQ(GetReadAvailable(link_.ring), 0);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    handle->stream->MappingAvailable();
    KeLowerIrql(irql);
    EXPECT_EQ(GetReadAvailable(link_.ring), 160);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// --- Recording data -------------------------------------------------------------------------

struct RecordingCase {
    uint16_t bits;
    std::vector<ULONG> mappings;
};

class WaveRecordingData : public WaveStreamTest,
                          public ::testing::WithParamInterface<RecordingCase> {};

TEST_P(WaveRecordingData, ClientReceivesTheUpperBytesOfEachPeriodAcrossMappings) {
    const RecordingCase& c = GetParam();
    ASSERT_EQ(CreateMiniport(5), STATUS_SUCCESS);
    link_.latency = 64;
    const size_t width = c.bits / 8;
    const size_t periods = 12;
    std::vector<uint8_t> client(periods * 64 * 2 * width, 0xEE);
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(true, {1, 2, 96000, c.bits}, client, c.mappings, &handle), STATUS_SUCCESS);
    link_.deviceRate = 96000;
    ASSERT_EQ(handle->stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<int32_t> sent;
    int32_t value = 0x01020304;
    // The first period after the start is stale and not delivered.
    for (size_t period = 0; period <= periods; ++period) {
        std::vector<int32_t> samples(64 * 2);
        for (int32_t& s : samples) {
            s = value;
            value = static_cast<int32_t>(static_cast<uint32_t>(value) * 2654435761u + 12345u);
        }
        link_.DeliverCapturePeriod(samples);
        if (period > 0) sent.insert(sent.end(), samples.begin(), samples.end());
        Period(handle, 1);
    }
    std::vector<uint8_t> expected;
    for (int32_t s : sent)
        for (size_t b = 0; b < width; ++b)
            expected.push_back(
                static_cast<uint8_t>(static_cast<uint32_t>(s) >> (8 * (4 - width + b))));
    EXPECT_EQ(handle->portStream->Data(), expected);
    ULONGLONG position = 0;
    ASSERT_EQ(handle->stream->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, expected.size());
    EXPECT_EQ(handle->portStream->Outstanding(), 0u);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Widths, WaveRecordingData,
                         ::testing::Values(RecordingCase{16, {4096}}, RecordingCase{32, {4096}},
                                           RecordingCase{16, {5, 7, 1, 250}},
                                           RecordingCase{32, {3, 9, 2, 1001}}),
                         [](const ::testing::TestParamInfo<RecordingCase>& param) {
                             return "case" + std::to_string(param.index);
                         });

TEST_F(WaveStreamTest, RecordingDropsAPeriodWhenTheCaptureRingHasNoRoom) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    link_.latency = 1024;
    StreamHandle* handle = nullptr;
    // No client buffer at all: nothing drains the ring.
    ASSERT_EQ(Open(true, {}, {}, {64}, &handle), STATUS_SUCCESS);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    auto* stream = static_cast<wdm::WaveStream*>(handle->stream);
    // 16,384 samples hold eight periods of 1,024 stereo frames; the first service is skipped.
    for (int period = 0; period < 10; ++period) Period(handle, 1);
    EXPECT_EQ(stream->DroppedPeriods(), 1u);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// --- Revoke, release, position, framing ---------------------------------------------------

TEST_F(WaveStreamTest, RevokeDropsTheHeldMappingResetsThePositionAndKeepsTheStreamServiced) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    link_.latency = 64;
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(true, {}, std::vector<uint8_t>(8192), {4096}, &handle), STATUS_SUCCESS);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (int period = 0; period < 3; ++period) {
        link_.DeliverCapturePeriod(std::vector<int32_t>(128, 0x10000));
        Period(handle, 1);
    }
    ULONGLONG position = 0;
    ASSERT_EQ(handle->stream->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 2u * 128 * 2);
    link_.ClearCalls();
    ULONG revoked = 0;
    ASSERT_EQ(handle->stream->RevokeMappings(reinterpret_cast<PVOID>(1), reinterpret_cast<PVOID>(1),
                                             &revoked),
              STATUS_SUCCESS);
    EXPECT_EQ(revoked, 1u);
    handle->portStream->Forget(1);  // the port took its mapping back
    ASSERT_EQ(handle->stream->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 0u);
    // Closed and reopened around the revoke, with the callback registered again.
    EXPECT_EQ(link_.Functions(),
              (std::vector<uint32_t>{kLinkRegisterStreamNotify, kLinkCloseStreamChannels,
                                     kLinkRegisterStreamNotify, kLinkOpenStreamChannels}));
    EXPECT_NE(link_.callback, nullptr);
    const size_t notified = port_.notified.size();
    for (int period = 0; period < 3; ++period) {
        link_.DeliverCapturePeriod(std::vector<int32_t>(128, 0x20000));
        Period(handle, 1);
    }
    EXPECT_EQ(port_.notified.size(), notified + 3);
    ASSERT_EQ(handle->stream->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 2u * 128 * 2);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(WaveStreamTest, ReleasingARunningStreamLeavesTheEngineAndFreesItsPin) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(false, {}, Ramp(8192), {1000}, &handle), STATUS_SUCCESS);
    ASSERT_EQ(handle->stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    link_.TakePlaybackPeriod(80);
    Period(handle, 0);
    Close(handle);
    EXPECT_EQ(link_.callback, nullptr);
    EXPECT_EQ(link_.ring, nullptr);
    EXPECT_EQ(link_.openGroups, 0);
    EXPECT_EQ(sim::Pool::Usage(wdm::kStreamStorageTag).allocations, 0u);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    wdm::WaveMiniport::StreamNotification(0, 0, wdm::WaveMiniport::FromInterface(miniport_));
    KeLowerIrql(irql);
    EXPECT_EQ(Open(false, {}, Ramp(64), {64}, nullptr), STATUS_SUCCESS);
}

TEST_F(WaveStreamTest, PositionIsZeroUnlessRunningAndNormalizesToHundredNanoseconds) {
    ASSERT_EQ(CreateMiniport(8), STATUS_SUCCESS);
    FormatSpec six;
    six.extensible = true;
    six.channels = 6;
    six.bits = 32;
    six.rate = 48000;
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(false, six, Ramp(48000), {4800}, &handle), STATUS_SUCCESS);
    ULONGLONG position = 5;
    ASSERT_EQ(handle->stream->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 0u);
    // One second of 6-channel 32-bit audio is 1,152,000 bytes.
    LONGLONG physical = 1152000;
    ASSERT_EQ(handle->stream->NormalizePhysicalPosition(&physical), STATUS_SUCCESS);
    EXPECT_EQ(physical, 10000000);
    physical = 576;  // 24 frames = 0.5 ms
    ASSERT_EQ(handle->stream->NormalizePhysicalPosition(&physical), STATUS_SUCCESS);
    EXPECT_EQ(physical, 5000);
}

TEST_F(WaveStreamTest, AllocatorFramingAsksForOnePeriodOfClientBytes) {
    ASSERT_EQ(CreateMiniport(0), STATUS_SUCCESS);
    link_.latency = 480;
    StreamHandle* handle = nullptr;
    ASSERT_EQ(Open(false, {1, 2, 48000, 32}, Ramp(64), {64}, &handle), STATUS_SUCCESS);
    KSALLOCATOR_FRAMING framing{};
    ASSERT_EQ(handle->stream->GetAllocatorFraming(&framing), STATUS_SUCCESS);
    EXPECT_EQ(framing.OptionsFlags, 0x80000002u);
    EXPECT_EQ(framing.Frames, 1u);
    EXPECT_EQ(framing.FrameSize, 480u * 2 * 4);
    EXPECT_EQ(framing.FileAlignment, 3u);
    EXPECT_EQ(framing.PoolType, wdm::WdmNonPagedPool());
}

}  // namespace
}  // namespace q407::testing
