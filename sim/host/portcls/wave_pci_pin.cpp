#include "sim/host/portcls/wave_pci_pin.h"

#include <algorithm>
#include <new>
#include <string>

#include "sim/host/portcls/port_pool_tags.h"
#include "sim/host/verifier.h"

namespace q407::sim::portcls {
namespace {

// A mapping covers at most one page of the client's buffer, as a locked client page would.
constexpr size_t kMappingBytes = 4096;
// The client buffer holds half a second of audio, and never less than a few frames of the
// miniport's framing, so a client can write ahead of the stream.
constexpr size_t kMinimumMappings = 8;
constexpr size_t kMaximumBufferBytes = 2 * 1024 * 1024;

KSSTATE StepToward(KSSTATE from, KSSTATE to) {
    return static_cast<KSSTATE>(static_cast<int>(from) + (to > from ? 1 : -1));
}

// Raises to DISPATCH_LEVEL for the scope when the caller runs below it.
class AtDispatch {
  public:
    AtDispatch() {
        if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
            KeRaiseIrql(DISPATCH_LEVEL, &old_);
            raised_ = true;
        }
    }
    ~AtDispatch() {
        if (raised_) KeLowerIrql(old_);
    }
    AtDispatch(const AtDispatch&) = delete;
    AtDispatch& operator=(const AtDispatch&) = delete;

  private:
    KIRQL old_ = PASSIVE_LEVEL;
    bool raised_ = false;
};

}  // namespace

NTSTATUS BuildWaveDataFormat(const WavePinFormat& format, PKSDATAFORMAT* dataFormat, ULONG* bytes) {
    *dataFormat = nullptr;
    *bytes = 0;
    const ULONG size = sizeof(KSDATAFORMAT) +
                       (format.extensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX));
    auto* memory = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, kWavePciPoolTag));
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(memory, size);
    auto* header = reinterpret_cast<PKSDATAFORMAT>(memory);
    const USHORT blockAlign = static_cast<USHORT>(format.channels * (format.bitsPerSample / 8));
    header->FormatSize = size;
    header->SampleSize = blockAlign;
    header->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    header->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    auto* wave = reinterpret_cast<WAVEFORMATEXTENSIBLE*>(memory + sizeof(KSDATAFORMAT));
    wave->Format.wFormatTag = format.extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
    wave->Format.nChannels = format.channels;
    wave->Format.nSamplesPerSec = format.rate;
    wave->Format.nBlockAlign = blockAlign;
    wave->Format.nAvgBytesPerSec = format.rate * blockAlign;
    wave->Format.wBitsPerSample = format.bitsPerSample;
    if (format.extensible) {
        wave->Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
        wave->Samples.wValidBitsPerSample = format.bitsPerSample;
        wave->dwChannelMask = format.channelMask;
        wave->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    }
    *dataFormat = header;
    *bytes = size;
    return STATUS_SUCCESS;
}

NTSTATUS WavePciPin::Create(PMINIPORTWAVEPCI miniport, ULONG pinId, bool capture,
                            const WavePinFormat& format, WavePciPin** pin) {
    RequirePassive("WavePciPin::Create");
    *pin = nullptr;
    if (format.channels == 0 || format.bitsPerSample < 8 || format.rate == 0)
        return STATUS_INVALID_PARAMETER;
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(WavePciPin), kWavePciPoolTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* self = new (memory) WavePciPin(pinId, capture);
    KeInitializeSpinLock(&self->serviceLock_);

    ULONG formatBytes = 0;
    NTSTATUS status = BuildWaveDataFormat(format, &self->format_, &formatBytes);
    if (NT_SUCCESS(status))
        status = miniport->NewStream(
            &self->stream_, nullptr, NonPagedPool, static_cast<IPortWavePciStream*>(self), pinId,
            capture ? TRUE : FALSE, self->format_, &self->dmaChannel_, &self->serviceGroup_);
    if (NT_SUCCESS(status) && self->stream_ == nullptr)
        BugCheck("IMiniportWavePci::NewStream", "succeeded without giving a stream");
    if (!NT_SUCCESS(status)) {
        self->stream_ = nullptr;  // a failing miniport's out value is not ours to release
        self->closed_ = true;
        self->Release();
        return status;
    }

    // The miniport's framing sizes the client buffer: never fewer than a few of its frames.
    if (!NT_SUCCESS(self->stream_->GetAllocatorFraming(&self->framing_)))
        RtlZeroMemory(&self->framing_, sizeof(self->framing_));
    const size_t blockAlign = size_t(format.channels) * (format.bitsPerSample / 8);
    size_t capacity = size_t(format.rate) * blockAlign / 2;
    capacity = std::max(capacity, size_t(self->framing_.FrameSize) * kMinimumMappings);
    capacity = std::max(capacity, kMappingBytes * kMinimumMappings);
    capacity = std::min(capacity, kMaximumBufferBytes) / blockAlign * blockAlign;
    self->storage_ =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, capacity, kClientBufferPoolTag));
    if (self->storage_ == nullptr) {
        self->Close();
        self->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    self->buffer_.emplace(capture, self->storage_, capacity, blockAlign, kMappingBytes);

    if (self->serviceGroup_ != nullptr)
        self->serviceGroup_->AddMember(static_cast<IServiceSink*>(self));
    *pin = self;
    return STATUS_SUCCESS;
}

