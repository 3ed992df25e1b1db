// Keeping the ASIO round trip the same at every start.
//
// The ASIO host answers each input period with an output half. Were the mix to take the halves
// whenever enough of them had arrived, the frame at which the first one plays would depend on
// where the playback completions happen to fall against the capture periods, and on the host's
// reaction time: one start differs from the next by whole playback transfers. Instead the first
// half is placed by the input period it answered: its frames are mixed a fixed number of frames
// after that period's input frames, and from then on every ASIO frame keeps its place. Frames
// that would have to play before the playback pipe's first transfer are skipped; a host that
// falls behind later makes its stream slip by a mix (heard as a dropout, counted), never loses
// frames.
//
// In device frames, with F = 20n frames per playback transfer and C = 16n per capture transfer:
// the two pipes' first transfers took device slots a (20 frames) and b (16 frames) after the
// clock started; input frame d of the stream was captured at device frame 16b + d, and mixed
// frame m plays at 20a + F(n + 1) + m (the first completion queues silence, each later one mixes
// F frames into the transfer it sends, which plays after the n - 1 still in flight). Placing the
// host frame that answers input frame d at mixed frame d + K - (20a - 16b) gives the round trip
// F(n + 1) + K, whatever a and b are. The first completion of each pipe shows 20a - 16b: the
// capture pipe's at 16b + C, the playback pipe's at 20a + F.
//
// K leaves the host one whole period to answer: the period holding input frame d is handed out
// by frame 16b + d + L + C - 1 at the latest, and the mix that needs its answer runs at
// 20a + 2F + (mixed frame), so K = 2L + C - F suffices with a frame to spare. The round trip is
// then 2L + C + nF: the input latency L + C and the output latency L + nF.
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

constexpr LONG kAsioFrameSamples = kOutputChannelCount;
constexpr LONG64 kPlaybackTransferUnitFrames = static_cast<LONG64>(kPlaybackUnitFrames);
constexpr LONG64 kCaptureTransferUnitFrames = 2 * static_cast<LONG64>(kCaptureFramesPerHalfUnit);

LONG64 RoundToMultipleOf4(LONG64 frames) {
    return frames >= 0 ? (frames + 2) / 4 * 4 : -((-frames + 2) / 4 * 4);
}

}  // namespace

void StreamEngine::ResetAsioAlignment() {
    m_AsioAlignState = AsioAwaitingHalf;
    m_AsioRingFrames = 0;
    m_AsioTakeRing = FALSE;
}

void StreamEngine::NoteStreamStart() {
    // The pipes are stopped: nothing else touches these now.
    m_StreamMixBase = InterlockedCompareExchange64(&m_MixedFrames, 0, 0);
    m_StreamDistributedBase = static_cast<LONG64>(m_DistributedFrames);
    InterlockedExchange64(&m_FirstCaptureTime, 0);
    InterlockedExchange64(&m_FirstPlaybackTime, 0);
    InterlockedExchange64(&m_LastAsioPeriod, 0);
    ResetAsioAlignment();
}

void StreamEngine::NoteFirstCompletion(volatile LONG64* time) {
    if (InterlockedCompareExchange64(time, 0, 0) != 0) return;
    const LARGE_INTEGER now = KeQueryPerformanceCounter(nullptr);
    // 0 stands for "not yet": a counter that reads 0 is taken as 1.
    InterlockedExchange64(time, now.QuadPart != 0 ? now.QuadPart : 1);
}

void StreamEngine::PublishAsioPeriod(ULONG64 periodEnd, ULONG half) {
    InterlockedExchange64(&m_LastAsioPeriod, static_cast<LONG64>((periodEnd << 1) | (half & 1)));
}

BOOLEAN StreamEngine::NoteAsioHalf(ULONG half) {
    if (m_AsioAlignState != AsioAwaitingHalf) return TRUE;
    const LONG64 mark = InterlockedCompareExchange64(&m_LastAsioPeriod, 0, 0);
    if (mark == 0 && InterlockedCompareExchange64(&m_FirstCaptureTime, 0, 0) == 0) {
        // Halves handed over with no capture running (mixes driven by hand): pre-roll only.
        m_AsioAlignState = AsioPreRolled;
        return TRUE;
    }
    const LONG64 latestEnd = mark >> 1;
    const LONG64 period = static_cast<LONG64>(PeriodFrames());
    // The host's half index names the input half it read: the latest period, or the one before.
    const LONG64 answeredEnd =
        static_cast<ULONG>(mark & 1) == half ? latestEnd : latestEnd - period;
    const LONG64 start = answeredEnd - period - m_StreamDistributedBase;
    if (mark == 0 || start < 0) return FALSE;  // it answers no period of this stream
    m_AsioFirstPeriodStart = start;
    m_AsioFirstIndex = m_AsioOutRingBuffer.writeIndex;
    m_AsioAlignState = AsioHalfWritten;
    return TRUE;
}

