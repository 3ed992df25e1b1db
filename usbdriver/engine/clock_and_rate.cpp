// Sample rate and clock source: the audio-class sampling-frequency requests, the clock mode the
// settings ask for, and the engine operations that change them around a stop and restart.
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
        (void)UsbStopStreaming();
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
        (void)SilenceOutput();
        (void)UsbStopStream();
        ClearStreamingIfIdle();
    }
    ResetStreamState();
    (void)SetDeviceSampleRate(rate);
    m_Status->sampleRate = rate;
    m_Settings.sampleRate = static_cast<LONG>(rate);
    (void)WriteDeviceControl(ApplyClockMode());
    (void)SelectStreamingInterfaces();
    (void)UsbStartStream();
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::SetDigitalOptions(UCHAR options) {
    const LONG autoClock = (options >> 7) & 1;
    const LONG spdifInput = options & 1;
    const BOOLEAN changed =
        autoClock != m_Settings.autoClock || spdifInput != m_Settings.spdifInput;
    m_Settings.autoClock = autoClock;
    m_Settings.spdifInput = spdifInput;
    if (changed) {
        (void)UsbStopStream();
        ClearStreamingIfIdle();
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
    if (!IsStreaming()) {
        ResetStreamState();
        (void)SelectStreamingInterfaces();
        (void)UsbStartStream();
    }
    (void)SaveSettings(&m_Settings, sizeof(m_Settings));
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::ResyncDevice() {
    if (AnyClientChannelOpen() != 0 || IsStreaming()) {
        (void)UsbStopStream();
        ClearStreamingIfIdle();
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