WavePciPin::~WavePciPin() {
    if (serviceGroup_ != nullptr) serviceGroup_->Release();
    if (dmaChannel_ != nullptr) dmaChannel_->Release();
    if (format_ != nullptr) ExFreePoolWithTag(format_, kWavePciPoolTag);
    buffer_.reset();
    if (storage_ != nullptr) ExFreePoolWithTag(storage_, kClientBufferPoolTag);
}

STDMETHODIMP_(NTSTATUS) WavePciPin::QueryInterface(REFIID iid, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPortWavePciStream)) {
        *object = static_cast<IPortWavePciStream*>(this);
    } else if (IsEqualGUID(iid, IID_IServiceSink)) {
        *object = static_cast<IServiceSink*>(this);
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) WavePciPin::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
}

STDMETHODIMP_(ULONG) WavePciPin::Release() {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) {
        this->~WavePciPin();
        ExFreePoolWithTag(this, kWavePciPoolTag);
    }
    return static_cast<ULONG>(left);
}

STDMETHODIMP_(NTSTATUS)
WavePciPin::GetMapping(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
                       PULONG byteCount, PULONG flags) {
    RequireAtMostDispatch("IPortWavePciStream::GetMapping");
    if (physicalAddress == nullptr || virtualAddress == nullptr || byteCount == nullptr ||
        flags == nullptr)
        return STATUS_INVALID_PARAMETER;
    uint8_t* address = nullptr;
    uint32_t bytes = 0;
    if (!buffer_ || !buffer_->GetMapping(reinterpret_cast<uintptr_t>(tag), &address, &bytes)) {
        // The miniport hears through MappingAvailable when the client provides more.
        starved_.store(true);
        *virtualAddress = nullptr;
        *byteCount = 0;
        return STATUS_UNSUCCESSFUL;
    }
    // No bus addresses exist on this machine; the miniport moves data through the virtual one.
    physicalAddress->QuadPart = 0;
    *virtualAddress = address;
    *byteCount = bytes;
    // The last mapping of what the client has provided so far ends a packet.
    *flags = buffer_->Mappable() == 0 ? 1 : 0;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) WavePciPin::ReleaseMapping(PVOID tag) {
    RequireAtMostDispatch("IPortWavePciStream::ReleaseMapping");
    if (!buffer_)
        BugCheckTag("IPortWavePciStream::ReleaseMapping", "no mapping was ever handed out",
                    kWavePciPoolTag);
    buffer_->ReleaseMapping(reinterpret_cast<uintptr_t>(tag));
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) WavePciPin::TerminatePacket() {
    RequireAtMostDispatch("IPortWavePciStream::TerminatePacket");
    // Only a capture stream fills packets. Captured bytes become readable as each mapping is
    // released, so every release already ends a packet: nothing is held back to flush.
    return capture_ ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
}

STDMETHODIMP_(void) WavePciPin::RequestService() {
    // As a DPC would: the stream's service runs at DISPATCH_LEVEL, never after Close.
    KIRQL old;
    KeAcquireSpinLock(&serviceLock_, &old);
    if (!closed_ && stream_ != nullptr) {
        services_.fetch_add(1);
        lastServiceIrql_.store(KeGetCurrentIrql());
        stream_->Service();
    }
    KeReleaseSpinLock(&serviceLock_, old);
}