BOOLEAN StreamEngine::AsioMixWindow(ULONG frames, ULONG* lead) {
    *lead = 0;
    RingBuffer* ring = &m_AsioOutRingBuffer;
    if (ring->buffer == nullptr || frames == 0) return FALSE;
    if (m_AsioAlignState == AsioHalfWritten) {
        const LONG64 captureTime = InterlockedCompareExchange64(&m_FirstCaptureTime, 0, 0);
        const LONG64 playbackTime = InterlockedCompareExchange64(&m_FirstPlaybackTime, 0, 0);
        if (captureTime == 0 || playbackTime == 0) {
            // Without the pipes' timing (mixes driven by hand) the halves wait for the pre-roll.
            m_AsioAlignState = AsioPreRolled;
        } else {
            LARGE_INTEGER frequency{};
            (void)KeQueryPerformanceCounter(&frequency);
            const LONG64 n = static_cast<LONG64>(UsbBufferCount());
            const LONG64 F = n * kPlaybackTransferUnitFrames;
            const LONG64 C = n * kCaptureTransferUnitFrames;
            const LONG64 L = static_cast<LONG64>(PeriodFrames());
            const LONG64 rate = static_cast<LONG64>(CurrentSampleRate());
            const LONG64 ticks = playbackTime - captureTime;
            const LONG64 apart =
                frequency.QuadPart > 0
                    ? (ticks * rate + (ticks >= 0 ? 1 : -1) * frequency.QuadPart / 2) /
                          frequency.QuadPart
                    : 0;
            // 20a - 16b is a multiple of 4; rounding to it absorbs a little completion jitter.
            const LONG64 phase = RoundToMultipleOf4(apart - F + C);
            m_AsioAnchorMix = m_AsioFirstPeriodStart + 2 * L + C - phase;
            // What lies before the first half in the ring is not this stream's.
            const int32_t stale = (m_AsioFirstIndex - ring->readIndex) & ring->bigMask;
            AdvanceReadIndex(ring, stale <= GetReadAvailable(ring) ? stale : 0);
            m_AsioRingFrames = 0;
            m_AsioAlignState = AsioAnchored;
        }
    }
    if (m_AsioAlignState == AsioPreRolled) {
        const BOOLEAN preRolled = m_AsioPreRoll > static_cast<LONG>(m_RateFactor);
        const BOOLEAN ready =
            preRolled && GetReadAvailable(ring) >= kAsioFrameSamples * static_cast<int32_t>(frames);
        if (preRolled && !ready && m_AsioFlowing != 0) ++m_PathCounters.asioUnderruns;
        m_AsioFlowing = ready;
        return ready;
    }
    if (m_AsioAlignState != AsioAnchored) return FALSE;

    const LONG64 mixed = InterlockedCompareExchange64(&m_MixedFrames, 0, 0) - m_StreamMixBase;
    const LONG64 wanted = mixed - m_AsioAnchorMix;  // ring frame this mix starts with
    const LONG64 length = static_cast<LONG64>(frames);
    if (wanted + length <= 0) return FALSE;  // the host's first frame plays later
    const LONG64 first = wanted > 0 ? wanted : 0;
    if (m_AsioRingFrames < first) {
        // Frames that came too late for their place.
        const LONG64 available = GetReadAvailable(ring) / kAsioFrameSamples;
        LONG64 skip = first - m_AsioRingFrames;
        if (skip > available) skip = available;
        AdvanceReadIndex(ring, static_cast<int32_t>(skip * kAsioFrameSamples));
        m_AsioRingFrames += skip;
    }
    const ULONG leading = static_cast<ULONG>(first - wanted);
    const int32_t needed = kAsioFrameSamples * static_cast<int32_t>(frames - leading);
    const BOOLEAN ready = m_AsioRingFrames == first && GetReadAvailable(ring) >= needed;
    if (!ready && m_AsioFlowing != 0) ++m_PathCounters.asioUnderruns;
    // A host that fell behind loses no frames: its stream slips by this mix, and plays that much
    // later from now on.
    if (!ready && m_AsioRingFrames == first) m_AsioAnchorMix += length;
    m_AsioFlowing = ready;
    *lead = leading;
    return ready;
}

void StreamEngine::AsioMixed(ULONG frames) {
    RingBuffer* ring = &m_AsioOutRingBuffer;
    const int32_t available = GetReadAvailable(ring);
    const int32_t used = kAsioFrameSamples * static_cast<int32_t>(frames);
    AdvanceReadIndex(ring, available < used ? available : used);
    if (m_AsioAlignState == AsioAnchored) m_AsioRingFrames += frames;
}

}  // namespace q407
