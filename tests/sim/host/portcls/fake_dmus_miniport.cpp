#include "tests/sim/host/portcls/fake_dmus_miniport.h"

#include <algorithm>
#include <atomic>
#include <new>

namespace q407::testing {
namespace {

constexpr ULONG kTestPoolTag = POOL_TAG("Tfdm");

KSDATARANGE_MUSIC MakeMusicRange() {
    KSDATARANGE_MUSIC range{};
    range.DataRange.FormatSize = sizeof(KSDATARANGE_MUSIC);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_MUSIC;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_DIRECTMUSIC;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    range.Technology = KSMUSIC_TECHNOLOGY_PORT;
    range.ChannelMask = 0xFFFF;
    return range;
}

const KSDATARANGE_MUSIC g_MusicRange = MakeMusicRange();
const PKSDATARANGE g_MusicRanges[] = {
    const_cast<PKSDATARANGE>(reinterpret_cast<const KSDATARANGE*>(&g_MusicRange))};

PCPIN_DESCRIPTOR MakePin(KSPIN_DATAFLOW flow) {
    PCPIN_DESCRIPTOR pin{};
    pin.MaxGlobalInstanceCount = 1;
    pin.MaxFilterInstanceCount = 1;
    pin.KsPinDescriptor.DataRangesCount = 1;
    pin.KsPinDescriptor.DataRanges = g_MusicRanges;
    pin.KsPinDescriptor.DataFlow = flow;
    pin.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
    return pin;
}

const PCPIN_DESCRIPTOR g_Pins[] = {MakePin(KSPIN_DATAFLOW_IN), MakePin(KSPIN_DATAFLOW_OUT)};

PCFILTER_DESCRIPTOR MakeFilter() {
    PCFILTER_DESCRIPTOR filter{};
    filter.PinSize = sizeof(PCPIN_DESCRIPTOR);
    filter.PinCount = 2;
    filter.Pins = g_Pins;
    filter.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    return filter;
}
PCFILTER_DESCRIPTOR g_Filter = MakeFilter();

class FakeDmusMiniport;

class FakeMxf : public IMXF {
  public:
    FakeMxf(FakeDmusMiniport* miniport, FakeMidiLog* log, PAllocatorMXF allocator, bool capture);
    ~FakeMxf();

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMXF)) {
            *object = static_cast<IMXF*>(this);
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
            this->~FakeMxf();
            ExFreePoolWithTag(this, kTestPoolTag);
        }
        return static_cast<ULONG>(left);
    }
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override {
        std::lock_guard lock(log_->mutex);
        (capture_ ? log_->captureStates : log_->renderStates).push_back(state);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) PutMessage(PDMUS_KERNEL_EVENT events) override;
    STDMETHODIMP_(NTSTATUS) ConnectOutput(PMXF sink) override {
        if (!capture_ || sink_ != nullptr) return STATUS_UNSUCCESSFUL;
        sink_ = sink;
        std::lock_guard lock(log_->mutex);
        log_->connectedSink = sink;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) DisconnectOutput(PMXF sink) override {
        if (!capture_ || sink != sink_) return STATUS_UNSUCCESSFUL;
        sink_ = nullptr;
        std::lock_guard lock(log_->mutex);
        log_->connectedSink = nullptr;
        return STATUS_SUCCESS;
    }

    size_t GiveBackHeld() {
        PDMUS_KERNEL_EVENT chain = nullptr;
        size_t count = 0;
        {
            std::lock_guard lock(log_->mutex);
            chain = held_;
            held_ = nullptr;
        }
        for (PDMUS_KERNEL_EVENT e = chain; e != nullptr; e = e->pNextEvt) ++count;
        if (chain != nullptr) allocator_->PutMessage(chain);
        return count;
    }

  private:
    std::atomic<LONG> refs_{1};
    FakeDmusMiniport* miniport_;
    FakeMidiLog* log_;
    PAllocatorMXF allocator_;
    bool capture_;
    PMXF sink_ = nullptr;
    PDMUS_KERNEL_EVENT held_ = nullptr;
};

