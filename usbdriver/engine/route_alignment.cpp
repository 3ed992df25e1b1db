// Keeping every FlexPATH destination at one constant routed delay.
//
// The mix writes one period into a destination's routing ring at every playback completion; the
// distribution reads L frames from it at every input period. Both run on the device's clock, so
// a destination that once reads at the right distance from the writer stays there. Whenever a
// destination starts afresh (its routing changes, its channel opens or closes, the stream is
// reset) the reading side empties the ring and asks the mix to mark where fresh data starts: the
// ring write index and the running count of mixed frames at that period. From that anchor the
// reader skips to the one position that gives the chosen delay and reads on from there, so a
// settings change or a late open never adds a standing delay, and the ring never fills up.
//
// The delay itself (input frames handed out minus mixed frames, for each routed sample) is chosen
// at the first anchor after a stream reset, with a margin for the cadences of the two pipes: a
// playback completion every 20n frames and a capture completion every 16n frames.
#include "usbdriver/engine/stream_engine.h"

namespace q407 {

void StreamEngine::RestartRoute(LONG target) {
    if (target < 0 || target >= kRouteRecordCount) return;
    RouteAlignment& alignment = m_RouteAlignment[target];
    RingBuffer* ring = m_RoutingRingSlots[target];
    // The reader's own index moves: the mix may go on writing meanwhile.
    if (ring != nullptr) AdvanceReadIndex(ring, GetReadAvailable(ring));
    alignment.state = RouteWaiting;
    InterlockedIncrement(&alignment.request);
}

void StreamEngine::RestartRoutes(const BOOLEAN* targets) {
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_CaptureLock);
    for (LONG t = 0; t < kRouteRecordCount; ++t) {
        if (targets == nullptr || targets[t]) RestartRoute(t);
    }
    KeReleaseSpinLock(&m_CaptureLock, irql);
}

void StreamEngine::MarkRouteAnchor(LONG target, const RingBuffer* ring) {
    RouteAlignment& alignment = m_RouteAlignment[target];
    const LONG request = InterlockedCompareExchange(&alignment.request, 0, 0);
    if (request == alignment.answered) return;
    alignment.anchorIndex = ring->writeIndex;
    alignment.anchorFrame = static_cast<ULONG64>(m_MixedFrames);
    InterlockedExchange(&alignment.answered, request);
}

BOOLEAN StreamEngine::RouteReadable(LONG target, RingBuffer* ring, ULONG frames) {
    RouteAlignment& alignment = m_RouteAlignment[target];
    if (alignment.state == RouteFlowing) return TRUE;
    if (InterlockedCompareExchange(&alignment.answered, 0, 0) != alignment.request) return FALSE;

    if (alignment.state == RouteWaiting) {
        // What lies before the anchor was written before the request.
        const int32_t stale = (alignment.anchorIndex - ring->readIndex) & ring->bigMask;
        if (stale > GetReadAvailable(ring)) {
            RestartRoute(target);
            return FALSE;
        }
        AdvanceReadIndex(ring, stale);
        alignment.state = RouteAnchored;
    }
    // As at every start, a destination reads only once two periods have been mixed into it.
    if (GetReadAvailable(ring) <
        static_cast<int32_t>(kRoutePeriodsBeforeRead * static_cast<LONG64>(m_RouteMixFrames)))
        return FALSE;

    const LONG64 distributed = static_cast<LONG64>(m_DistributedFrames);
    if (!m_RouteDelayChosen) {
        const LONG64 mixed = InterlockedCompareExchange64(&m_MixedFrames, 0, 0);
        m_RouteDelay = distributed + static_cast<LONG64>(frames + m_RouteMargin) - mixed;
        m_RouteDelayChosen = TRUE;
    }
    // The mixed frame this period's first sample must carry, relative to the anchor.
    const LONG64 skip = distributed - m_RouteDelay - static_cast<LONG64>(alignment.anchorFrame);
    if (skip < 0) return FALSE;  // fresh data begins later in the stream than this period
    const LONG64 available = GetReadAvailable(ring);
    if (skip + static_cast<LONG64>(frames) > available) {
        // The writer cannot catch up with a delay chosen for another start: choose again.
        if (skip + static_cast<LONG64>(frames) > static_cast<LONG64>(ring->size)) {
            m_RouteDelayChosen = FALSE;
            RestartRoute(target);
        }
        return FALSE;
    }
    AdvanceReadIndex(ring, static_cast<int32_t>(skip));
    alignment.state = RouteFlowing;
    return TRUE;
}

}  // namespace q407
