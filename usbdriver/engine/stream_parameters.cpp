// The stream parameters that rebuild the pipes: latency and USB buffer count. Both stop the pipes
// first, because no control request reaches the device while it streams.
#include "usbdriver/engine/stream_engine.h"

namespace q407 {

NTSTATUS StreamEngine::SetUsbBufferCount(LONG count) {
    if (m_Status == nullptr) return STATUS_UNSUCCESSFUL;
    if (count < kMinUsbBufferCount || count > kMaxUsbBufferCount) return STATUS_INVALID_PARAMETER;
    if (AnyClientChannelOpen() == 0 && !IsStreaming()) {
        m_Status->usbBufferCount = static_cast<ULONG>(count);
        m_Settings.usbBufferCount = count;
        return STATUS_SUCCESS;
    }
    (void)UsbStopStream();
    ClearStreamingIfIdle();
    m_Status->usbBufferCount = static_cast<ULONG>(count);
    m_Settings.usbBufferCount = count;
    (void)WriteDeviceControl(ApplyClockMode());
    ResetStreamState();
    (void)SelectStreamingInterfaces();
    (void)UsbStartStream();
    return STATUS_SUCCESS;
}

// The engine's buffers and loops are built for 32..1024 frames, so other values are refused and
// change nothing.
NTSTATUS StreamEngine::SetLatency(LONG latency) {
    if (m_Status == nullptr) return STATUS_UNSUCCESSFUL;
    if (latency < kMinLatency || latency > kMaxLatency) return STATUS_INVALID_PARAMETER;
    if (IsStreaming()) {
        (void)SilenceOutput();
        (void)UsbStopStream();
        ClearStreamingIfIdle();
    }
    m_Status->latency = static_cast<ULONG>(latency);
    m_Settings.latency = latency;
    (void)WriteDeviceControl(ApplyClockMode());
    ResetStreamState();
    (void)SelectStreamingInterfaces();
    (void)UsbStartStream();
    (void)SaveSettings(&m_Settings, sizeof(m_Settings));
    return STATUS_SUCCESS;
}

}  // namespace q407
