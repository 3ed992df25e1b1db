// The audio switchboard between the pipes and the clients: the playback mix of every client kind
// into the output staging half, and the distribution of whole input periods to the capture
// clients, with the FlexPATH routing rings between the two sides.
//
// Both paths run in the pipe completions: the mix under the playback lock for n x 20 frames, the
// distribution under the capture lock for L frames at a time. Each writes only L (or n x 20)
// samples per channel at the stride a client registered, and reads a client ring only after it
// has checked what the ring says about itself.
#include "usbdriver/engine/mix_math.h"
#include "usbdriver/engine/route_target.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

constexpr LONG kMme = static_cast<LONG>(ClientKind::MME);
constexpr LONG kAsio = static_cast<LONG>(ClientKind::ASIO);
constexpr LONG kPlayback = static_cast<LONG>(Direction::Output);
constexpr LONG kCapture = static_cast<LONG>(Direction::Input);
constexpr LONG kMixedKinds = 3;  // MME, DOLBY, ASIO play; INPUT is a routing source only
constexpr LONG kCaptureFrameSamples = kInputChannelCount;
constexpr ULONG kZeroBufferSamples = kZeroBufferBytes / sizeof(LONG);

BOOLEAN IsPowerOfTwo(int32_t n) {
    return n > 0 && (n & (n - 1)) == 0;
}

// A WDM stream ring is the other driver's record: its geometry is checked before any arithmetic
// is done with it.
BOOLEAN IsUsableClientRing(const RingBuffer* ring, ULONG frames) {
    if (ring == nullptr || ring->buffer == nullptr || ring->elementSize != sizeof(LONG))
        return FALSE;
    if (!IsPowerOfTwo(ring->size) || ring->size > kRingMaxElements) return FALSE;
    if (ring->smallMask != ring->size - 1 || ring->bigMask != 2 * ring->size - 1) return FALSE;
    if (ring->channels < 1 || ring->channels > kMaxClientRingChannels) return FALSE;
    return static_cast<ULONG64>(ring->channels) * frames <= static_cast<ULONG64>(ring->size);
}

void StorePeak(UCHAR* meter, UCHAR value) {
    WriteUCharNoFence(meter, value);
}

SampleRuns RingReadRuns(const RingBuffer* ring, int32_t elements) {
    void* first = nullptr;
    void* second = nullptr;
    int32_t firstCount = 0;
    int32_t secondCount = 0;
    GetReadRegions(ring, elements, &first, &firstCount, &second, &secondCount);
    return InterleavedChannelRuns(first, firstCount, second, secondCount, 1, 0);
}

SampleRuns RingWriteRuns(const RingBuffer* ring, int32_t elements) {
    void* first = nullptr;
    void* second = nullptr;
    int32_t firstCount = 0;
    int32_t secondCount = 0;
    GetWriteRegions(ring, elements, &first, &firstCount, &second, &secondCount);
    return InterleavedChannelRuns(first, firstCount, second, secondCount, 1, 0);
}

}  // namespace

ULONG StreamEngine::PeriodFrames() const {
    const ULONG frames = m_PeriodFrames;
    if (frames < static_cast<ULONG>(kMinLatency) || frames > static_cast<ULONG>(kMaxLatency))
        return CurrentLatency();
    return frames;
}

