// Client channels: the open masks per kind and direction, the buffers and rings the clients
// register, the first-open restart and the last-close silence, and the meters.
//
// The masks are flipped while the pipes run; the completions read them once per use. Everything
// else a completion reads (buffer descriptors, rings, the pre-roll, the cycle state) is changed
// under the lock of the pipe that reads it, never under both at once.
#include "usbdriver/engine/route_target.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

constexpr LONG kPlayback = static_cast<LONG>(Direction::Output);
constexpr LONG kCapture = static_cast<LONG>(Direction::Input);
constexpr LONG kAsio = static_cast<LONG>(ClientKind::ASIO);
constexpr LONG kBufferKinds = 3;  // MME, DOLBY, ASIO register buffers
constexpr LONG kRingKinds = 2;    // MME, DOLBY register rings
constexpr ULONG kMaxClientStride = 64;
constexpr LONG kPlaybackBits = (1 << kOutputChannelCount) - 1;
constexpr LONG kCaptureBits = (1 << kInputChannelCount) - 1;

BOOLEAN IsValidChannel(LONG kind, LONG direction, LONG channel) {
    if (kind < 0 || kind >= kClientKindCount) return FALSE;
    if (direction == kPlayback) return channel >= 0 && channel < kOutputChannelCount;
    if (direction == kCapture) return channel >= 0 && channel < kInputChannelCount;
    return FALSE;
}

void ZeroClientBuffer(const ClientBuffer& buffer, ULONG samples) {
    if (buffer.address == 0 || buffer.stride == 0) return;
    LONG* p = reinterpret_cast<LONG*>(buffer.address);
    for (ULONG i = 0; i < samples; ++i) p[static_cast<ULONG64>(i) * buffer.stride] = 0;
}

}  // namespace

LONG StreamEngine::ChannelMask(LONG kind, LONG direction) const {
    return ReadAcquire(&m_ChannelMask[kind][direction]);
}

LONG StreamEngine::IsClientChannelOpen(LONG kind, LONG direction, LONG channel) const {
    if (!IsValidChannel(kind, direction, channel)) return 0;
    return (ChannelMask(kind, direction) >> channel) & 1;
}

LONG StreamEngine::AnyClientChannelOpen() const {
    if (ReadAcquire(&m_MidiInOpenCount) != 0 || ReadAcquire(&m_MidiOutOpenCount) != 0) return 1;
    for (LONG kind = 0; kind < kClientKindCount; ++kind) {
        if ((ChannelMask(kind, kPlayback) & kPlaybackBits) != 0) return 1;
        if ((ChannelMask(kind, kCapture) & kCaptureBits) != 0) return 1;
    }
    return 0;
}

LONG StreamEngine::IsAsioRunning() const {
    if (m_Status == nullptr) return 0;
    if ((ChannelMask(kAsio, kPlayback) & kPlaybackBits) == 0 &&
        (ChannelMask(kAsio, kCapture) & kCaptureBits) == 0)
        return 0;
    return ReadULongNoFence(StatusWord(&m_Status->errorCounter)) <= 9 ? 1 : 0;
}

void StreamEngine::ClearMeters() {
    if (m_Status == nullptr) return;
    // The completions store the meters while control operations clear them.
    for (LONG i = 0; i < kPeakMeterCount; ++i) {
        WriteUCharNoFence(&m_Status->outputPeak[i], 0);
        WriteUCharNoFence(&m_Status->inputPeak[i], 0);
    }
}