void WavePciPin::OfferMappings() {
    if (!starved_.exchange(false)) return;
    KIRQL old;
    KeAcquireSpinLock(&serviceLock_, &old);
    if (!closed_ && stream_ != nullptr) stream_->MappingAvailable();
    KeReleaseSpinLock(&serviceLock_, old);
}

void WavePciPin::StopAndRevokeLocked() {
    uintptr_t first = 0;
    uintptr_t last = 0;
    if (buffer_ && buffer_->RevokeAll(&first, &last) != 0) {
        ULONG revoked = 0;
        const NTSTATUS status = stream_->RevokeMappings(reinterpret_cast<PVOID>(first),
                                                        reinterpret_cast<PVOID>(last), &revoked);
        // The mappings are taken back whatever the miniport answers: the client's bytes are
        // the port's again either way.
        UNREFERENCED_PARAMETER(status);
    }
    if (buffer_) buffer_->Reset();
}

NTSTATUS WavePciPin::SetState(KSSTATE target) {
    RequirePassive("WavePciPin::SetState");
    if (target < KSSTATE_STOP || target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(clientMutex_);
    if (closed_) return STATUS_DEVICE_REMOVED;
    while (state_ != target) {
        const KSSTATE next = StepToward(state_, target);
        const NTSTATUS status = stream_->SetState(next);
        if (!NT_SUCCESS(status)) return status;
        state_ = next;
        if (state_ == KSSTATE_STOP) StopAndRevokeLocked();
    }
    // Bytes the client queued while the stream could not take them are offered now.
    if (state_ == KSSTATE_RUN) OfferMappings();
    return STATUS_SUCCESS;
}

KSSTATE WavePciPin::State() const {
    std::lock_guard lock(clientMutex_);
    return state_;
}

size_t WavePciPin::Write(const void* bytes, size_t count) {
    if (capture_ || !buffer_ || Closed()) return 0;
    const size_t taken = buffer_->Write(bytes, count);
    if (taken != 0) OfferMappings();
    return taken;
}

size_t WavePciPin::Read(void* bytes, size_t count) {
    if (!capture_ || !buffer_) return 0;
    // Captured bytes stay readable after Close: they are the client's.
    const size_t taken = buffer_->Read(bytes, count);
    if (taken != 0 && !Closed()) OfferMappings();
    return taken;
}

size_t WavePciPin::Queued() const {
    return buffer_ ? buffer_->Queued() : 0;
}

uint64_t WavePciPin::Position() const {
    std::lock_guard lock(clientMutex_);
    if (closed_ || stream_ == nullptr) return 0;
    ULONGLONG position = 0;
    if (!NT_SUCCESS(stream_->GetPosition(&position))) return 0;
    return position;
}

void WavePciPin::Close() {
    std::lock_guard lock(clientMutex_);
    if (closed_) return;
    // Walk down to stop; a miniport refusing a step is stopped regardless of its answer.
    while (state_ != KSSTATE_STOP) {
        const KSSTATE next = StepToward(state_, KSSTATE_STOP);
        const NTSTATUS status = stream_->SetState(next);
        UNREFERENCED_PARAMETER(status);  // closing cannot be refused
        state_ = next;
    }
    StopAndRevokeLocked();
    KIRQL old;
    KeAcquireSpinLock(&serviceLock_, &old);
    closed_ = true;
    KeReleaseSpinLock(&serviceLock_, old);
    if (serviceGroup_ != nullptr) {
        serviceGroup_->RemoveMember(static_cast<IServiceSink*>(this));
        serviceGroup_->Release();
        serviceGroup_ = nullptr;
    }
    PMINIPORTWAVEPCISTREAM stream = stream_;
    stream_ = nullptr;
    if (stream != nullptr) stream->Release();
    // Nothing of the driver's stays with a closed pin: the client may hold it past the device.
    if (dmaChannel_ != nullptr) dmaChannel_->Release();
    dmaChannel_ = nullptr;
}

bool WavePciPin::Closed() const {
    KIRQL old;
    KeAcquireSpinLock(&serviceLock_, &old);
    const bool closed = closed_;
    KeReleaseSpinLock(&serviceLock_, old);
    return closed;
}

}  // namespace q407::sim::portcls
