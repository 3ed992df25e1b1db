// The audio switchboard between the pipes and the clients: the playback mix into the output
// staging half and the distribution of whole input periods. Client channels join the mix and the
// distribution through the channel masks; with none open the staging half stays silent and each
// period is still published, metered and signalled, so the clients' clocks keep running.
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

constexpr ULONG kCaptureFrameSamples = kInputChannelCount;

// Peak of one run of samples as the meters show it: 0..127.
UCHAR PeakOf(const LONG* samples, ULONG stride, ULONG count, UCHAR current) {
    LONG peak = 0;
    for (ULONG i = 0; i < count; ++i) {
        const LONG x = samples[i * stride];
        const LONG magnitude = x >= 0 ? x : ~x;
        if (magnitude > peak) peak = magnitude;
    }
    const UCHAR value = static_cast<UCHAR>(peak >> 24);
    return value > current ? value : current;
}

}  // namespace

LONG StreamEngine::AnyClientChannelOpen() const {
    if (m_MidiInOpenCount != 0 || m_MidiOutOpenCount != 0) return 1;
    for (LONG kind = 0; kind < kClientKindCount; ++kind) {
        if ((m_ChannelMask[kind][static_cast<LONG>(Direction::Output)] & 0xFF) != 0) return 1;
        if ((m_ChannelMask[kind][static_cast<LONG>(Direction::Input)] & 0xFFFF) != 0) return 1;
    }
    return 0;
}

void StreamEngine::ClearMeters() {
    if (m_Status == nullptr) return;
    RtlZeroMemory(m_Status->outputPeak, sizeof(m_Status->outputPeak));
    RtlZeroMemory(m_Status->inputPeak, sizeof(m_Status->inputPeak));
}

void StreamEngine::MixOutput(ULONG half, ULONG frames) {
    if (half > 1 || frames > kStagingHalfFrames || m_OutputStaging[half] == nullptr) return;
    RtlZeroMemory(m_OutputSourceCount, sizeof(m_OutputSourceCount));
    RtlZeroMemory(m_RouteSourceCount, sizeof(m_RouteSourceCount));
    RtlZeroMemory(m_RouteWritten, sizeof(m_RouteWritten));
    // The staging half was cleared when it was last queued. Sources are added per client kind
    // (MME, DOLBY, ASIO) from the kinds' open playback channels; with none open the half goes
    // out silent.
}

void StreamEngine::DistributeInput() {
    const ULONG latency = CurrentLatency();
    const int32_t periodBytes = static_cast<int32_t>(latency * kCaptureFrameBytes);
    while (GetReadAvailable(&m_InAudioRingBuffer) >= periodBytes) {
        void* first = nullptr;
        void* second = nullptr;
        int32_t firstCount = 0;
        int32_t secondCount = 0;
        GetReadRegions(&m_InAudioRingBuffer, periodBytes, &first, &firstCount, &second,
                       &secondCount);
        // A period whose length does not divide the ring straddles its end: both regions hold
        // whole frames because the ring is only ever filled in whole units.
        const ULONG firstFrames = static_cast<ULONG>(firstCount) / kCaptureFrameBytes;
        const ULONG secondFrames = static_cast<ULONG>(secondCount) / kCaptureFrameBytes;

        if (m_Status != nullptr) {
            for (LONG d = 0; d < kInputChannelCount; ++d) {
                UCHAR peak = 0;
                if (first != nullptr)
                    peak = PeakOf(static_cast<const LONG*>(first) + d, kCaptureFrameSamples,
                                  firstFrames, peak);
                if (second != nullptr)
                    peak = PeakOf(static_cast<const LONG*>(second) + d, kCaptureFrameSamples,
                                  secondFrames, peak);
                m_Status->inputPeak[d] = peak;
            }
            m_Status->lastInputHalf = m_PublishedHalf;
        }
        m_InputHalf ^= 1;
        m_PublishedHalf ^= 1;
        ++m_Counters.inputPeriods;
        const EngineNotifications* facade = m_Facade;
        if (facade != nullptr) {
            if (facade->NotifyInputPeriod != nullptr) facade->NotifyInputPeriod(facade->context);
            if (facade->SignalAsioPeriod != nullptr) (void)facade->SignalAsioPeriod(facade->context);
        }
        AdvanceReadIndex(&m_InAudioRingBuffer, periodBytes);
    }
}

}  // namespace q407
