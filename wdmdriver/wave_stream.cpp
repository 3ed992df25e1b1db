// A wave stream: formats, states, the engine registration, and the data movement of each service.
#include "wdmdriver/wave_stream.h"

#include "wdmdriver/driver_pool.h"
#include "wdmdriver/sample_conversion.h"
#include "wdmdriver/wave_miniport.h"
#include "wdmdriver/wdm_trace.h"

namespace q407::wdm {
namespace {

constexpr int32_t kElementBytes = 4;
constexpr ULONG_PTR kFirstTag = 1;  // tags are never null
constexpr LONG kWorkPollMicroseconds = 100;
constexpr ULONGLONG kHundredNanosecondsPerSecond = 10000000;

// Engine client slots for the rate-change check.
constexpr LONG kMmeSlot = 0;
constexpr LONG kDolbySlot = 1;
constexpr LONG kAsioSlot = 2;

BOOLEAN ChannelsOpen(MiniportLink& link, LONG slot, LONG direction) {
    LinkChannelsOpenBlock block{slot, direction, 0};
    CallMiniportLink(&link, kLinkQueryChannelsOpen, &block);
    return block.result != 0;
}

ULONG Smaller(ULONG a, ULONG b) {
    return a < b ? a : b;
}

}  // namespace

WaveStream::WaveStream(PUNKNOWN outer)
    : CUnknown(outer),
      m_miniport(nullptr),
      m_portStream(nullptr),
      m_serviceGroup(nullptr),
      m_ownsSlot(FALSE),
      m_lock(0),
      m_captureRing{},
      m_renderRing{},
      m_ringStorage(nullptr),
      m_staging(nullptr),
      m_running(0),
      m_registered(FALSE),
      m_activeWork(0),
      m_position(0),
      m_mappingAddress(nullptr),
      m_mappingBytesLeft(0),
      m_haveMapping(FALSE),
      m_fetching(FALSE),
      m_nextTag(kFirstTag),
      m_carry{},
      m_carryBytes(0),
      m_carryOffset(0),
      m_serviceCount(0),
      m_serviceMicroseconds(0),
      m_serviceInterruptTime(0),
      m_elementsWritten(0),
      m_elementsTaken(0),
      m_transferFrames(kDefaultTransferFrames),
      m_droppedPeriods(0),
      m_rate(0),
      m_channels(0),
      m_bytesPerSample(0),
      m_bitsPerSample(0),
      m_blockBytesPerSecond(0),
      m_pin(0),
      m_capture(FALSE),
      m_group(0),
      m_latency(0),
      m_ringPeriodBytes(0),
      m_clientPeriodBytes(0),
      m_stagingBytes(0) {
    KeInitializeSpinLock(&m_lock);
}

WaveStream::~WaveStream() {
    // A stream released while still running or registered leaves the engine first.
    if (m_miniport != nullptr) Stop();
    if (m_miniport != nullptr && m_ownsSlot) m_miniport->ReleaseStreamSlot(m_capture, m_pin);
    if (m_serviceGroup != nullptr) m_serviceGroup->Release();
    if (m_portStream != nullptr) m_portStream->Release();
    if (m_miniport != nullptr) m_miniport->Release();
}

STDMETHODIMP_(NTSTATUS) WaveStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IUnknown)) {
        *object = PVOID(PUNKNOWN(PMINIPORTWAVEPCISTREAM(this)));
    } else if (IsEqualGUID(iid, IID_IMiniportWavePciStream)) {
        *object = PVOID(PMINIPORTWAVEPCISTREAM(this));
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    PUNKNOWN(*object)->AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS WaveStream::Init(WaveMiniport* miniport, PPORTWAVEPCISTREAM portStream, ULONG pin,
                          BOOLEAN capture, PKSDATAFORMAT dataFormat) {
    m_miniport = miniport;
    m_miniport->AddRef();
    m_ownsSlot = TRUE;
    m_portStream = portStream;
    m_portStream->AddRef();
    m_pin = pin;
    m_capture = capture;
    m_group = miniport->SubdeviceIndex();
    LinkLatencyBlock latency{0};
    CallMiniportLink(&miniport->Link(), kLinkGetLatency, &latency);
    m_latency = Smaller(latency.latency, kMaxLatencyFrames);

    NTSTATUS status = SetFormat(dataFormat);
    if (!NT_SUCCESS(status)) return status;
    status = PcNewServiceGroup(&m_serviceGroup, nullptr);
    if (!NT_SUCCESS(status)) {
        m_serviceGroup = nullptr;
        return status;
    }
    ResetCounters();
    return STATUS_SUCCESS;
}

ULONG WaveStream::MostChannels() const {
    return WaveKindMaxChannels(m_miniport->Kind());
}

void WaveStream::StoreFormat(const WaveFormatFacts& facts) {
    m_rate = facts.rate;
    m_channels = facts.channels;
    m_bitsPerSample = facts.bitsPerSample;
    m_bytesPerSample = facts.bitsPerSample / 8u;
    m_blockBytesPerSecond = m_rate * m_channels * m_bytesPerSample;
    // Sizes follow the format: a later format with more channels must not outgrow them.
    m_ringPeriodBytes = m_channels * kElementBytes * m_latency;
    m_clientPeriodBytes = m_latency * m_channels * m_bytesPerSample;
    m_stagingBytes = m_channels * kElementBytes * kStagingFrames;
}

STDMETHODIMP_(NTSTATUS) WaveStream::SetFormat(PKSDATAFORMAT dataFormat) {
    if (dataFormat == nullptr) return STATUS_INVALID_PARAMETER;
    if (InterlockedCompareExchange(&m_running, 0, 0) != 0) return STATUS_INVALID_DEVICE_REQUEST;
    MiniportLink& link = m_miniport->Link();
    WaveFormatFacts facts;
    if (!ReadWaveFormat(dataFormat, dataFormat->FormatSize, &facts)) {
        WDM_TRACE("[SetFormat] ValidateFormat Fail *************\n");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    LinkStreamRateBlock rate{facts.rate, facts.rate};
    CallMiniportLink(&link, kLinkGetStreamRate, &rate);
    m_miniport->GenerateFormatChangeEvents();
    if (rate.rate != facts.rate) {
        if (m_capture) {
            // Every other party whose audio the rate change would disturb, recording included.
            if (ChannelsOpen(link, kAsioSlot, 0) || ChannelsOpen(link, kAsioSlot, 1) ||
                ChannelsOpen(link, kMmeSlot, 0) || ChannelsOpen(link, kMmeSlot, 1) ||
                ChannelsOpen(link, kDolbySlot, 0))
                return STATUS_UNSUCCESSFUL;
        } else if (ChannelsOpen(link, -1, -1)) {
            WDM_TRACE("[SetFormat] Locked Fail Current %d[want to set: %d] *************\n",
                      static_cast<int>(facts.rate), static_cast<int>(rate.rate));
            return STATUS_UNSUCCESSFUL;
        }
    }
    if (!NT_SUCCESS(CheckWaveFormat(facts, MostChannels()))) {
        WDM_TRACE("[SetFormat] ValidateFormat Fail *************\n");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    StoreFormat(facts);
    LinkStreamFormatBlock format{m_group,
                                 m_rate,
                                 m_channels,
                                 m_bitsPerSample,
                                 IsCompressedSubformat(facts.subformatWord) ? 1u : 0u,
                                 static_cast<uint32_t>(STATUS_UNSUCCESSFUL)};
    CallMiniportLink(&link, kLinkSetStreamFormat, &format);
    return static_cast<NTSTATUS>(format.result);
}

STDMETHODIMP_(NTSTATUS) WaveStream::SetState(KSSTATE state) {
    switch (state) {
        case KSSTATE_STOP:
            Stop();
            return STATUS_SUCCESS;
        case KSSTATE_ACQUIRE:
        case KSSTATE_PAUSE:
            Pause();
            return STATUS_SUCCESS;
        case KSSTATE_RUN:
            return Run();
    }
    return STATUS_INVALID_PARAMETER;
}

// --- States ------------------------------------------------------------------------------------

NTSTATUS WaveStream::Register() {
    MiniportLink& link = m_miniport->Link();
    // The engine's period may have changed since creation; periods never outgrow the staging.
    LinkLatencyBlock latency{m_latency};
    CallMiniportLink(&link, kLinkGetLatency, &latency);
    m_latency = Smaller(latency.latency, kMaxLatencyFrames);
    m_ringPeriodBytes = m_channels * kElementBytes * m_latency;
    m_clientPeriodBytes = m_latency * m_channels * m_bytesPerSample;

    m_ringStorage = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(WdmNonPagedPool(), kStreamRingBytes, kStreamStorageTag));
    if (m_ringStorage == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(m_ringStorage, kStreamRingBytes);
    RingBuffer* ring = m_capture ? &m_captureRing : &m_renderRing;
    if (Initialize(ring, kElementBytes, kStreamRingElements, m_ringStorage,
                   static_cast<int32_t>(m_channels), static_cast<int32_t>(m_bytesPerSample)) != 0) {
        if (m_capture) WDM_TRACE("init m_WdmAudioRingBufferIN  failed\n");
        ExFreePoolWithTag(m_ringStorage, kStreamStorageTag);
        m_ringStorage = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (m_capture) {
        m_staging = static_cast<LONG*>(
            ExAllocatePoolWithTag(WdmNonPagedPool(), m_stagingBytes, kStreamStorageTag));
        if (m_staging == nullptr) {
            ExFreePoolWithTag(m_ringStorage, kStreamStorageTag);
            m_ringStorage = nullptr;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(m_staging, m_stagingBytes);
        LinkStreamBufferBlock buffer{
            1, m_group, m_pin, m_channels, PointerWord(m_staging), m_ringPeriodBytes, m_channels};
        CallMiniportLink(&link, kLinkSetStreamBuffer, &buffer);
    } else {
        LinkStreamRingBlock block{0, m_group, m_pin, m_channels, PointerWord(&m_renderRing)};
        CallMiniportLink(&link, kLinkSetStreamRing, &block);
    }
    Flush(ring);
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    m_registered = TRUE;
    m_elementsWritten = 0;
    m_elementsTaken = 0;
    KeReleaseSpinLock(&m_lock, irql);
    return STATUS_SUCCESS;
}

void WaveStream::Unregister() {
    MiniportLink& link = m_miniport->Link();
    if (m_capture) {
        LinkStreamBufferBlock buffer{1, m_group, m_pin, m_channels, 0, 0, m_channels};
        CallMiniportLink(&link, kLinkSetStreamBuffer, &buffer);
    } else {
        LinkStreamRingBlock block{0, m_group, m_pin, m_channels, 0};
        CallMiniportLink(&link, kLinkSetStreamRing, &block);
    }
    // Nothing at DISPATCH_LEVEL may still be inside the ring when its storage goes.
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    m_registered = FALSE;
    KeReleaseSpinLock(&m_lock, irql);
    WaitForWorkToEnd();
    if (m_ringStorage != nullptr) ExFreePoolWithTag(m_ringStorage, kStreamStorageTag);
    if (m_staging != nullptr) ExFreePoolWithTag(m_staging, kStreamStorageTag);
    m_ringStorage = nullptr;
    m_staging = nullptr;
    RtlZeroMemory(&m_captureRing, sizeof(m_captureRing));
    RtlZeroMemory(&m_renderRing, sizeof(m_renderRing));
}

void WaveStream::StartChannels() {
    MiniportLink& link = m_miniport->Link();
    LARGE_INTEGER frequency;
    const LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    if (frequency.QuadPart > 0)
        m_serviceMicroseconds = static_cast<ULONGLONG>(counter.QuadPart) * 1000000u /
                                static_cast<ULONGLONG>(frequency.QuadPart);
    m_serviceInterruptTime = KeQueryInterruptTime();
    m_serviceCount = 0;
    KeReleaseSpinLock(&m_lock, irql);
    // The callback goes in again on every start: a pause or revoke took it out.
    LinkStreamNotifyBlock notify{
        m_capture ? 1u : 0u,    m_group, m_pin, 0, RoutineWord(&WaveMiniport::StreamNotification),
        PointerWord(m_miniport)};
    CallMiniportLink(&link, kLinkRegisterStreamNotify, &notify);
    LinkStreamChannelsBlock channels{m_capture ? 1u : 0u, m_group, m_pin, m_channels};
    CallMiniportLink(&link, kLinkOpenStreamChannels, &channels);
    InterlockedExchange(&m_running, 1);
    m_miniport->SetServiceGroup(m_capture, m_pin, m_serviceGroup);
}

void WaveStream::StopChannels() {
    MiniportLink& link = m_miniport->Link();
    InterlockedExchange(&m_running, 0);
    LinkStreamNotifyBlock notify{m_capture ? 1u : 0u, m_group, m_pin, 0, 0, 0};
    CallMiniportLink(&link, kLinkRegisterStreamNotify, &notify);
    LinkStreamChannelsBlock channels{m_capture ? 1u : 0u, m_group, m_pin, m_channels};
    CallMiniportLink(&link, kLinkCloseStreamChannels, &channels);
    WaitForWorkToEnd();
}

NTSTATUS WaveStream::Run() {
    if (InterlockedCompareExchange(&m_running, 0, 0) != 0) return STATUS_SUCCESS;
    if (!m_registered) {
        NTSTATUS status = Register();
        if (!NT_SUCCESS(status)) return status;
    }
    if (!m_capture) {
        FillRender(1);
    } else {
        KIRQL irql;
        KeAcquireSpinLock(&m_lock, &irql);
        m_carryBytes = 0;
        m_carryOffset = 0;
        KeReleaseSpinLock(&m_lock, irql);
    }
    StartChannels();
    return STATUS_SUCCESS;
}

void WaveStream::Pause() {
    if (InterlockedCompareExchange(&m_running, 0, 0) != 0) StopChannels();
    ReleaseHeldMapping();
}

void WaveStream::Stop() {
    Pause();
    if (m_registered || m_ringStorage != nullptr) Unregister();
    ResetCounters();
}

void WaveStream::ResetCounters() {
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    m_position = 0;
    m_serviceCount = 0;
    m_nextTag = kFirstTag;
    m_haveMapping = FALSE;
    m_mappingAddress = nullptr;
    m_mappingBytesLeft = 0;
    m_carryBytes = 0;
    m_carryOffset = 0;
    m_elementsWritten = 0;
    m_elementsTaken = 0;
    m_transferFrames = kDefaultTransferFrames;
    KeReleaseSpinLock(&m_lock, irql);
}

// --- Work at DISPATCH_LEVEL ----------------------------------------------------------------------

BOOLEAN WaveStream::EnterWork() {
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    const BOOLEAN go = m_registered && InterlockedCompareExchange(&m_running, 0, 0) != 0;
    if (go) ++m_activeWork;
    KeReleaseSpinLock(&m_lock, irql);
    return go;
}

void WaveStream::LeaveWork() {
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    --m_activeWork;
    KeReleaseSpinLock(&m_lock, irql);
}

void WaveStream::WaitForWorkToEnd() {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&m_lock, &irql);
        const LONG active = m_activeWork;
        KeReleaseSpinLock(&m_lock, irql);
        if (active == 0) return;
        LARGE_INTEGER interval;
        interval.QuadPart = -10 * kWorkPollMicroseconds;
        NTSTATUS status = KeDelayExecutionThread(KernelMode, FALSE, &interval);
        UNREFERENCED_PARAMETER(status);  // a non-alertable delay only ends when it is over
    }
}

// --- Mappings ------------------------------------------------------------------------------------

BOOLEAN WaveStream::HoldMapping() {
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    if (m_haveMapping || m_fetching || !m_registered) {
        const BOOLEAN held = m_haveMapping;
        KeReleaseSpinLock(&m_lock, irql);
        return held;
    }
    m_fetching = TRUE;
    const ULONG_PTR tag = m_nextTag;
    KeReleaseSpinLock(&m_lock, irql);

    PHYSICAL_ADDRESS physical;
    physical.QuadPart = 0;
    PVOID address = nullptr;
    ULONG bytes = 0;
    ULONG flags = 0;
    NTSTATUS status =
        m_portStream->GetMapping(reinterpret_cast<PVOID>(tag), &physical, &address, &bytes, &flags);
    BOOLEAN giveBack = FALSE;
    KeAcquireSpinLock(&m_lock, &irql);
    m_fetching = FALSE;
    if (NT_SUCCESS(status) && address != nullptr) {
        m_haveMapping = TRUE;
        m_mappingAddress = static_cast<PUCHAR>(address);
        m_mappingBytesLeft = bytes;
    } else if (NT_SUCCESS(status)) {
        giveBack = TRUE;  // a mapping without an address carries nothing
        ++m_nextTag;
    }
    const BOOLEAN held = m_haveMapping;
    KeReleaseSpinLock(&m_lock, irql);
    if (giveBack) {
        NTSTATUS released = m_portStream->ReleaseMapping(reinterpret_cast<PVOID>(tag));
        UNREFERENCED_PARAMETER(released);  // the port takes its own tag back in any case
    }
    return held;
}

void WaveStream::ReleaseHeldMapping() {
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    if (!m_haveMapping) {
        KeReleaseSpinLock(&m_lock, irql);
        return;
    }
    const ULONG_PTR tag = m_nextTag++;
    m_haveMapping = FALSE;
    m_mappingAddress = nullptr;
    m_mappingBytesLeft = 0;
    KeReleaseSpinLock(&m_lock, irql);
    NTSTATUS status = m_portStream->ReleaseMapping(reinterpret_cast<PVOID>(tag));
    UNREFERENCED_PARAMETER(status);  // the mapping is given up either way
}

// Converts client samples from the held mapping into the render ring while both last. A sample
// that straddles two mappings is gathered in the carry. TRUE when the mapping is used up.
BOOLEAN WaveStream::FillFromMappingLocked() {
    RingBuffer* ring = &m_renderRing;
    const ULONG width = m_bytesPerSample;
    int32_t room = GetWriteAvailable(ring);
    while (room > 0 && m_mappingBytesLeft > 0) {
        if (m_carryBytes > 0 || m_mappingBytesLeft < width) {
            const ULONG take = Smaller(width - m_carryBytes, m_mappingBytesLeft);
            RtlCopyMemory(m_carry + m_carryBytes, m_mappingAddress, take);
            m_carryBytes += take;
            m_mappingAddress += take;
            m_mappingBytesLeft -= take;
            if (m_carryBytes == width) {
                LONG sample = 0;
                ClientToEngine(m_carry, width, &sample, 1);
                Write(ring, &sample, 1);
                ++m_elementsWritten;
                m_carryBytes = 0;
                --room;
            }
            continue;
        }
        const int32_t wanted =
            static_cast<int32_t>(Smaller(m_mappingBytesLeft / width, static_cast<ULONG>(room)));
        void* first = nullptr;
        void* second = nullptr;
        int32_t firstCount = 0;
        int32_t secondCount = 0;
        const int32_t granted =
            GetWriteRegions(ring, wanted, &first, &firstCount, &second, &secondCount);
        if (granted <= 0) break;
        ClientToEngine(m_mappingAddress, width, static_cast<LONG*>(first),
                       static_cast<ULONG>(firstCount));
        if (second != nullptr)
            ClientToEngine(m_mappingAddress + static_cast<ULONG>(firstCount) * width, width,
                           static_cast<LONG*>(second), static_cast<ULONG>(secondCount));
        AdvanceWriteIndex(ring, granted);
        const ULONG consumed = static_cast<ULONG>(granted) * width;
        m_mappingAddress += consumed;
        m_mappingBytesLeft -= consumed;
        m_elementsWritten += static_cast<ULONGLONG>(granted);
        room -= granted;
    }
    return m_mappingBytesLeft == 0;
}

// Converts engine samples from the capture ring into the held mapping while both last. A sample
// that does not fit the mapping's end is finished in the next one. TRUE when the mapping is full.
BOOLEAN WaveStream::DrainIntoMappingLocked() {
    RingBuffer* ring = &m_captureRing;
    const ULONG width = m_bytesPerSample;
    while (m_mappingBytesLeft > 0) {
        if (m_carryBytes > 0) {
            const ULONG give = Smaller(m_carryBytes, m_mappingBytesLeft);
            RtlCopyMemory(m_mappingAddress, m_carry + m_carryOffset, give);
            m_carryOffset += give;
            m_carryBytes -= give;
            m_mappingAddress += give;
            m_mappingBytesLeft -= give;
            m_position += give;
            continue;
        }
        const int32_t stored = GetReadAvailable(ring);
        if (stored <= 0) break;
        const ULONG fits = m_mappingBytesLeft / width;
        if (fits == 0) {
            LONG sample = 0;
            Read(ring, &sample, 1);
            EngineToClient(&sample, width, m_carry, 1);
            m_carryBytes = width;
            m_carryOffset = 0;
            continue;
        }
        const int32_t wanted = static_cast<int32_t>(Smaller(static_cast<ULONG>(stored), fits));
        void* first = nullptr;
        void* second = nullptr;
        int32_t firstCount = 0;
        int32_t secondCount = 0;
        const int32_t granted =
            GetReadRegions(ring, wanted, &first, &firstCount, &second, &secondCount);
        if (granted <= 0) break;
        EngineToClient(static_cast<const LONG*>(first), width, m_mappingAddress,
                       static_cast<ULONG>(firstCount));
        if (second != nullptr)
            EngineToClient(static_cast<const LONG*>(second), width,
                           m_mappingAddress + static_cast<ULONG>(firstCount) * width,
                           static_cast<ULONG>(secondCount));
        AdvanceReadIndex(ring, granted);
        const ULONG written = static_cast<ULONG>(granted) * width;
        m_mappingAddress += written;
        m_mappingBytesLeft -= written;
        m_position += written;
    }
    return m_mappingBytesLeft == 0;
}

// One mapping at a time into the render ring, going on while the ring holds fewer than threshold
// samples.
void WaveStream::FillRender(LONG threshold) {
    for (;;) {
        if (!HoldMapping()) return;
        KIRQL irql;
        KeAcquireSpinLock(&m_lock, &irql);
        if (!m_registered || !m_haveMapping) {
            KeReleaseSpinLock(&m_lock, irql);
            return;
        }
        const BOOLEAN usedUp = FillFromMappingLocked();
        ULONG_PTR tag = 0;
        if (usedUp) {
            tag = m_nextTag++;
            m_haveMapping = FALSE;
            m_mappingAddress = nullptr;
        }
        const BOOLEAN low = GetReadAvailable(&m_renderRing) < threshold;
        KeReleaseSpinLock(&m_lock, irql);
        if (!usedUp) return;  // the ring is full
        NTSTATUS status = m_portStream->ReleaseMapping(reinterpret_cast<PVOID>(tag));
        UNREFERENCED_PARAMETER(status);  // the data is in the ring; the mapping is done with
        if (!low) return;
    }
}

void WaveStream::DrainCapture() {
    for (;;) {
        if (!HoldMapping()) return;
        KIRQL irql;
        KeAcquireSpinLock(&m_lock, &irql);
        if (!m_registered || !m_haveMapping) {
            KeReleaseSpinLock(&m_lock, irql);
            return;
        }
        const BOOLEAN full = DrainIntoMappingLocked();
        ULONG_PTR tag = 0;
        if (full) {
            tag = m_nextTag++;
            m_haveMapping = FALSE;
            m_mappingAddress = nullptr;
        }
        KeReleaseSpinLock(&m_lock, irql);
        if (!full) return;  // the ring is empty
        NTSTATUS status = m_portStream->ReleaseMapping(reinterpret_cast<PVOID>(tag));
        UNREFERENCED_PARAMETER(status);  // the client's bytes are written; the mapping is done
    }
}

// --- Service -----------------------------------------------------------------------------------

STDMETHODIMP_(void) WaveStream::Service() {
    if (!EnterWork()) return;
    LARGE_INTEGER frequency;
    const LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    ++m_serviceCount;
    if (frequency.QuadPart > 0)
        m_serviceMicroseconds = static_cast<ULONGLONG>(counter.QuadPart) * 1000000u /
                                static_cast<ULONGLONG>(frequency.QuadPart);
    m_serviceInterruptTime = KeQueryInterruptTime();
    KeReleaseSpinLock(&m_lock, irql);
    if (m_capture)
        ServiceRecording();
    else
        ServicePlayback();
    LeaveWork();
}

void WaveStream::ServiceRecording() {
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    // The first period after a start was written before the buffer was ours.
    if (m_serviceCount < 2) {
        KeReleaseSpinLock(&m_lock, irql);
        return;
    }
    const int32_t elements = static_cast<int32_t>(m_ringPeriodBytes / kElementBytes);
    if (GetWriteAvailable(&m_captureRing) >= elements)
        Write(&m_captureRing, m_staging, elements);
    else
        ++m_droppedPeriods;
    KeReleaseSpinLock(&m_lock, irql);
    DrainCapture();
}

void WaveStream::ServicePlayback() {
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    // What the engine took since the last service: the position, and the size of its transfers.
    const int32_t stored = GetReadAvailable(&m_renderRing);
    const ULONGLONG taken = m_elementsWritten - static_cast<ULONGLONG>(stored);
    if (taken > m_elementsTaken) {
        const ULONGLONG delta = taken - m_elementsTaken;
        m_position += delta * m_bytesPerSample;
        const ULONGLONG frames = delta / m_channels;
        if (frames > 0) m_transferFrames = static_cast<ULONG>(frames);
        m_elementsTaken = taken;
    }
    // Refill below two transfers' worth, as client bytes of a transfer counted in samples.
    const LONG threshold = static_cast<LONG>(2 * m_channels * m_bytesPerSample * m_transferFrames);
    const BOOLEAN low = stored < threshold;
    KeReleaseSpinLock(&m_lock, irql);
    if (low) FillRender(threshold);
}

STDMETHODIMP_(void) WaveStream::MappingAvailable() {
    if (m_capture) return;
    if (!EnterWork()) return;
    FillRender(1);
    LeaveWork();
}

// --- Queries -----------------------------------------------------------------------------------

STDMETHODIMP_(NTSTATUS) WaveStream::GetPosition(PULONGLONG position) {
    if (position == nullptr) return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    *position = InterlockedCompareExchange(&m_running, 0, 0) != 0 ? m_position : 0;
    KeReleaseSpinLock(&m_lock, irql);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) WaveStream::NormalizePhysicalPosition(PLONGLONG physicalPosition) {
    if (physicalPosition == nullptr) return STATUS_INVALID_PARAMETER;
    const ULONGLONG bytesPerSecond = static_cast<ULONGLONG>(m_rate) * m_channels * m_bytesPerSample;
    if (bytesPerSecond == 0) return STATUS_INVALID_DEVICE_STATE;
    // Bytes to 100-nanosecond units.
    *physicalPosition = static_cast<LONGLONG>(static_cast<ULONGLONG>(*physicalPosition) *
                                              kHundredNanosecondsPerSecond / bytesPerSecond);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) WaveStream::GetAllocatorFraming(PKSALLOCATOR_FRAMING framing) {
    if (framing == nullptr) return STATUS_INVALID_PARAMETER;
    framing->RequirementsFlags =
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY;
    framing->PoolType = WdmNonPagedPool();
    framing->Frames = 1;
    framing->FrameSize = m_clientPeriodBytes;
    framing->FileAlignment = FILE_LONG_ALIGNMENT;
    framing->Reserved = 0;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
WaveStream::RevokeMappings(PVOID firstTag, PVOID lastTag, PULONG mappingsRevoked) {
    const BOOLEAN wasRunning = InterlockedCompareExchange(&m_running, 0, 0) != 0;
    if (wasRunning) StopChannels();
    const auto first = reinterpret_cast<ULONG_PTR>(firstTag);
    const auto last = reinterpret_cast<ULONG_PTR>(lastTag);
    ULONG revoked = 0;
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    // The port takes the revoked mappings back itself: the held one is dropped, not released.
    if (m_haveMapping && m_nextTag >= first && m_nextTag <= last) {
        revoked = 1;
        m_haveMapping = FALSE;
        m_mappingAddress = nullptr;
        m_mappingBytesLeft = 0;
        ++m_nextTag;
    }
    m_carryBytes = 0;
    m_carryOffset = 0;
    m_position = 0;
    m_serviceCount = 0;
    m_elementsTaken = m_elementsWritten - static_cast<ULONGLONG>(GetReadAvailable(&m_renderRing));
    KeReleaseSpinLock(&m_lock, irql);
    if (wasRunning) StartChannels();
    if (mappingsRevoked != nullptr) *mappingsRevoked = revoked;
    return STATUS_SUCCESS;
}

}  // namespace q407::wdm
