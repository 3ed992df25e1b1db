// Cost of the audio paths: one iteration is one second of audio at 96 kHz through MixOutput (every
// playback completion) and DistributeInput (every input period), with every playback and capture
// channel of every kind open and 16 routes active. The clients' rings are refilled by moving
// their write indices only, so that the clients' own work is not measured. The baseline copies
// the same number of samples, period by period, with memcpy; ratio_vs_copy is the paths' cost in
// copies of what they move.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/kernel/wdk.h"
#include "sim/host/machine_clock.h"
#include "usbdriver/engine/stream_engine.h"

namespace {

using q407::ClientKind;
using q407::RouteRecordIndex;

constexpr ULONG kRate = 96000;
constexpr ULONG kBuffers = 4;
constexpr int kMme = int(ClientKind::MME);
constexpr int kDolby = int(ClientKind::DOLBY);
constexpr int kAsio = int(ClientKind::ASIO);

class PathsEngine {
  public:
    explicit PathsEngine(ULONG latency) : latency_(latency) {
        block_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(
            q407::DriverPoolType(), q407::kSharedBlockBytes, q407::kSharedPoolTag));
        std::memset(block_, 0, q407::kSharedBlockBytes);
        engine_ = q407::AllocateStreamEngine(nullptr, nullptr, nullptr);
        e().m_Settings = q407::DefaultMixerSettings();
        e().m_Settings.sampleRate = LONG(kRate);
        e().m_Settings.latency = LONG(latency);
        e().m_Settings.usbBufferCount = LONG(kBuffers);
        auto* status = reinterpret_cast<q407::EngineStatus*>(block_ + q407::kSharedStatusOffset);
        e().AdoptSharedBlock(block_, status);
        e().CreateRings();
        e().CarveSharedBlock();
        (void)e().CreateRoutingRings();
        e().ResetStreamState();

        // WDM playback: four stereo MME streams and one 8-channel DOLBY stream.
        for (int s = 0; s < 5; ++s) {
            const int channels = s < 4 ? 2 : 8;
            storage_[s].assign(8192, 0x00100000);
            (void)q407::Initialize(&rings_[s], 4, 8192, storage_[s].data(), channels, 4);
        }
        for (int c = 0; c < 8; ++c) {
            (void)e().SetClientRing(kMme, 0, c, &rings_[c / 2]);
            (void)e().SetClientRing(kDolby, 0, c, &rings_[4]);
        }
        // ASIO buffers (both directions, both halves) and the MME capture buffers.
        buffers_.assign(size_t(2 * 24 + 16) * 1024, 0x00200000);
        int32_t* p = buffers_.data();
        for (int d = 0; d < 2; ++d)
            for (int c = 0; c < (d == 0 ? 8 : 16); ++c)
                for (int half = 0; half < 2; ++half, p += 1024)
                    (void)e().SetClientBuffer(kAsio, d, c, half, ULONG64(p), 1);
        for (int c = 0; c < 16; ++c, p += 1024)
            (void)e().SetClientBuffer(kMme, 1, c, 0, ULONG64(p), 1);
        for (int kind = 0; kind < 4; ++kind) {
            e().m_ChannelMask[kind][0] = kind < 3 ? 0xFF : 0;
            e().m_ChannelMask[kind][1] = kind == kMme || kind == kAsio ? 0xFFFF : 0;
        }
        // 16 routes: MME playback 0..7 to ASIO capture 8..15, ASIO playback 0..7 to MME
        // capture 0..7; inputs 0..7 added to the MME destinations.
        auto route = [&](int kind, int channel, int targetKind, int targetChannel) {
            q407::RouteRecord& r =
                e().m_Settings.routeTable.records[RouteRecordIndex(kind, channel)];
            r.routeOut = 1;
            r.targetKind = targetKind;
            r.targetChannel = targetChannel;
            e().m_Settings.routeTable.records[RouteRecordIndex(targetKind, targetChannel)].routeIn =
                1;
        };
        for (int c = 0; c < 8; ++c) {
            route(kMme, c, kAsio, 8 + c);
            route(kAsio, c, kMme, c);
            route(int(ClientKind::INPUT), c, kMme, c);
        }
        e().ComputeInputSources();
        e().PublishCaptureRoutes();
        e().m_AsioPreRoll = 10;
    }
    ~PathsEngine() {
        e().FreeRings();
        q407::FreeStreamEngine(engine_);
        ExFreePoolWithTag(block_, q407::kSharedPoolTag);
    }