SampleRuns StreamEngine::GetClientChannelRegions(LONG kind, LONG channel, ULONG frames) {
    const ULONG silentFrames = frames < kZeroBufferSamples ? frames : kZeroBufferSamples;
    const SampleRuns silent = SingleRun(reinterpret_cast<int32_t*>(m_ZeroBuffer), 1, silentFrames);
    if (channel < 0 || channel >= kChannelSlotCount) return silent;
    void* first = nullptr;
    void* second = nullptr;
    int32_t firstCount = 0;
    int32_t secondCount = 0;
    if (kind == kMme || kind == static_cast<LONG>(ClientKind::DOLBY)) {
        RingBuffer* ring = m_ClientRings[kind][kPlayback][channel];
        if (!IsUsableClientRing(ring, frames)) return silent;
        const int32_t channels = ring->channels;
        const int32_t elements = channels * static_cast<int32_t>(frames);
        if (GetReadAvailable(ring) < elements) return silent;
        const int32_t slot = channel % channels;
        GetReadRegionsAt(ring, elements, &first, &firstCount, &second, &secondCount,
                         slot * static_cast<int32_t>(sizeof(LONG)));
        // The runs are computed from the undisplaced first region.
        first = static_cast<PUCHAR>(first) - slot * static_cast<int32_t>(sizeof(LONG));
        return InterleavedChannelRuns(first, firstCount, second, secondCount, channels, slot);
    }
    if (kind == kAsio) {
        RingBuffer* ring = &m_AsioOutRingBuffer;
        const int32_t elements = kOutputChannelCount * static_cast<int32_t>(frames);
        if (m_AsioTakeRing == 0 || ring->buffer == nullptr || GetReadAvailable(ring) < elements)
            return silent;
        GetReadRegions(ring, elements, &first, &firstCount, &second, &secondCount);
        ring->readPending = 1;
        return InterleavedChannelRuns(first, firstCount, second, secondCount, kOutputChannelCount,
                                      channel % kOutputChannelCount);
    }
    return silent;
}

