// Sample rate and clock source: the audio-class sampling-frequency requests, the clock mode the
// settings ask for, and the engine operations that change them around a stop and restart.
#include "usbdriver/engine/engine_trace.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

constexpr UCHAR kSetCur = 0x01;
constexpr UCHAR kGetCur = 0x81;
constexpr USHORT kSamplingFrequencyControl = 0x0100;
constexpr USHORT kPlaybackEndpointIndex = 0x0005;
constexpr USHORT kCaptureEndpointIndex = 0x0086;
constexpr ULONG kRateBytes = 3;

}  // namespace

NTSTATUS StreamEngine::ReadDeviceSampleRate(PULONG rate) {
    UCHAR bytes[kRateBytes] = {};
    ULONG moved = 0;
    const NTSTATUS status =
        ControlRequest(URB_FUNCTION_CLASS_INTERFACE, TRUE, kGetCur, kSamplingFrequencyControl, 0,
                       bytes, kRateBytes, FALSE, &moved);
    if (!NT_SUCCESS(status) || moved != kRateBytes) return STATUS_DEVICE_DATA_ERROR;
    if (rate != nullptr) *rate = ULONG(bytes[0]) | (ULONG(bytes[1]) << 8) | (ULONG(bytes[2]) << 16);
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::SetDeviceSampleRate(ULONG rate) {
    if (!IsValidSampleRate(rate)) return STATUS_INVALID_PARAMETER;
    UCHAR bytes[kRateBytes] = {UCHAR(rate), UCHAR(rate >> 8), UCHAR(rate >> 16)};
    (void)ControlRequest(URB_FUNCTION_CLASS_ENDPOINT, FALSE, kSetCur, kSamplingFrequencyControl,
                         kPlaybackEndpointIndex, bytes, kRateBytes, FALSE, nullptr);
    NTSTATUS status =
        ControlRequest(URB_FUNCTION_CLASS_ENDPOINT, FALSE, kSetCur, kSamplingFrequencyControl,
                       kCaptureEndpointIndex, bytes, kRateBytes, FALSE, nullptr);
    if (!NT_SUCCESS(status)) status = STATUS_DEVICE_DATA_ERROR;

    ULONG current = 0;
    const NTSTATUS readBack = ReadDeviceSampleRate(&current);
    if (m_Status != nullptr) {
        if (NT_SUCCESS(status)) {
            if (NT_SUCCESS(readBack) && IsValidSampleRate(current)) {
                m_Status->sampleRate = current;
                m_Settings.sampleRate = static_cast<LONG>(current);
            }
        } else if (!IsValidSampleRate(m_Status->sampleRate)) {
            m_Status->sampleRate = kDefaultSampleRate;
            m_Settings.sampleRate = static_cast<LONG>(kDefaultSampleRate);
        }
    }
    ResetStreamState();
    return status;
}

UCHAR StreamEngine::ApplyClockMode() {
    UCHAR statusByte = kStatusByteFallback;
    if (!NT_SUCCESS(ReadDeviceStatus(&statusByte))) statusByte = kStatusByteFallback;
    const LONG autoClock = m_Settings.autoClock;
    const LONG spdifInput = m_Settings.spdifInput;
    if (autoClock == 0) {
        (void)SetDeviceMode(1);
        (void)WriteDeviceControl(kControlByteInternalClock);
        return kControlByteInternalClock;
    }
    if (autoClock == 1 && spdifInput == 0) {
        (void)SetDeviceMode(0);
        (void)WriteDeviceControl(kControlByteAutoClock);
        return kControlByteAutoClock;
    }
    if (autoClock == 1 && spdifInput == 1) {
        const NTSTATUS stopped = UsbStopStreaming();
        if (!NT_SUCCESS(stopped))
            ENGINE_TRACE("ApplyClockMode ERROR stop failed 0x%08X\n",
                         static_cast<unsigned>(stopped));
        (void)SetDeviceMode(0);
        (void)WriteDeviceControl(kControlByteInternalClock);
        return kControlByteInternalClock;
    }
    return statusByte;
}

NTSTATUS StreamEngine::SetSampleRate(ULONG rate) {
    if (m_Status == nullptr) return STATUS_UNSUCCESSFUL;
    if (!IsValidSampleRate(rate)) return STATUS_INVALID_PARAMETER;
    if (m_Status->sampleRate == rate) return STATUS_SUCCESS;
    if (IsStreaming()) {
        const NTSTATUS stopped = StopForChange("SetSampleRate", TRUE);
        if (!NT_SUCCESS(stopped)) return stopped;
    }
    ResetStreamState();
    // A device that does not take the rate keeps its last one; the rate is recorded as asked, so
    // that the next start tries it again.
    (void)SetDeviceSampleRate(rate);
    m_Status->sampleRate = rate;
    m_Settings.sampleRate = static_cast<LONG>(rate);
    return RestartAfterChange("SetSampleRate");
}

NTSTATUS StreamEngine::SetDigitalOptions(UCHAR options) {
    const LONG autoClock = (options >> 7) & 1;
    const LONG spdifInput = options & 1;
    const BOOLEAN changed =
        autoClock != m_Settings.autoClock || spdifInput != m_Settings.spdifInput;
    m_Settings.autoClock = autoClock;
    m_Settings.spdifInput = spdifInput;
    if (changed) {
        const NTSTATUS stopped = StopForChange("SetDigitalOptions", FALSE);
        if (!NT_SUCCESS(stopped)) return stopped;
        UCHAR statusByte = 0;
        (void)ReadDeviceStatus(&statusByte);
        ULONG rate = CurrentSampleRate();
        if ((statusByte & kStatusDigitalRate) != 0) {
            ULONG deviceRate = 0;
            if (NT_SUCCESS(ReadDeviceSampleRate(&deviceRate))) rate = deviceRate;
        }
        (void)SetDeviceSampleRate(rate);
        (void)ApplyClockMode();
    }
    NTSTATUS result = STATUS_SUCCESS;
    if (!IsStreaming()) {
        ResetStreamState();
        result = SelectStreamingInterfaces();
        if (NT_SUCCESS(result)) result = UsbStartStream();
        if (!NT_SUCCESS(result))
            ENGINE_TRACE("SetDigitalOptions ERROR restart failed 0x%08X\n",
                         static_cast<unsigned>(result));
    }
    const NTSTATUS saved = SaveSettings(&m_Settings, sizeof(m_Settings));
    if (!NT_SUCCESS(saved))
        ENGINE_TRACE("SetDigitalOptions ERROR settings not saved 0x%08X\n",
                     static_cast<unsigned>(saved));
    return NT_SUCCESS(result) ? saved : result;
}

NTSTATUS StreamEngine::ResyncDevice() {
    if (AnyClientChannelOpen() != 0 || IsStreaming()) {
        const NTSTATUS stopped = StopForChange("ResyncDevice", FALSE);
        if (!NT_SUCCESS(stopped)) return stopped;
    }
    ULONG rate = CurrentSampleRate();
    ULONG deviceRate = 0;
    if (NT_SUCCESS(ReadDeviceSampleRate(&deviceRate))) rate = deviceRate;
    (void)SetDeviceSampleRate(rate);
    ResetStreamState();
    (void)SelectStreamingInterfaces();
    return UsbStartStream();
}

}  // namespace q407
