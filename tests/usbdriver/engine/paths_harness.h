// The audio paths of one engine without pipes: the rings, the staging halves and the status record
// set up as initialisation leaves them, so that the mix and the distribution can be driven one
// period at a time, under the locks the completions hold.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/host/machine.h"
#include "sim/host/pool.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407::test {

class PathsHarness {
  public:
    PathsHarness(uint32_t rate, uint32_t latency, uint32_t buffers)
        : staging_(2 * kStagingHalfFrames * kOutputChannelCount, 0) {
        table_.context = this;
        table_.NotifyInputPeriod = [](PVOID c) { ++static_cast<PathsHarness*>(c)->inputPeriods; };
        table_.SignalAsioPeriod = [](PVOID c) -> LONG {
            ++static_cast<PathsHarness*>(c)->asioSignals;
            return 1;
        };
        engine_ = AllocateStreamEngine(nullptr, nullptr, &table_);
        status_.latency = latency;
        status_.sampleRate = rate;
        status_.usbBufferCount = buffers;
        engine_->m_Settings = DefaultMixerSettings();
        engine_->m_Status = &status_;
        engine_->CreateRings();
        EXPECT_EQ(engine_->CreateRoutingRings(), STATUS_SUCCESS);
        for (int h = 0; h < 2; ++h)
            engine_->m_OutputStaging[h] = reinterpret_cast<LONG*>(
                staging_.data() + h * kStagingHalfFrames * kOutputChannelCount);
        engine_->ResetStreamState();
    }
    ~PathsHarness() {
        engine_->FreeRings();
        FreeStreamEngine(engine_);
        EXPECT_EQ(sim::Pool::LeakReport({POOL_TAG("Zel6")}), "");
    }
    PathsHarness(const PathsHarness&) = delete;
    PathsHarness& operator=(const PathsHarness&) = delete;

    StreamEngine& Engine() { return *engine_; }
    EngineStatus& Status() { return status_; }
    uint32_t Frames() const { return engine_->m_FramesPerPlaybackTransfer; }

    // Channel bits as OpenClientChannel leaves them once streaming runs.
    void Open(ClientKind kind, Direction direction, int channel) {
        InterlockedOr(&engine_->m_ChannelMask[int(kind)][int(direction)], 1 << channel);
    }
    void Close(ClientKind kind, Direction direction, int channel) {
        InterlockedAnd(&engine_->m_ChannelMask[int(kind)][int(direction)], ~(1 << channel));
    }

    // One playback completion's mix into half 0; returns the mixed frames of output j.
    void Mix() {
        std::fill(staging_.begin(), staging_.end(), 0);
        const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&engine_->m_PlaybackLock);
        engine_->MixOutput(0, Frames());
        KeReleaseSpinLock(&engine_->m_PlaybackLock, irql);
    }
    std::vector<int32_t> Output(int j) const {
        std::vector<int32_t> out;
        for (uint32_t f = 0; f < engine_->m_FramesPerPlaybackTransfer; ++f)
            out.push_back(staging_[f * kOutputChannelCount + size_t(j)]);
        return out;
    }

    // Captured frames of 16 samples into the input ring, then the capture completion's
    // distribution.
    void Capture(const std::vector<int32_t>& frames) {
        const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&engine_->m_CaptureLock);
        const int32_t bytes = int32_t(frames.size() * sizeof(int32_t));
        EXPECT_EQ(Write(&engine_->m_InAudioRingBuffer, frames.data(), bytes), bytes);
        engine_->DistributeInput();
        KeReleaseSpinLock(&engine_->m_CaptureLock, irql);
    }

    uint64_t inputPeriods = 0;
    uint64_t asioSignals = 0;

  private:
    sim::Machine machine_;
    EngineNotifications table_{};
    StreamEngine* engine_ = nullptr;
    EngineStatus status_{};
    std::vector<int32_t> staging_;
};

// A WDM-side stream ring of interleaved 32-bit frames, owned by the test.
struct ClientRing {
    ClientRing(int32_t elements, int32_t channels) : storage(size_t(elements), 0) {
        EXPECT_EQ(Initialize(&ring, 4, elements, storage.data(), channels, 4), 0);
    }
    void Put(const std::vector<int32_t>& samples) {
        EXPECT_EQ(Write(&ring, samples.data(), int32_t(samples.size())), int32_t(samples.size()));
    }
    std::vector<int32_t> storage;
    RingBuffer ring{};
};

}  // namespace q407::test
