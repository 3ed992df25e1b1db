// Driver-side cost of streaming: one iteration is one second of audio at 96 kHz, i.e. every
// playback and capture completion's processing for that second, called directly with prepared
// transfer buffers so that the device model's own work is not measured. The baseline copies the
// same bytes (every unit out, every unit in) with memcpy; the ratio is the engine's cost in
// copies.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "platform/kernel/wdk.h"
#include "sim/host/machine_clock.h"
#include "usbdriver/engine/stream_engine.h"

namespace {

using q407::EngineStatus;
using q407::StreamEngine;

constexpr ULONG kRate = 96000;

struct Completion {
    bool playback;
};

// Playback completes every 20n frames, capture every 16n; merged in time order.
std::vector<Completion> OneSecondSchedule(ULONG n) {
    std::vector<Completion> schedule;
    const ULONG playbackFrames = 20 * n;
    const ULONG captureFrames = 16 * n;
    ULONG nextPlayback = playbackFrames;
    ULONG nextCapture = captureFrames;
    while (nextPlayback <= kRate || nextCapture <= kRate) {
        if (nextPlayback <= nextCapture) {
            schedule.push_back({true});
            nextPlayback += playbackFrames;
        } else {
            schedule.push_back({false});
            nextCapture += captureFrames;
        }
    }
    return schedule;
}

// An engine with its rings and shared block but no device: what the completions touch.
class DetachedEngine {
  public:
    explicit DetachedEngine(ULONG n) {
        block_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(
            q407::DriverPoolType(), q407::kSharedBlockBytes, q407::kSharedPoolTag));
        std::memset(block_, 0, q407::kSharedBlockBytes);
        engine_ = q407::AllocateStreamEngine(nullptr, nullptr, nullptr);
        engine_->m_Settings = q407::DefaultMixerSettings();
        engine_->m_Settings.sampleRate = static_cast<LONG>(kRate);
        engine_->m_Settings.usbBufferCount = static_cast<LONG>(n);
        auto* status = reinterpret_cast<EngineStatus*>(block_ + q407::kSharedStatusOffset);
        engine_->AdoptSharedBlock(block_, status);
        engine_->CreateRings();
        engine_->CarveSharedBlock();
        (void)engine_->CreateRoutingRings();
        engine_->ResetStreamState();

        playback_.index = 0;
        playback_.buffer = engine_->m_PlaybackBuffers[0];
        playback_.length = n * static_cast<ULONG>(q407::kPlaybackUnitBytes);
        capture_.index = 0;
        capture_.buffer = engine_->m_CaptureBuffers[0];
        capture_.length = n * q407::kAudioSlotBytes;
        std::mt19937 random(407);
        for (ULONG i = 0; i < capture_.length; ++i) capture_.buffer[i] = UCHAR(random());
    }
    ~DetachedEngine() {
        engine_->FreeRings();
        q407::FreeStreamEngine(engine_);
        ExFreePoolWithTag(block_, q407::kSharedPoolTag);
    }

    // The work of one completion, without the resubmission.
    void Playback() {
        const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&engine_->m_PlaybackLock);
        engine_->ProcessPlayback(&playback_);
        LONG* half = engine_->m_OutputStaging[engine_->m_CurrentOutputHalf ^ 1];
        std::memset(half, 0, playback_.length / q407::kPlaybackUnitBytes * 20 * 32);
        KeReleaseSpinLock(&engine_->m_PlaybackLock, irql);
    }
    void Capture() {
        const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&engine_->m_CaptureLock);
        engine_->ProcessCapture(&capture_, capture_.length);
        KeReleaseSpinLock(&engine_->m_CaptureLock, irql);
    }
    ULONG PlaybackBytes() const { return playback_.length; }
    ULONG CaptureBytes() const { return capture_.length; }

  private:
    PUCHAR block_ = nullptr;
    StreamEngine* engine_ = nullptr;
    q407::TransferRecord playback_{};
    q407::TransferRecord capture_{};
};

// Copies what one second moves through the pipes, transfer by transfer.
void CopySecond(const std::vector<Completion>& schedule, std::vector<UCHAR>& source,
                std::vector<UCHAR>& destination, ULONG playbackBytes, ULONG captureBytes) {
    for (const Completion& c : schedule) {
        const ULONG bytes = c.playback ? playbackBytes : captureBytes;
        std::memcpy(destination.data(), source.data(), bytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
}

void BM_CopyStreamBytes(benchmark::State& state, ULONG n) {
    const auto schedule = OneSecondSchedule(n);
    std::vector<UCHAR> source(64 * 1024, 0x5A);
    std::vector<UCHAR> destination(64 * 1024);
    const ULONG playbackBytes = n * static_cast<ULONG>(q407::kPlaybackUnitBytes);
    const ULONG captureBytes = n * q407::kAudioSlotBytes;
    for (auto _ : state) CopySecond(schedule, source, destination, playbackBytes, captureBytes);
    state.counters["completions_per_s"] = static_cast<double>(schedule.size());
}

void BM_EngineStream96k(benchmark::State& state, ULONG n) {
    q407::sim::EmulatedThreadScope thread;
    DetachedEngine engine(n);
    const auto schedule = OneSecondSchedule(n);

    // The baseline of the same run, for the ratio counter.
    std::vector<UCHAR> source(64 * 1024, 0x5A);
    std::vector<UCHAR> destination(64 * 1024);
    double copySeconds = 0;
    for (int i = 0; i < 20; ++i) {
        const auto start = std::chrono::steady_clock::now();
        CopySecond(schedule, source, destination, engine.PlaybackBytes(), engine.CaptureBytes());
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        copySeconds += spent.count();
    }
    copySeconds /= 20;

    double engineSeconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (const Completion& c : schedule) {
            if (c.playback)
                engine.Playback();
            else
                engine.Capture();
        }
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        engineSeconds += spent.count();
    }
    const double perSecond = engineSeconds / static_cast<double>(state.iterations());
    state.counters["cpu_share_percent"] = perSecond * 100.0;
    state.counters["ratio_vs_copy"] = copySeconds > 0 ? perSecond / copySeconds : 0;
}

}  // namespace

BENCHMARK_CAPTURE(BM_CopyStreamBytes, n2, 2);
BENCHMARK_CAPTURE(BM_EngineStream96k, n2, 2);
