#include "tests/sim/host/portcls/fake_wave_pci_miniport.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "sim/host/portcls/pin_intersection.h"

namespace q407::testing {
namespace {

constexpr ULONG kTestPoolTag = POOL_TAG("Tfwm");

KSDATARANGE_AUDIO MakeAudioRange() {
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = 8;
    range.MinimumBitsPerSample = 16;
    range.MaximumBitsPerSample = 32;
    range.MinimumSampleFrequency = 44100;
    range.MaximumSampleFrequency = 96000;
    return range;
}

KSDATARANGE MakeBridgeRange() {
    KSDATARANGE range{};
    range.FormatSize = sizeof(KSDATARANGE);
    range.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    range.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    return range;
}

const KSDATARANGE_AUDIO g_AudioRange = MakeAudioRange();
const KSDATARANGE g_BridgeRange = MakeBridgeRange();
const PKSDATARANGE g_AudioRanges[] = {
    const_cast<PKSDATARANGE>(reinterpret_cast<const KSDATARANGE*>(&g_AudioRange))};
const PKSDATARANGE g_BridgeRanges[] = {const_cast<PKSDATARANGE>(&g_BridgeRange)};

PCPIN_DESCRIPTOR MakePin(bool streaming, KSPIN_DATAFLOW flow) {
    PCPIN_DESCRIPTOR pin{};
    pin.MaxGlobalInstanceCount = streaming ? 1 : 0;
    pin.MaxFilterInstanceCount = streaming ? 1 : 0;
    pin.KsPinDescriptor.DataRangesCount = 1;
    pin.KsPinDescriptor.DataRanges = streaming ? g_AudioRanges : g_BridgeRanges;
    pin.KsPinDescriptor.DataFlow = flow;
    pin.KsPinDescriptor.Communication =
        streaming ? KSPIN_COMMUNICATION_SINK : KSPIN_COMMUNICATION_NONE;
    pin.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;
    return pin;
}

// Playback sink, its bridge out, recording source, its bridge in.
const PCPIN_DESCRIPTOR g_Pins[] = {
    MakePin(true, KSPIN_DATAFLOW_IN), MakePin(false, KSPIN_DATAFLOW_OUT),
    MakePin(true, KSPIN_DATAFLOW_OUT), MakePin(false, KSPIN_DATAFLOW_IN)};

PCFILTER_DESCRIPTOR MakeFilter() {
    PCFILTER_DESCRIPTOR filter{};
    filter.PinSize = sizeof(PCPIN_DESCRIPTOR);
    filter.PinCount = 4;
    filter.Pins = g_Pins;
    filter.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    return filter;
}
PCFILTER_DESCRIPTOR g_Filter = MakeFilter();

class FakeMiniport;

class FakeStream : public IMiniportWavePciStream {
  public:
    FakeStream(FakeMiniport* miniport, FakeWaveLog* log, PPORTWAVEPCISTREAM portStream, ULONG pin,
               bool capture);
    ~FakeStream();

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniportWavePciStream)) {
            *object = static_cast<IMiniportWavePciStream*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = --refs_;
        if (left == 0) {
            this->~FakeStream();
            ExFreePoolWithTag(this, kTestPoolTag);
        }
        return static_cast<ULONG>(left);
    }

    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT format) override {
        UNREFERENCED_PARAMETER(format);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override {
        std::lock_guard lock(log_->mutex);
        log_->states.push_back(state);
        if (state == log_->refusedState && log_->refuseState != STATUS_SUCCESS)
            return log_->refuseState;
        running_ = state == KSSTATE_RUN;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetPosition(PULONGLONG position) override {
        std::lock_guard lock(log_->mutex);
        *position = position_;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG position) override {
        UNREFERENCED_PARAMETER(position);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetAllocatorFraming(PKSALLOCATOR_FRAMING framing) override {
        RtlZeroMemory(framing, sizeof(*framing));
        framing->OptionsFlags = KSALLOCATOR_OPTIONF_COMPATIBLE;
        framing->PoolType = NonPagedPool;
        framing->Frames = 1;
        framing->FrameSize = log_->framingBytes;
        framing->FileAlignment = FILE_LONG_ALIGNMENT;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) RevokeMappings(PVOID first, PVOID last, PULONG revoked) override {
        UNREFERENCED_PARAMETER(first);
        UNREFERENCED_PARAMETER(last);
        std::lock_guard lock(log_->mutex);
        ++log_->revokes;
        *revoked = haveMapping_ ? 1 : 0;
        haveMapping_ = false;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) MappingAvailable() override {
        std::lock_guard lock(log_->mutex);
        ++log_->mappingAvailable;
    }
    STDMETHODIMP_(void) Service() override;

  private:
    bool Fetch();

    std::atomic<LONG> refs_{1};
    FakeMiniport* miniport_;
    FakeWaveLog* log_;
    PPORTWAVEPCISTREAM portStream_;
    ULONG pin_;
    bool capture_;
    bool running_ = false;
    bool haveMapping_ = false;
    uintptr_t tag_ = 1;
    PUCHAR address_ = nullptr;
    ULONG left_ = 0;
    ULONG size_ = 0;
    uint64_t position_ = 0;
    uint8_t nextRecorded_ = 0;
};

class FakeMiniport : public IMiniportWavePci {
  public:
    explicit FakeMiniport(FakeWaveLog* log) : log_(log) {}
    ~FakeMiniport() {
        if (dma_ != nullptr) dma_->Release();
        if (serviceGroup_ != nullptr) serviceGroup_->Release();
        if (port_ != nullptr) port_->Release();
    }

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) ||
            IsEqualGUID(iid, IID_IMiniportWavePci)) {
            *object = static_cast<IMiniportWavePci*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = --refs_;
        if (left == 0) {
            this->~FakeMiniport();
            ExFreePoolWithTag(this, kTestPoolTag);
        }
        return static_cast<ULONG>(left);
    }

    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override {
        *description = &g_Filter;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG pin, PKSDATARANGE clientRange, PKSDATARANGE ownRange,
                          ULONG bufferLength, PVOID result, PULONG resultLength) override {
        UNREFERENCED_PARAMETER(pin);
        if (!log_->implementIntersection) return STATUS_NOT_IMPLEMENTED;
        const auto* client = reinterpret_cast<const KSDATARANGE_AUDIO*>(clientRange);
        const auto* own = reinterpret_cast<const KSDATARANGE_AUDIO*>(ownRange);
        if (client->MaximumChannels > own->MaximumChannels ||
            client->MaximumBitsPerSample > own->MaximumBitsPerSample ||
            client->MaximumSampleFrequency > own->MaximumSampleFrequency)
            return STATUS_NO_MATCH;
        const ULONG size = sizeof(KSDATAFORMAT_WAVEFORMATEX);
        if (bufferLength == 0) {
            *resultLength = size;
            return STATUS_BUFFER_OVERFLOW;
        }
        if (bufferLength < size) return STATUS_BUFFER_TOO_SMALL;
        auto* format = static_cast<KSDATAFORMAT_WAVEFORMATEX*>(result);
        RtlZeroMemory(format, size);
        format->DataFormat.FormatSize = size;
        format->DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        format->DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        format->DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        format->WaveFormatEx.nChannels = static_cast<USHORT>(client->MaximumChannels);
        format->WaveFormatEx.nSamplesPerSec = client->MaximumSampleFrequency;
        format->WaveFormatEx.wBitsPerSample = static_cast<USHORT>(client->MaximumBitsPerSample);
        *resultLength = size;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    Init(PUNKNOWN adapter, PRESOURCELIST resources, PPORTWAVEPCI port,
         PSERVICEGROUP* serviceGroup) override {
        UNREFERENCED_PARAMETER(adapter);
        UNREFERENCED_PARAMETER(resources);
        ++log_->initCalls;
        port_ = port;
        port_->AddRef();
        log_->dmaStatus =
            port_->NewMasterDmaChannel(&dma_, nullptr, NonPagedPool, nullptr, TRUE, TRUE, FALSE,
                                       FALSE, Width32Bits, MaximumDmaSpeed, 0, 0);
        if (!NT_SUCCESS(log_->dmaStatus)) return log_->dmaStatus;
        const NTSTATUS status = PcNewServiceGroup(&serviceGroup_, nullptr);
        if (!NT_SUCCESS(status)) return status;
        serviceGroup_->AddRef();
        *serviceGroup = serviceGroup_;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    NewStream(PMINIPORTWAVEPCISTREAM* stream, PUNKNOWN outer, POOL_TYPE poolType,
              PPORTWAVEPCISTREAM portStream, ULONG pin, BOOLEAN capture, PKSDATAFORMAT format,
              PDMACHANNEL* dma, PSERVICEGROUP* serviceGroup) override {
        UNREFERENCED_PARAMETER(outer);
        UNREFERENCED_PARAMETER(format);
        if (!NT_SUCCESS(log_->newStreamStatus)) return log_->newStreamStatus;
        if (pin >= 4 || streamGroups_[pin] != nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        PSERVICEGROUP group = nullptr;
        NTSTATUS status = PcNewServiceGroup(&group, nullptr);
        if (!NT_SUCCESS(status)) return status;
        void* memory = ExAllocatePoolWithTag(poolType, sizeof(FakeStream), kTestPoolTag);
        if (memory == nullptr) {
            group->Release();
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        streamGroups_[pin] = group;
        *stream = new (memory) FakeStream(this, log_, portStream, pin, capture != FALSE);
        dma_->AddRef();
        *dma = dma_;
        group->AddRef();
        *serviceGroup = group;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) Service() override {}

    void StreamGone(ULONG pin) {
        if (streamGroups_[pin] != nullptr) streamGroups_[pin]->Release();
        streamGroups_[pin] = nullptr;
    }
    PSERVICEGROUP StreamGroup(ULONG pin) const { return pin < 4 ? streamGroups_[pin] : nullptr; }

  private:
    std::atomic<LONG> refs_{1};
    FakeWaveLog* log_;
    PPORTWAVEPCI port_ = nullptr;
    PDMACHANNEL dma_ = nullptr;
    PSERVICEGROUP serviceGroup_ = nullptr;
    PSERVICEGROUP streamGroups_[4] = {};
};

FakeStream::FakeStream(FakeMiniport* miniport, FakeWaveLog* log, PPORTWAVEPCISTREAM portStream,
                       ULONG pin, bool capture)
    : miniport_(miniport), log_(log), portStream_(portStream), pin_(pin), capture_(capture) {
    miniport_->AddRef();
    portStream_->AddRef();  // as miniports keep their port stream
    std::lock_guard lock(log_->mutex);
    ++log_->streamsAlive;
}

FakeStream::~FakeStream() {
    portStream_->Release();
    miniport_->StreamGone(pin_);
    miniport_->Release();
    std::lock_guard lock(log_->mutex);
    --log_->streamsAlive;
}

// Under log_->mutex.
bool FakeStream::Fetch() {
    if (haveMapping_) return true;
    PHYSICAL_ADDRESS physical;
    PVOID address = nullptr;
    ULONG bytes = 0;
    ULONG flags = 0;
    if (!NT_SUCCESS(portStream_->GetMapping(reinterpret_cast<PVOID>(tag_), &physical, &address,
                                            &bytes, &flags)))
        return false;
    haveMapping_ = true;
    address_ = static_cast<PUCHAR>(address);
    left_ = size_ = bytes;
    log_->mappingBytes.push_back(bytes);
    return true;
}

void FakeStream::Service() {
    std::lock_guard lock(log_->mutex);
    ++log_->services;
    log_->lowestServiceIrql = std::min(log_->lowestServiceIrql, KeGetCurrentIrql());
    if (!running_) return;
    ULONG budget = log_->bytesPerService;
    while (budget != 0 && Fetch()) {
        const ULONG take = std::min(budget, left_);
        PUCHAR at = address_ + (size_ - left_);
        if (capture_) {
            for (ULONG i = 0; i < take; ++i) at[i] = nextRecorded_++;
            log_->recorded += take;
        } else {
            log_->played.insert(log_->played.end(), at, at + take);
        }
        position_ += take;
        left_ -= take;
        budget -= take;
        if (left_ == 0) {
            portStream_->ReleaseMapping(reinterpret_cast<PVOID>(tag_));
            log_->tagsReleased.push_back(tag_);
            ++tag_;
            haveMapping_ = false;
        }
    }
}

}  // namespace

NTSTATUS CreateFakeWavePciMiniport(FakeWaveLog* log, PUNKNOWN* unknown) {
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(FakeMiniport), kTestPoolTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *unknown = static_cast<IMiniportWavePci*>(new (memory) FakeMiniport(log));
    return STATUS_SUCCESS;
}

PSERVICEGROUP FakeWaveStreamServiceGroup(PUNKNOWN miniport, ULONG pin) {
    return static_cast<FakeMiniport*>(static_cast<IMiniportWavePci*>(miniport))->StreamGroup(pin);
}

}  // namespace q407::testing
