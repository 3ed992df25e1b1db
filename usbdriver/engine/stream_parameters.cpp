// The stream parameters that rebuild the pipes: latency and USB buffer count, and the stop and
// restart every change that talks to the device goes through, because no control request reaches
// the device while it streams.
#include "usbdriver/engine/engine_trace.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407 {

NTSTATUS StreamEngine::StopForChange(const char* operation, BOOLEAN silence) {
    // Nothing to silence when no playback pipe runs; that is not a failure of the change.
    if (silence) (void)SilenceOutput();
    const NTSTATUS status = UsbStopStream();
    ClearStreamingIfIdle();
    if (!NT_SUCCESS(status))
        ENGINE_TRACE("%s ERROR stop failed 0x%08X\n", operation, static_cast<unsigned>(status));
    return status;
}

NTSTATUS StreamEngine::RestartAfterChange(const char* operation) {
    NTSTATUS result = WriteDeviceControl(ApplyClockMode());
    if (!NT_SUCCESS(result))
        ENGINE_TRACE("%s ERROR control byte 0x%08X\n", operation, static_cast<unsigned>(result));
    ResetStreamState();
    NTSTATUS status = SelectStreamingInterfaces();
    if (NT_SUCCESS(status)) status = UsbStartStream();
    if (!NT_SUCCESS(status)) {
        ENGINE_TRACE("%s ERROR restart failed 0x%08X\n", operation, static_cast<unsigned>(status));
        if (NT_SUCCESS(result)) result = status;
    }
    return result;
}

NTSTATUS StreamEngine::SetUsbBufferCount(LONG count) {
    if (m_Status == nullptr) return STATUS_UNSUCCESSFUL;
    if (count < kMinUsbBufferCount || count > kMaxUsbBufferCount) return STATUS_INVALID_PARAMETER;
    if (AnyClientChannelOpen() == 0 && !IsStreaming()) {
        m_Status->usbBufferCount = static_cast<ULONG>(count);
        m_Settings.usbBufferCount = count;
        return STATUS_SUCCESS;
    }
    const NTSTATUS stopped = StopForChange("SetUsbBufferCount", FALSE);
    if (!NT_SUCCESS(stopped)) return stopped;
    m_Status->usbBufferCount = static_cast<ULONG>(count);
    m_Settings.usbBufferCount = count;
    return RestartAfterChange("SetUsbBufferCount");
}

// The engine's buffers and loops are built for 32..1024 frames, so other values are refused and
// change nothing.
NTSTATUS StreamEngine::SetLatency(LONG latency) {
    if (m_Status == nullptr) return STATUS_UNSUCCESSFUL;
    if (latency < kMinLatency || latency > kMaxLatency) return STATUS_INVALID_PARAMETER;
    if (IsStreaming()) {
        const NTSTATUS stopped = StopForChange("SetLatency", TRUE);
        if (!NT_SUCCESS(stopped)) return stopped;
    }
    m_Status->latency = static_cast<ULONG>(latency);
    m_Settings.latency = latency;
    NTSTATUS status = RestartAfterChange("SetLatency");
    const NTSTATUS saved = SaveSettings(&m_Settings, sizeof(m_Settings));
    if (!NT_SUCCESS(saved)) {
        ENGINE_TRACE("SetLatency ERROR settings not saved 0x%08X\n", static_cast<unsigned>(saved));
        if (NT_SUCCESS(status)) status = saved;
    }
    return status;
}

}  // namespace q407