    // One second: the playback completions' mixes and the input periods, in time order.
    void Second() {
        const ULONG frames = kBuffers * 20;
        ULONG nextMix = frames;
        ULONG nextPeriod = latency_;
        while (nextMix <= kRate || nextPeriod <= kRate) {
            if (nextMix <= nextPeriod) {
                Refill(frames);
                const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&e().m_PlaybackLock);
                e().MixOutput(half_, frames);
                KeReleaseSpinLock(&e().m_PlaybackLock, irql);
                half_ ^= 1;
                nextMix += frames;
            } else {
                AdvanceWriteIndex(&e().m_InAudioRingBuffer, int32_t(latency_ * 64));
                const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&e().m_CaptureLock);
                e().DistributeInput();
                KeReleaseSpinLock(&e().m_CaptureLock, irql);
                nextPeriod += latency_;
            }
        }
    }
    // Samples the paths move per second: 3 kinds x 8 outputs and 16 routes on the playback
    // side, 32 capture destinations and 8 routed inputs added on the capture side.
    static double SamplesPerSecond() { return double(kRate) * (24 + 16 + 32 + 8); }

  private:
    q407::StreamEngine& e() { return *engine_; }
    void Refill(ULONG frames) {
        for (q407::RingBuffer& ring : rings_)
            if (q407::GetWriteAvailable(&ring) >= int32_t(frames) * ring.channels)
                AdvanceWriteIndex(&ring, int32_t(frames) * ring.channels);
        q407::RingBuffer* asio = &e().m_AsioOutRingBuffer;
        if (q407::GetReadAvailable(asio) < int32_t(8 * frames))
            AdvanceWriteIndex(asio, int32_t(8 * 1024));
    }

    ULONG latency_;
    ULONG half_ = 0;
    PUCHAR block_ = nullptr;
    q407::StreamEngine* engine_ = nullptr;
    q407::RingBuffer rings_[5]{};
    std::vector<int32_t> storage_[5];
    std::vector<int32_t> buffers_;
};

// The same sample volume as period-sized memcpy blocks.
void CopySecond(ULONG latency, std::vector<int32_t>& source, std::vector<int32_t>& destination) {
    const double total = PathsEngine::SamplesPerSecond();
    const size_t block = latency;
    for (double done = 0; done < total; done += double(block)) {
        std::memcpy(destination.data(), source.data(), block * sizeof(int32_t));
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
}

void BM_MixAndDistribute(benchmark::State& state, ULONG latency) {
    q407::sim::EmulatedThreadScope thread;
    PathsEngine engine(latency);
    std::vector<int32_t> source(1024, 0x5A5A5A00);
    std::vector<int32_t> destination(1024);

    double copySeconds = 0;
    constexpr int kCopyRuns = 20;
    for (int i = 0; i < kCopyRuns; ++i) {
        const auto start = std::chrono::steady_clock::now();
        CopySecond(latency, source, destination);
        copySeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    copySeconds /= kCopyRuns;

    double pathSeconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        engine.Second();
        pathSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const double perSecond = pathSeconds / double(state.iterations());
    state.counters["copy_baseline_us"] = copySeconds * 1e6;
    state.counters["paths_us"] = perSecond * 1e6;
    state.counters["ratio_vs_copy"] = copySeconds > 0 ? perSecond / copySeconds : 0;
    state.counters["cpu_share_percent"] = perSecond * 100.0;
}

void BM_CopyBaseline(benchmark::State& state, ULONG latency) {
    std::vector<int32_t> source(1024, 0x5A5A5A00);
    std::vector<int32_t> destination(1024);
    for (auto _ : state) CopySecond(latency, source, destination);
    state.counters["samples_per_s"] = PathsEngine::SamplesPerSecond();
}

}  // namespace

BENCHMARK_CAPTURE(BM_CopyBaseline, L32, 32)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MixAndDistribute, L32, 32)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_CopyBaseline, L1024, 1024)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MixAndDistribute, L1024, 1024)->Unit(benchmark::kMicrosecond);