class FakeDmusMiniport : public IMiniportDMus {
  public:
    explicit FakeDmusMiniport(FakeMidiLog* log) : log_(log) {}
    ~FakeDmusMiniport() {
        if (serviceGroup_ != nullptr) serviceGroup_->Release();
        if (port_ != nullptr) port_->Release();
    }

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) ||
            IsEqualGUID(iid, IID_IMiniportDMus)) {
            *object = static_cast<IMiniportDMus*>(this);
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
            this->~FakeDmusMiniport();
            ExFreePoolWithTag(this, kTestPoolTag);
        }
        return static_cast<ULONG>(left);
    }
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override {
        *description = &g_Filter;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
        return STATUS_NOT_IMPLEMENTED;  // the port's own intersection
    }
    STDMETHODIMP_(NTSTATUS)
    Init(PUNKNOWN adapter, PRESOURCELIST resources, PPORTDMUS port,
         PSERVICEGROUP* serviceGroup) override {
        UNREFERENCED_PARAMETER(adapter);
        UNREFERENCED_PARAMETER(resources);
        port_ = port;
        port_->AddRef();
        const NTSTATUS status = PcNewServiceGroup(&serviceGroup_, nullptr);
        if (!NT_SUCCESS(status)) return status;
        port_->RegisterServiceGroup(serviceGroup_);
        serviceGroup_->AddRef();
        *serviceGroup = serviceGroup_;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) Service() override {
        std::lock_guard lock(log_->mutex);
        ++log_->services;
    }
    STDMETHODIMP_(NTSTATUS)
    NewStream(PMXF* mxf, PUNKNOWN outer, POOL_TYPE poolType, ULONG pin, DMUS_STREAM_TYPE type,
              PKSDATAFORMAT format, PSERVICEGROUP* serviceGroup, PAllocatorMXF allocator,
              PMASTERCLOCK clock, PULONGLONG prefetch) override {
        UNREFERENCED_PARAMETER(outer);
        UNREFERENCED_PARAMETER(pin);
        UNREFERENCED_PARAMETER(format);
        UNREFERENCED_PARAMETER(clock);
        *prefetch = 0;
        if (type != DMUS_STREAM_MIDI_RENDER && type != DMUS_STREAM_MIDI_CAPTURE)
            return STATUS_INVALID_DEVICE_REQUEST;
        const bool capture = type == DMUS_STREAM_MIDI_CAPTURE;
        void* memory = ExAllocatePoolWithTag(poolType, sizeof(FakeMxf), kTestPoolTag);
        if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        auto* stream = new (memory) FakeMxf(this, log_, allocator, capture);
        if (capture) {
            serviceGroup_->AddRef();
            *serviceGroup = serviceGroup_;
        } else {
            *serviceGroup = nullptr;
            render_ = stream;
        }
        *mxf = stream;
        return STATUS_SUCCESS;
    }

    void StreamGone(FakeMxf* stream) {
        if (render_ == stream) render_ = nullptr;
    }
    FakeMxf* Render() const { return render_; }
    PSERVICEGROUP Group() const { return serviceGroup_; }

  private:
    std::atomic<LONG> refs_{1};
    FakeMidiLog* log_;
    PPORTDMUS port_ = nullptr;
    PSERVICEGROUP serviceGroup_ = nullptr;
    FakeMxf* render_ = nullptr;
};

FakeMxf::FakeMxf(FakeDmusMiniport* miniport, FakeMidiLog* log, PAllocatorMXF allocator,
                 bool capture)
    : miniport_(miniport), log_(log), allocator_(allocator), capture_(capture) {
    miniport_->AddRef();
    allocator_->AddRef();
    std::lock_guard lock(log_->mutex);
    ++log_->streamsAlive;
}

FakeMxf::~FakeMxf() {
    GiveBackHeld();
    allocator_->Release();
    miniport_->StreamGone(this);
    miniport_->Release();
    std::lock_guard lock(log_->mutex);
    --log_->streamsAlive;
}

STDMETHODIMP_(NTSTATUS) FakeMxf::PutMessage(PDMUS_KERNEL_EVENT events) {
    {
        std::lock_guard lock(log_->mutex);
        log_->lowestPutIrql = std::min(log_->lowestPutIrql, KeGetCurrentIrql());
    }
    if (!capture_) {
        std::unique_lock lock(log_->mutex);
        for (PDMUS_KERNEL_EVENT e = events; e != nullptr; e = e->pNextEvt) {
            const PBYTE data = e->cbEvent <= sizeof(PBYTE) ? e->uData.abData : e->uData.pbData;
            log_->rendered.insert(log_->rendered.end(), data, data + e->cbEvent);
            log_->renderEventSizes.push_back(e->cbEvent);
        }
        if (log_->holdRenderEvents) {
            PDMUS_KERNEL_EVENT last = events;
            while (last != nullptr && last->pNextEvt != nullptr) last = last->pNextEvt;
            if (last != nullptr) {
                last->pNextEvt = held_;
                held_ = events;
            }
            return STATUS_SUCCESS;
        }
        lock.unlock();
        return allocator_->PutMessage(events);
    }
    // Capture: the port pulls; the buffered input goes out as events of up to 8 bytes.
    PDMUS_KERNEL_EVENT head = nullptr;
    PDMUS_KERNEL_EVENT tail = nullptr;
    {
        std::lock_guard lock(log_->mutex);
        ++log_->pulls;
        while (!log_->input.empty()) {
            PDMUS_KERNEL_EVENT e = nullptr;
            if (!NT_SUCCESS(allocator_->GetMessage(&e))) break;
            const size_t n = std::min<size_t>(sizeof(PBYTE), log_->input.size());
            for (size_t i = 0; i < n; ++i) {
                e->uData.abData[i] = log_->input.front();
                log_->input.pop_front();
            }
            e->cbEvent = static_cast<USHORT>(n);
            e->usChannelGroup = 1;
            e->usFlags = 1;
            if (tail == nullptr)
                head = e;
            else
                tail->pNextEvt = e;
            tail = e;
        }
    }
    if (head == nullptr) return STATUS_SUCCESS;
    return sink_ != nullptr ? sink_->PutMessage(head) : allocator_->PutMessage(head);
}

}  // namespace

NTSTATUS CreateFakeDmusMiniport(FakeMidiLog* log, PUNKNOWN* unknown) {
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(FakeDmusMiniport), kTestPoolTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *unknown = static_cast<IMiniportDMus*>(new (memory) FakeDmusMiniport(log));
    return STATUS_SUCCESS;
}

size_t ReleaseHeldRenderEvents(PUNKNOWN miniport) {
    auto* self = static_cast<FakeDmusMiniport*>(static_cast<IMiniportDMus*>(miniport));
    return self->Render() != nullptr ? self->Render()->GiveBackHeld() : 0;
}

PSERVICEGROUP FakeDmusServiceGroup(PUNKNOWN miniport) {
    return static_cast<FakeDmusMiniport*>(static_cast<IMiniportDMus*>(miniport))->Group();
}

}  // namespace q407::testing