void StreamEngine::MixOutput(ULONG half, ULONG frames) {
    if (half > 1 || frames == 0 || frames > kStagingHalfFrames || m_OutputStaging[half] == nullptr)
        return;
    ++m_PathCounters.mixes;
    RtlZeroMemory(m_OutputSourceCount, sizeof(m_OutputSourceCount));
    RtlZeroMemory(m_RouteSourceCount, sizeof(m_RouteSourceCount));
    RtlZeroMemory(m_RouteWritten, sizeof(m_RouteWritten));

    // The staging half was cleared when it was last queued: the first source of an output is
    // copied, later ones are added.
    int32_t* staging = reinterpret_cast<int32_t*>(m_OutputStaging[half]);
    const RouteRecord* routes = m_Settings.routeTable.records;
    const int32_t* map = m_Settings.outputMap.entries;
    BOOLEAN audible[kOutputChannelCount] = {};
    const int32_t period = static_cast<int32_t>(frames);

    for (LONG kind = 0; kind < kMixedKinds; ++kind) {
        const LONG mask = ChannelMask(kind, kPlayback) & ((1 << kOutputChannelCount) - 1);
        if (mask == 0) continue;
        // The ASIO frames of this mix may begin after its first frame (lead): the host's first
        // half is placed where its round trip puts it (asio_alignment.cpp).
        ULONG lead = 0;
        if (kind == kAsio) m_AsioTakeRing = AsioMixWindow(frames, &lead);
        const ULONG taken = frames - lead;
        const BOOLEAN kindMuted = routes[RouteRecordIndex(kind, 0)].kindMute != 0;

        for (LONG j = 0; j < kChannelSlotCount; ++j) {
            // Direct output: device output j plays the client channel the map names for it.
            if (j < kOutputChannelCount) {
                LONG c = map[j];
                if (c < 0 || c >= kOutputChannelCount) c = j;
                if ((mask >> c) & 1) {
                    ++m_OutputSourceCount[j];
                    const BOOLEAN muted =
                        kindMuted && routes[RouteRecordIndex(kind, c)].routeOut != 0;
                    if (!muted) {
                        const SampleRuns source = GetClientChannelRegions(kind, c, taken);
                        const SampleRuns destination = SingleRun(
                            staging + j + lead * kOutputChannelCount, kOutputChannelCount, taken);
                        TransferRuns(source, destination, taken,
                                     audible[j] ? RunMode::Add : RunMode::Copy);
                        audible[j] = TRUE;
                    }
                }
            }
            // Route-out: an open source channel j feeds its target's routing ring.
            const RouteRecord& record = routes[RouteRecordIndex(kind, j)];
            if (record.routeOut == 0 || j >= kOutputChannelCount || ((mask >> j) & 1) == 0)
                continue;
            const LONG target = RouteTargetIndex(record);
            if (target == kNoRouteTarget) continue;
            ++m_RouteSourceCount[target];
            RingBuffer* ring = m_RoutingRingSlots[target];
            if (ring == nullptr) continue;
            // The write index moves by a whole period after the mix, so only a whole period fits.
            if (GetWriteAvailable(ring) < period) {
                ++m_PathCounters.routeOverflows;
                continue;
            }
            // A routed ASIO channel's first mix is silent up to its lead, as on its output.
            const SampleRuns source =
                lead == 0 ? GetClientChannelRegions(kind, j, frames)
                          : SingleRun(reinterpret_cast<int32_t*>(m_ZeroBuffer), 1, frames);
            TransferRuns(source, RingWriteRuns(ring, period), frames,
                         m_RouteWritten[target] != 0 ? RunMode::Add : RunMode::Copy);
            ++m_RouteWritten[target];
        }

        // Each ring moves once per mix, by what one mix takes from it.
        if (kind == kAsio) {
            if (m_AsioTakeRing != 0) AsioMixed(taken);
            m_AsioTakeRing = FALSE;
            m_AsioOutRingBuffer.readPending = 0;
            continue;
        }
        for (LONG ch = 0; ch < kOutputChannelCount; ++ch) {
            if (((mask >> ch) & 1) == 0) continue;
            RingBuffer* ring = m_ClientRings[kind][kPlayback][ch];
            if (!IsUsableClientRing(ring, frames)) continue;
            BOOLEAN seen = FALSE;
            for (LONG earlier = 0; earlier < ch && !seen; ++earlier)
                seen = ((mask >> earlier) & 1) && m_ClientRings[kind][kPlayback][earlier] == ring;
            if (seen) continue;
            const int32_t used = ring->channels * period;
            const int32_t available = GetReadAvailable(ring);
            if (available < used) ++m_PathCounters.clientRingUnderruns;
            AdvanceReadIndex(ring, available < used ? available : used);
            ring->readPending = 0;
        }
    }

    if (m_Status != nullptr) {
        for (LONG j = 0; j < kOutputChannelCount; ++j)
            StorePeak(&m_Status->outputPeak[j],
                      audible[j] ? PeakOfRun(staging + j, kOutputChannelCount, frames) : 0);
    }
    for (LONG t = 0; t < kRouteRecordCount; ++t) {
        RingBuffer* ring = m_RoutingRingSlots[t];
        if (m_RouteWritten[t] == 0 || ring == nullptr) continue;
        MarkRouteAnchor(t, ring);
        AdvanceWriteIndex(ring, period);
        InterlockedIncrement64(&m_RoutePeriods[t]);
    }
    InterlockedExchange64(&m_MixedFrames, m_MixedFrames + period);
}

