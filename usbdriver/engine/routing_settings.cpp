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

// A record's source side: whether and where this (kind, channel) sends its signal.
BOOLEAN SourceChanged(const RouteRecord& a, const RouteRecord& b) {
    return a.routeOut != b.routeOut || a.targetKind != b.targetKind ||
           a.targetChannel != b.targetChannel;
}

// The destination a record feeds; an unused record names one but feeds nothing.
void MarkTarget(BOOLEAN (&targets)[kRouteRecordCount], const RouteRecord& record) {
    const LONG target = RouteTargetIndex(record);
    if (record.routeOut != 0 && target != kNoRouteTarget) targets[target] = TRUE;
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

    // Destinations whose signal changes start afresh: the old and new targets of a changed
    // source, and a destination whose own routing switches on or off. The others go on
    // undisturbed, at the delay they have.
    BOOLEAN restart[kRouteRecordCount] = {};
    BOOLEAN mapChanged = FALSE;
    for (LONG i = 0; i < kRouteRecordCount; ++i) {
        const RouteRecord& current = m_Settings.routeTable.records[i];
        const RouteRecord& incoming = next.routeTable.records[i];
        if (SourceChanged(current, incoming)) {
            MarkTarget(restart, current);
            MarkTarget(restart, incoming);
        }
        if (current.routeIn != incoming.routeIn) restart[i] = TRUE;
    }
    for (LONG j = 0; j < kOutputChannelCount; ++j) {
        if (next.outputMap.entries[j] != m_Settings.outputMap.entries[j]) mapChanged = TRUE;
    }

    // The mix reads the map and the routes under the playback lock.
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_PlaybackLock);
    m_Settings = next;
    ComputeInputSources();
    KeReleaseSpinLock(&m_PlaybackLock, irql);

    // The distribution owns the read side of the routing rings: it empties them itself.
    PublishCaptureRoutes();
    RestartRoutes(restart);

    (void)SaveSettings(&m_Settings, sizeof(m_Settings));
    if (mapChanged) ClearMeters();
    return STATUS_SUCCESS;
}

const MixerSettings* StreamEngine::GetSettings() {
    RtlCopyMemory(m_Settings.deviceInfo, m_DeviceInfo, kDeviceInfoByteCount);
    return &m_Settings;
}

}  // namespace q407