NTSTATUS StreamEngine::SetClientBuffer(LONG kind, LONG direction, LONG channel, LONG half,
                                       ULONG64 address, ULONG stride) {
    if (kind < 0 || kind >= kBufferKinds || direction < 0 || direction >= kDirectionCount ||
        channel < 0 || channel >= kChannelSlotCount || half < 0 || half > 1)
        return STATUS_INVALID_PARAMETER;
    if (address != 0 && (stride == 0 || stride > kMaxClientStride)) return STATUS_INVALID_PARAMETER;
    PKSPIN_LOCK lock = direction == kPlayback ? &m_PlaybackLock : &m_CaptureLock;
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
    ClientBuffer& slot = m_ClientBuffers[kind][direction][channel][half];
    slot.address = address;
    slot.stride = address != 0 ? stride : 0;
    KeReleaseSpinLock(lock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::SetClientRing(LONG kind, LONG direction, LONG channel, RingBuffer* ring) {
    if (kind < 0 || kind >= kRingKinds || direction < 0 || direction >= kDirectionCount ||
        channel < 0 || channel >= kChannelSlotCount)
        return STATUS_INVALID_PARAMETER;
    PKSPIN_LOCK lock = direction == kPlayback ? &m_PlaybackLock : &m_CaptureLock;
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
    m_ClientRings[kind][direction][channel] = ring;
    KeReleaseSpinLock(lock, irql);
    return STATUS_SUCCESS;
}

ULONG StreamEngine::OpenClientChannel(LONG kind, LONG direction, LONG channel, LONG open) {
    if (m_Status == nullptr) return 0;
    auto currentHalf = [this] {
        const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_PlaybackLock);
        const ULONG half = m_CurrentOutputHalf;
        KeReleaseSpinLock(&m_PlaybackLock, irql);
        return half;
    };
    auto resetCycles = [this] {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_PlaybackLock);
        m_CurrentOutputHalf = 0;
        m_HalfQueued = 0;
        KeReleaseSpinLock(&m_PlaybackLock, irql);
        irql = KeAcquireSpinLockRaiseToDpc(&m_CaptureLock);
        m_InputHalf = 0;
        m_PublishedHalf = 0;
        KeReleaseSpinLock(&m_CaptureLock, irql);
    };
    if (!IsValidChannel(kind, direction, channel)) return currentHalf();

    volatile LONG* mask = &m_ChannelMask[kind][direction];
    const LONG bit = LONG(1) << channel;
    if (open != 0) {
        const LONG anyBefore = AnyClientChannelOpen();
        if (kind == kAsio) {
            KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_PlaybackLock);
            m_AsioPreRoll = 0;
            m_AsioFlowing = 0;
            ResetAsioAlignment();
            KeReleaseSpinLock(&m_PlaybackLock, irql);
            irql = KeAcquireSpinLockRaiseToDpc(&m_CaptureLock);
            WriteULongRelease(StatusWord(&m_Status->lastInputHalf), 0);
            KeReleaseSpinLock(&m_CaptureLock, irql);
        }
        if (direction == kCapture) PublishCaptureRoutes();
        InterlockedOr(mask, bit);
        // A destination opened late takes the routed signal at the delay every other one has,
        // not what piled up in its ring while it was closed.
        if (direction == kCapture) {
            const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_CaptureLock);
            RestartRoute(RouteRecordIndex(kind, channel));
            KeReleaseSpinLock(&m_CaptureLock, irql);
        }
        if (anyBefore == 0) {
            // Control requests need the pipes stopped; the restart begins every cycle afresh.
            if (IsStreaming() && !NT_SUCCESS(StopForChange("OpenClientChannel", TRUE))) {
                // The pipes did not come down: no control request may reach the device.
                InterlockedAnd(mask, ~bit);
                return currentHalf();
            }
            (void)SetDeviceSampleRate(CurrentSampleRate());
            resetCycles();
            WriteULongRelease(StatusWord(&m_Status->lastInputHalf), 0);
            (void)ApplyClockMode();
            ResetStreamState();
            (void)SelectStreamingInterfaces();
            if (!NT_SUCCESS(UsbStartStream())) InterlockedAnd(mask, ~bit);
        }
        return currentHalf();
    }

    InterlockedAnd(mask, ~bit);
    ClearMeters();
    if (AnyClientChannelOpen() == 0) {
        (void)SilenceOutput();
        resetCycles();
    }
    // A channel that opens again later must not replay what its buffers last held.
    if (kind < kBufferKinds) {
        PKSPIN_LOCK lock = direction == kPlayback ? &m_PlaybackLock : &m_CaptureLock;
        const KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
        const ULONG samples = PeriodFrames();
        for (const ClientBuffer& buffer : m_ClientBuffers[kind][direction][channel])
            ZeroClientBuffer(buffer, samples);
        KeReleaseSpinLock(lock, irql);
    }
    // A closed destination, or the destination a closed source fed, starts afresh when it is
    // fed again.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_PlaybackLock);
    const LONG own = RouteRecordIndex(kind, channel);
    const RouteRecord& record = m_Settings.routeTable.records[own];
    const LONG target = record.routeOut != 0 ? RouteTargetIndex(record) : kNoRouteTarget;
    KeReleaseSpinLock(&m_PlaybackLock, irql);
    irql = KeAcquireSpinLockRaiseToDpc(&m_CaptureLock);
    RestartRoute(direction == kCapture ? own : target);
    KeReleaseSpinLock(&m_CaptureLock, irql);
    return currentHalf();
}

}  // namespace q407
