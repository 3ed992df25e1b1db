// The ASIO client's output halves into the engine's 8-channel ASIO playback ring. The mix takes
// them out again once the pre-roll is complete (audio_paths.cpp).
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

constexpr LONG kAsio = static_cast<LONG>(ClientKind::ASIO);
constexpr LONG kPlayback = static_cast<LONG>(Direction::Output);

}  // namespace

void StreamEngine::WriteAsioOutput(ULONG half, LONG enable) {
    if (half > 1) return;
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_PlaybackLock);
    const LONG mask = ChannelMask(kAsio, kPlayback) & ((1 << kOutputChannelCount) - 1);
    if (mask == 0) {
        KeReleaseSpinLock(&m_PlaybackLock, irql);
        return;
    }
    if (m_AsioPreRoll <= static_cast<LONG>(m_RateFactor)) ++m_AsioPreRoll;

    RingBuffer* ring = &m_AsioOutRingBuffer;
    const ULONG frames = PeriodFrames();
    const int32_t elements = static_cast<int32_t>(frames) * kOutputChannelCount;
    // A half that answers no period of this stream has no place to play.
    if (enable != 0 && ring->buffer != nullptr && NoteAsioHalf(half)) {
        if (GetWriteAvailable(ring) < elements) {
            ++m_PathCounters.asioHalvesDropped;
        } else {
            void* first = nullptr;
            void* second = nullptr;
            int32_t firstCount = 0;
            int32_t secondCount = 0;
            GetWriteRegions(ring, elements, &first, &firstCount, &second, &secondCount);
            BOOLEAN written = FALSE;
            // Every position of the frames is written, closed channels and channels without a
            // buffer as silence, so the ring never carries what an earlier stream left there.
            for (LONG i = 0; i < kOutputChannelCount; ++i) {
                const SampleRuns destination = InterleavedChannelRuns(
                    first, firstCount, second, secondCount, kOutputChannelCount, i);
                const ClientBuffer& buffer = m_ClientBuffers[kAsio][kPlayback][i][half];
                if ((mask & (1 << i)) != 0 && buffer.address != 0) {
                    const SampleRuns source = SingleRun(reinterpret_cast<int32_t*>(buffer.address),
                                                        buffer.stride, frames);
                    TransferRuns(source, destination, frames, RunMode::Copy);
                    written = TRUE;
                } else {
                    ZeroRuns(destination, frames);
                }
            }
            if (written) {
                const int32_t room = GetWriteAvailable(ring);
                AdvanceWriteIndex(ring, room < elements ? room : elements);
            }
        }
    }
    KeReleaseSpinLock(&m_PlaybackLock, irql);
}

}  // namespace q407
