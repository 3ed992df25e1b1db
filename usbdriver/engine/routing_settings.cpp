// The MixerSettings exchange with the control panel: adopting a whole block (stream parameters,
// output map, FlexPATH routing) and handing the current one out.
//
// A block comes from a client. Its map entries and routing targets are brought into range as at
// initialisation before the engine adopts them, so the panel reads back what the engine uses, and
// every later lookup still goes through RouteTargetIndex.
#include "usbdriver/engine/route_target.h"
#include "usbdriver/engine/settings_ranges.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

// A record whose change can send a different signal, or none, into its target.
BOOLEAN RouteChanged(const RouteRecord& a, const RouteRecord& b) {
    return a.routeOut != b.routeOut || a.routeIn != b.routeIn || a.targetKind != b.targetKind ||
           a.targetChannel != b.targetChannel;
}

}  // namespace

void StreamEngine::PublishCaptureRoutes() {
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_CaptureLock);
    for (LONG i = 0; i < kRouteRecordCount; ++i) {
        const RouteRecord& record = m_Settings.routeTable.records[i];
        m_CaptureRoutes[i].routeIn = record.routeIn;
        m_CaptureRoutes[i].inputSource = RouteInputSource(record.inputSource);
    }
    KeReleaseSpinLock(&m_CaptureLock, irql);
}

NTSTATUS StreamEngine::ApplySettings(const MixerSettings* block) {
    if (block == nullptr) return STATUS_INVALID_PARAMETER;
    MixerSettings next = *block;

    if (next.usbBufferCount != m_Settings.usbBufferCount &&
        !NT_SUCCESS(SetUsbBufferCount(next.usbBufferCount)))
        next.usbBufferCount = m_Settings.usbBufferCount;
    if (next.sampleRate != m_Settings.sampleRate &&
        !NT_SUCCESS(SetSampleRate(static_cast<ULONG>(next.sampleRate))))
        next.sampleRate = m_Settings.sampleRate;
    RtlCopyMemory(next.deviceInfo, m_DeviceInfo, kDeviceInfoByteCount);
    BringMapAndRoutesIntoRange(next);

    // Destinations whose source changes start again from an empty ring.
    BOOLEAN drain[kRouteRecordCount] = {};
    BOOLEAN mapChanged = FALSE;
    for (LONG i = 0; i < kRouteRecordCount; ++i) {
        if (!RouteChanged(next.routeTable.records[i], m_Settings.routeTable.records[i])) continue;
        const LONG target = RouteTargetIndex(next.routeTable.records[i]);
        if (target != kNoRouteTarget) drain[target] = TRUE;
    }
    for (LONG j = 0; j < kOutputChannelCount; ++j) {
        if (next.outputMap.entries[j] != m_Settings.outputMap.entries[j]) mapChanged = TRUE;
    }

    // The mix reads the map and the routes under the playback lock.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_PlaybackLock);
    m_Settings = next;
    ComputeInputSources();
    for (LONG64& periods : m_RoutePeriods) WriteNoFence64(&periods, 0);
    KeReleaseSpinLock(&m_PlaybackLock, irql);

    // The distribution owns the read side of the routing rings: emptying them there needs no
    // idle producer.
    PublishCaptureRoutes();
    irql = KeAcquireSpinLockRaiseToDpc(&m_CaptureLock);
    for (LONG t = 0; t < kRouteRecordCount; ++t) {
        RingBuffer* ring = m_RoutingRingSlots[t];
        if (drain[t] && ring != nullptr) AdvanceReadIndex(ring, GetReadAvailable(ring));
    }
    KeReleaseSpinLock(&m_CaptureLock, irql);

    (void)SaveSettings(&m_Settings, sizeof(m_Settings));
    if (mapChanged) ClearMeters();
    return STATUS_SUCCESS;
}

const MixerSettings* StreamEngine::GetSettings() {
    RtlCopyMemory(m_Settings.deviceInfo, m_DeviceInfo, kDeviceInfoByteCount);
    return &m_Settings;
}

}  // namespace q407
