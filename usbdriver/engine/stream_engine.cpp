// The engine's construction, start-up, teardown and the small queries of the facade.
#include "usbdriver/engine/stream_engine.h"

#include "usbdriver/engine/engine_trace.h"

namespace q407 {

BOOLEAN IsValidSampleRate(ULONG rate) {
    for (ULONG valid : kSampleRates) {
        if (rate == valid) return TRUE;
    }
    return FALSE;
}

StreamEngine::StreamEngine(PDEVICE_OBJECT functionalDevice, PDEVICE_OBJECT lowerDevice,
                           const EngineNotifications* facade) {
    RtlZeroMemory(static_cast<void*>(this), sizeof(*this));
    m_FunctionalDevice = functionalDevice;
    m_LowerDevice = lowerDevice;
    m_Facade = facade;
    m_SettingsThreadBusy = 0;
    m_FirmwareUpdate = 0;
    m_StreamingAlternate[0] = 1;
    m_StreamingAlternate[1] = 1;
    KeInitializeSpinLock(&m_PlaybackLock);
    KeInitializeSpinLock(&m_CaptureLock);
    KeInitializeSpinLock(&m_MidiInLock);
    KeInitializeSpinLock(&m_ClientRingLock);
    KeInitializeEvent(&m_StopGate, SynchronizationEvent, TRUE);
    // Only the first selection fills the table (the driver's entry, or the first engine); a
    // later device's engine finds it filled and leaves it alone, so the answer does not matter.
    (void)SelectConverters(kConverterModeDefault);
}

StreamEngine* AllocateStreamEngine(PDEVICE_OBJECT functionalDevice, PDEVICE_OBJECT lowerDevice,
                                   const EngineNotifications* facade) {
    PVOID memory = ExAllocatePoolWithTag(DriverPoolType(), sizeof(StreamEngine), kEnginePoolTag);
    if (memory == nullptr) return nullptr;
    RtlZeroMemory(memory, sizeof(StreamEngine));
    return new (memory) StreamEngine(functionalDevice, lowerDevice, facade);
}

void FreeStreamEngine(StreamEngine* engine) {
    if (engine == nullptr) return;
    engine->~StreamEngine();
    ExFreePoolWithTag(engine, kEnginePoolTag);
}

ULONG StreamEngine::UsbBufferCount() const {
    if (m_Status == nullptr) return static_cast<ULONG>(kDefaultUsbBufferCount);
    const ULONG n = m_Status->usbBufferCount;
    // The status record is mapped into client processes: never trust it to size a loop.
    if (n < static_cast<ULONG>(kMinUsbBufferCount) || n > static_cast<ULONG>(kMaxUsbBufferCount))
        return static_cast<ULONG>(kDefaultUsbBufferCount);
    return n;
}

ULONG StreamEngine::CurrentLatency() const {
    if (m_Status == nullptr) return static_cast<ULONG>(kLatencyWithoutStatus);
    const ULONG latency = m_Status->latency;
    if (latency < static_cast<ULONG>(kMinLatency) || latency > static_cast<ULONG>(kMaxLatency))
        return static_cast<ULONG>(kFallbackLatency);
    return latency;
}

ULONG StreamEngine::CurrentSampleRate() const {
    if (m_Status == nullptr) return kDefaultSampleRate;
    return m_Status->sampleRate;
}

void StreamEngine::ClearStreamingIfIdle() {
    if (m_PlaybackGroup == nullptr && m_CaptureGroup == nullptr && m_MidiInGroup == nullptr)
        InterlockedExchange(&m_Streaming, 0);
}

void StreamEngine::AdoptSharedBlock(PUCHAR sharedBlock, EngineStatus* status) {
    m_SharedBlock = sharedBlock;
    m_Status = status;
    if (m_Status == nullptr) return;
    m_Status->latency = static_cast<ULONG>(m_Settings.latency);
    m_Status->sampleRate = static_cast<ULONG>(m_Settings.sampleRate);
    m_Status->usbBufferCount = static_cast<ULONG>(m_Settings.usbBufferCount);
    m_Status->lastInputHalf = 0;
    m_Status->errorCounter = 0;
    // A kernel address in a record every client maps would undo address randomisation.
    m_Status->unused30 = 0;
    m_Status->unused34 = 0;
}

void StreamEngine::CarveSharedBlock() {
    if (m_SharedBlock == nullptr) return;
    for (ULONG i = 0; i < kMaxTransfersPerPipe; ++i) {
        m_PlaybackBuffers[i] = m_SharedBlock + kSharedPlaybackOffset + i * kPlaybackBufferBytes;
        m_CaptureBuffers[i] = m_SharedBlock + kSharedCaptureOffset + i * kCaptureBufferBytes;
    }
    for (ULONG h = 0; h < 2; ++h) {
        m_OutputStaging[h] =
            reinterpret_cast<LONG*>(m_SharedBlock + kSharedStagingOffset + h * kStagingHalfBytes);
        m_InputHalves[h] = m_SharedBlock + kSharedInputHalvesOffset + h * kInputHalfBytes;
        for (ULONG c = 0; c < static_cast<ULONG>(kOutputChannelCount); ++c) {
            m_StagingDescriptors[h][c].address = reinterpret_cast<ULONG64>(m_OutputStaging[h] + c);
            m_StagingDescriptors[h][c].stride = kOutputChannelCount;
        }
    }
}

NTSTATUS StreamEngine::InitDevice(PUCHAR sharedBlock, EngineStatus* status) {
    InterlockedExchange(&m_Streaming, 0);
    InterlockedExchange(&m_FirmwareUpdate, 0);

    NTSTATUS result = ReadDescriptors();
    if (NT_SUCCESS(result)) result = SelectConfiguration();
    if (!NT_SUCCESS(result)) return result;
    m_OutputChannels = kOutputChannelCount;
    m_InputChannels = kInputChannelCount;

    // Defaults first: a missing or refused stored value leaves them standing.
    m_Settings = DefaultMixerSettings();
    (void)LoadSettings();
    m_SettingsLoaded = TRUE;
    ValidateSettings();

    AdoptSharedBlock(sharedBlock, status);
    CreateRings();
    CarveSharedBlock();

    // A successful read refreshes the engine's copy and the settings' three bytes.
    UCHAR info[kDeviceInfoBytes];
    (void)ReadDeviceInfo(info, TRUE);
    RtlCopyMemory(m_Settings.deviceInfo, m_DeviceInfo, kDeviceInfoByteCount);
    result = CreateRoutingRings();
    if (!NT_SUCCESS(result)) return result;
    if (m_Status != nullptr) m_Status->initialised = 0;

    // From here on failures are not reported: the device stays configured and the facade can
    // retry through the parameter changes.
    UCHAR deviceStatus = 0;
    (void)ReadDeviceStatus(&deviceStatus);
    (void)SetDeviceSampleRate(CurrentSampleRate());
    if (m_Status != nullptr) {
        m_Settings.latency = static_cast<LONG>(m_Status->latency);
        m_Settings.usbBufferCount = static_cast<LONG>(m_Status->usbBufferCount);
    }
    const NTSTATUS stopped = UsbStopStreaming();
    if (!NT_SUCCESS(stopped))
        ENGINE_TRACE("InitDevice ERROR stop failed 0x%08X\n", static_cast<unsigned>(stopped));
    (void)ApplyClockMode();
    ResetStreamState();
    (void)SelectStreamingInterfaces();
    (void)UsbStartStream();
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::ReleaseDevice() {
    // The stop returns only once this device's pipes are down (or, past its wait, set aside
    // with their IRPs as stale groups), so nothing freed below is still with the lower driver.
    const NTSTATUS stopped = UsbStopStream();
    if (!NT_SUCCESS(stopped))
        ENGINE_TRACE("ReleaseDevice ERROR stop failed 0x%08X\n", static_cast<unsigned>(stopped));
    ClearStreamingIfIdle();
    ReleaseStaleGroups();
    (void)Deconfigure();
    // A device whose initialisation never read the stored settings must not overwrite them.
    if (m_SettingsLoaded) (void)SaveSettings(&m_Settings, sizeof(m_Settings));

    for (ULONG i = 0; i < kMaxTransfersPerPipe; ++i) {
        if (m_PlaybackIrps[i] != nullptr) IoFreeIrp(m_PlaybackIrps[i]);
        if (m_CaptureIrps[i] != nullptr) IoFreeIrp(m_CaptureIrps[i]);
        m_PlaybackIrps[i] = nullptr;
        m_CaptureIrps[i] = nullptr;
    }
    if (m_MidiInIrp != nullptr) IoFreeIrp(m_MidiInIrp);
    m_MidiInIrp = nullptr;

    if (m_ConfigurationDescriptor != nullptr)
        ExFreePoolWithTag(m_ConfigurationDescriptor, kEnginePoolTag);
    m_ConfigurationDescriptor = nullptr;
    FreeRings();
    return stopped;
}

NTSTATUS StreamEngine::EnableStreaming(LONG enable) {
    // The pipes may be running: the playback completion reads the flag under its lock.
    auto clearHalfQueued = [this] {
        const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_PlaybackLock);
        m_HalfQueued = 0;
        KeReleaseSpinLock(&m_PlaybackLock, irql);
    };
    if (enable != 0) {
        ResetStreamState();
        clearHalfQueued();
        return STATUS_SUCCESS;
    }
    const NTSTATUS stopped = StopForChange("EnableStreaming", TRUE);
    // A stop that failed leaves the pipes running: the flag still changes under the lock.
    clearHalfQueued();
    return stopped;
}

NTSTATUS StreamEngine::UsbStopStreaming() {
    const NTSTATUS result = UsbStopStream();
    ClearStreamingIfIdle();
    return result;
}

LONG StreamEngine::GetLatency() const {
    if (m_Status == nullptr) return kLatencyWithoutStatus;
    return static_cast<LONG>(m_Status->latency);
}

ULONG StreamEngine::GetSampleRate(ULONG fallback) const {
    if (m_Status == nullptr) return fallback;
    return m_Status->sampleRate;
}

void StreamEngine::SetStatusWord(ULONG value) {
    if (m_Status != nullptr) m_Status->statusWord = value;
}

void StreamEngine::SetRateChangeFlag(LONG value) {
    m_RateChangeFlag = value;
}

}  // namespace q407