void StreamEngine::DistributeInput() {
    RingBuffer* input = &m_InAudioRingBuffer;
    if (input->buffer == nullptr) return;
    const ULONG frames = PeriodFrames();
    const int32_t periodBytes = static_cast<int32_t>(frames * kCaptureFrameBytes);

    while (GetReadAvailable(input) >= periodBytes) {
        void* first = nullptr;
        void* second = nullptr;
        int32_t firstCount = 0;
        int32_t secondCount = 0;
        GetReadRegions(input, periodBytes, &first, &firstCount, &second, &secondCount);
        // A period whose length does not divide the ring runs on at the ring's start. Both
        // regions hold whole frames: the ring's size and every unit put into it are multiples of
        // the 64-byte frame.
        const ULONG firstFrames =
            static_cast<ULONG>(static_cast<ULONG>(firstCount) / kCaptureFrameBytes);
        const ULONG secondFrames =
            static_cast<ULONG>(static_cast<ULONG>(secondCount) / kCaptureFrameBytes);
        SampleRuns inputs[kInputChannelCount];
        for (LONG d = 0; d < kInputChannelCount; ++d) {
            inputs[d] = {};
            if (first != nullptr && firstFrames != 0)
                inputs[d].run[0] = {static_cast<int32_t*>(first) + d, kCaptureFrameSamples,
                                    firstFrames};
            if (second != nullptr && secondFrames != 0)
                inputs[d].run[1] = {static_cast<int32_t*>(second) + d, kCaptureFrameSamples,
                                    secondFrames};
        }

        if (m_Status != nullptr) {
            for (LONG d = 0; d < kInputChannelCount; ++d) {
                UCHAR peak = 0;
                for (const SampleRun& run : inputs[d].run) {
                    if (run.count == 0) continue;
                    const UCHAR p = PeakOfRun(run.samples, run.stride, run.count);
                    if (p > peak) peak = p;
                }
                StorePeak(&m_Status->inputPeak[d], peak);
            }
        }

        const LONG asioMask = ChannelMask(kAsio, kCapture);
        const LONG mmeMask = ChannelMask(kMme, kCapture);
        for (LONG d = 0; d < kInputChannelCount; ++d) {
            if ((asioMask >> d) & 1)
                DeliverCapture(kAsio, d, m_ClientBuffers[kAsio][kCapture][d][m_InputHalf & 1],
                               frames, inputs);
            if ((mmeMask >> d) & 1)
                DeliverCapture(kMme, d, m_ClientBuffers[kMme][kCapture][d][0], frames, inputs);
        }

        if (m_Status != nullptr)
            WriteULongRelease(StatusWord(&m_Status->lastInputHalf), m_PublishedHalf);
        PublishAsioPeriod(m_DistributedFrames + frames, m_PublishedHalf);
        m_InputHalf ^= 1;
        m_PublishedHalf ^= 1;
        ++m_Counters.inputPeriods;
        ++m_PathCounters.distributedPeriods;
        const EngineNotifications* facade = m_Facade;
        if (facade != nullptr) {
            if (facade->NotifyInputPeriod != nullptr) facade->NotifyInputPeriod(facade->context);
            if (facade->SignalAsioPeriod != nullptr)
                (void)facade->SignalAsioPeriod(facade->context);
        }
        m_DistributedFrames += frames;
        AdvanceReadIndex(input, periodBytes);
    }
}

void StreamEngine::DeliverCapture(LONG kind, LONG channel, const ClientBuffer& buffer, ULONG frames,
                                  const SampleRuns* inputs) {
    const LONG index = RouteRecordIndex(kind, channel);
    const CaptureRoute& route = m_CaptureRoutes[index];
    const SampleRuns destination =
        buffer.address != 0 && buffer.stride != 0
            ? SingleRun(reinterpret_cast<int32_t*>(buffer.address), buffer.stride, frames)
            : SampleRuns{};
    if (route.routeIn == 0) {
        TransferRuns(inputs[channel], destination, frames, RunMode::Copy);
        return;
    }
    const LONG source = RouteInputSource(route.inputSource);
    RingBuffer* ring = m_RoutingRingSlots[index];
    if (ring != nullptr && RouteReadable(index, ring, frames)) {
        // What the routing ring lacks of a period is silence, never the buffer's old contents.
        const SampleRuns routed = RingReadRuns(ring, static_cast<int32_t>(frames));
        const ULONG available = routed.Total();
        TransferRuns(routed, destination, frames, RunMode::Copy);
        AdvanceReadIndex(ring, static_cast<int32_t>(available));
        if (available < frames) {
            // The source stopped or skipped a period: what follows would arrive late.
            ++m_PathCounters.routeShortReads;
            RestartRoute(index);
        }
        if (source != kRouteNoInputSource)
            TransferRuns(inputs[source], destination, frames, RunMode::Add);
        return;
    }
    if (source != kRouteNoInputSource)
        TransferRuns(inputs[source], destination, frames, RunMode::Copy);
    else
        ZeroRuns(destination, frames);
}

}  // namespace q407
