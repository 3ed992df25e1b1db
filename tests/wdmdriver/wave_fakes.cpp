// The stand-ins' behaviour.
#include "wave_fakes.h"

#include <cstring>

namespace q407::testing {

// --- FakeLink ------------------------------------------------------------------------------------

StreamLinkInterface FakeLink::Record(uint32_t index) {
    StreamLinkInterface record{};
    record.size = kStreamLinkSize;
    record.version = kStreamLinkVersion;
    record.dispatch = &FakeLink::Dispatch;
    record.deviceContext = this;
    record.index = index;
    return record;
}

void FakeLink::Dispatch(void* context, uint32_t function, void* block) {
    static_cast<FakeLink*>(context)->Handle(function, block);
}

// Bytes of each function's block that the wave side uses.
static size_t BlockBytes(uint32_t function) {
    switch (function) {
        case kLinkRegisterStreamNotify:
            return sizeof(LinkStreamNotifyBlock);
        case kLinkSetStreamBuffer:
            return sizeof(LinkStreamBufferBlock);
        case kLinkOpenStreamChannels:
        case kLinkCloseStreamChannels:
            return sizeof(LinkStreamChannelsBlock);
        case kLinkSetStreamFormat:
            return sizeof(LinkStreamFormatBlock);
        case kLinkGetStreamRate:
            return sizeof(LinkStreamRateBlock);
        case kLinkGetLatency:
            return sizeof(LinkLatencyBlock);
        case kLinkSetStreamRing:
            return sizeof(LinkStreamRingBlock);
        case kLinkQueryChannelsOpen:
            return sizeof(LinkChannelsOpenBlock);
        default:
            return 4;
    }
}

void FakeLink::Handle(uint32_t function, void* block) {
    LinkCall call{function, {}};
    std::memcpy(call.words, block, BlockBytes(function));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
    }
    switch (function) {
        case kLinkRegisterStreamNotify: {
            auto* b = static_cast<LinkStreamNotifyBlock*>(block);
            callback = reinterpret_cast<StreamCallback>(static_cast<uintptr_t>(b->callback));
            callbackContext = reinterpret_cast<PVOID>(static_cast<uintptr_t>(b->context));
            callbackDirection = b->direction;
            callbackSubdevice = b->subdevice;
            callbackPin = b->pin;
            break;
        }
        case kLinkSetStreamBuffer: {
            auto* b = static_cast<LinkStreamBufferBlock*>(block);
            staging = reinterpret_cast<int32_t*>(static_cast<uintptr_t>(b->buffer));
            stagingCount = b->count;
            stagingPeriodBytes = b->reserved;
            stagingStride = b->stride;
            break;
        }
        case kLinkSetStreamRing: {
            auto* b = static_cast<LinkStreamRingBlock*>(block);
            ring = reinterpret_cast<RingBuffer*>(static_cast<uintptr_t>(b->ring));
            break;
        }
        case kLinkOpenStreamChannels:
            ++openGroups;
            break;
        case kLinkCloseStreamChannels:
            if (static_cast<LinkStreamChannelsBlock*>(block)->direction ==
                kLinkStopStreamingDirection)
                ++streamingStops;
            else
                --openGroups;
            break;
        case kLinkSetStreamFormat: {
            auto* b = static_cast<LinkStreamFormatBlock*>(block);
            lastSetRate = b->rate;
            if (formatResult == 0) deviceRate = b->rate;
            b->result = static_cast<uint32_t>(formatResult);
            break;
        }
        case kLinkGetStreamRate: {
            auto* b = static_cast<LinkStreamRateBlock*>(block);
            b->rate = deviceRate != 0 ? deviceRate : b->fallback;
            break;
        }
        case kLinkGetLatency:
            static_cast<LinkLatencyBlock*>(block)->latency = latency;
            break;
        case kLinkQueryChannelsOpen: {
            auto* b = static_cast<LinkChannelsOpenBlock*>(block);
            if (b->slot < 0 || b->direction < 0)
                b->result = openChannels.empty() ? 0 : 1;
            else
                b->result = openChannels.count({b->slot, b->direction}) != 0 ? 1 : 0;
            break;
        }
        default:
            break;
    }
}

std::vector<LinkCall> FakeLink::Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<uint32_t> FakeLink::Functions() const {
    std::vector<uint32_t> functions;
    for (const LinkCall& call : Calls()) functions.push_back(call.function);
    return functions;
}

size_t FakeLink::CountOf(uint32_t function) const {
    size_t n = 0;
    for (const LinkCall& call : Calls()) n += call.function == function ? 1 : 0;
    return n;
}

void FakeLink::ClearCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
}

std::vector<int32_t> FakeLink::TakePlaybackPeriod(uint32_t frames) {
    std::vector<int32_t> taken;
    if (ring == nullptr) return taken;
    const int32_t elements = static_cast<int32_t>(frames) * ring->channels;
    if (GetReadAvailable(ring) < elements) return taken;
    taken.resize(static_cast<size_t>(elements));
    Read(ring, taken.data(), elements);
    return taken;
}

void FakeLink::DeliverCapturePeriod(const std::vector<int32_t>& interleaved) {
    if (staging == nullptr) return;
    std::memcpy(staging, interleaved.data(), interleaved.size() * sizeof(int32_t));
}

void FakeLink::Notify(LONG direction) {
    if (callback != nullptr && callbackContext != nullptr)
        callback(direction, static_cast<LONG>(callbackPin), callbackContext);
}

// --- FakePortStream ------------------------------------------------------------------------------

FakePortStream::FakePortStream(std::vector<uint8_t> data, std::vector<ULONG> mappingSizes)
    : data_(std::move(data)), sizes_(std::move(mappingSizes)) {}

STDMETHODIMP_(NTSTATUS) FakePortStream::QueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPortWavePciStream)) {
        *object = this;
        AddRef();
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}
STDMETHODIMP_(ULONG) FakePortStream::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&references_));
}
STDMETHODIMP_(ULONG) FakePortStream::Release() {
    return static_cast<ULONG>(InterlockedDecrement(&references_));
}

STDMETHODIMP_(NTSTATUS)
FakePortStream::GetMapping(PVOID tag, PPHYSICAL_ADDRESS physical, PVOID* address, PULONG bytes,
                           PULONG flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (offset_ >= data_.size() || sizes_.empty()) return STATUS_UNSUCCESSFUL;
    const auto key = reinterpret_cast<ULONG_PTR>(tag);
    if (!outstanding_.insert(key).second) ++duplicateTags_;
    const ULONG size = sizes_[next_ < sizes_.size() ? next_ : sizes_.size() - 1];
    ++next_;
    const size_t length = std::min<size_t>(size, data_.size() - offset_);
    physical->QuadPart = 0;
    *address = data_.data() + offset_;
    *bytes = static_cast<ULONG>(length);
    *flags = 0;
    offset_ += length;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) FakePortStream::ReleaseMapping(PVOID tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto key = reinterpret_cast<ULONG_PTR>(tag);
    if (outstanding_.erase(key) == 0) {
        ++badReleases_;
        return STATUS_INVALID_PARAMETER;
    }
    released_.push_back(key);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) FakePortStream::TerminatePacket() {
    return STATUS_SUCCESS;
}

std::vector<ULONG_PTR> FakePortStream::ReleasedTags() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return released_;
}

size_t FakePortStream::Outstanding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outstanding_.size();
}

void FakePortStream::Forget(ULONG_PTR tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    outstanding_.erase(tag);
}

// --- FakeDmaChannel ------------------------------------------------------------------------------

STDMETHODIMP_(NTSTATUS) FakeDmaChannel::QueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IDmaChannel)) {
        *object = this;
        AddRef();
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}
STDMETHODIMP_(ULONG) FakeDmaChannel::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&references_));
}
STDMETHODIMP_(ULONG) FakeDmaChannel::Release() {
    return static_cast<ULONG>(InterlockedDecrement(&references_));
}
STDMETHODIMP_(NTSTATUS) FakeDmaChannel::AllocateBuffer(ULONG size, PPHYSICAL_ADDRESS constraint) {
    (void)size;
    (void)constraint;
    return STATUS_SUCCESS;
}
STDMETHODIMP_(PHYSICAL_ADDRESS) FakeDmaChannel::PhysicalAddress() {
    PHYSICAL_ADDRESS address;
    address.QuadPart = 0;
    return address;
}
STDMETHODIMP_(void) FakeDmaChannel::CopyTo(PVOID destination, PVOID source, ULONG count) {
    std::memcpy(destination, source, count);
}
STDMETHODIMP_(void) FakeDmaChannel::CopyFrom(PVOID destination, PVOID source, ULONG count) {
    std::memcpy(destination, source, count);
}

// --- FakePort ------------------------------------------------------------------------------------

STDMETHODIMP_(NTSTATUS) FakePortEvents::QueryInterface(REFIID iid, PVOID* object) {
    return port_->QueryInterface(iid, object);
}
STDMETHODIMP_(ULONG) FakePortEvents::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&port_->eventReferences));
}
STDMETHODIMP_(ULONG) FakePortEvents::Release() {
    return static_cast<ULONG>(InterlockedDecrement(&port_->eventReferences));
}
STDMETHODIMP_(void)
FakePortEvents::GenerateEventList(GUID* set, ULONG eventId, BOOL pinEvent, ULONG pinId,
                                  BOOL nodeEvent, ULONG nodeId) {
    (void)pinId;
    (void)nodeId;
    // The pin-capabilities change set, event 0.
    const GUID expected = {
        0xDD4F192E, 0x3B78, 0x49AD, {0xA5, 0x34, 0x2C, 0x31, 0x5B, 0x82, 0x20, 0x00}};
    if (set == nullptr || !IsEqualGUID(*set, expected) || eventId != 0) return;
    if (pinEvent) ++port_->pinEvents;
    if (nodeEvent) ++port_->nodeEvents;
}

STDMETHODIMP_(NTSTATUS) FakePort::QueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPort) ||
        IsEqualGUID(iid, IID_IPortWavePci)) {
        *object = static_cast<IPortWavePci*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    if (offerEvents && IsEqualGUID(iid, IID_IPortEvents)) {
        *object = &events_;
        events_.AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}
STDMETHODIMP_(ULONG) FakePort::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&references_));
}
STDMETHODIMP_(ULONG) FakePort::Release() {
    return static_cast<ULONG>(InterlockedDecrement(&references_));
}
STDMETHODIMP_(NTSTATUS)
FakePort::Init(PDEVICE_OBJECT device, PIRP irp, PUNKNOWN miniport, PUNKNOWN adapter,
               PRESOURCELIST resources) {
    (void)device;
    (void)irp;
    (void)miniport;
    (void)adapter;
    (void)resources;
    return STATUS_SUCCESS;
}
STDMETHODIMP_(NTSTATUS)
FakePort::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                            PULONG result) {
    (void)property;
    (void)length;
    (void)buffer;
    (void)result;
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP_(NTSTATUS)
FakePort::NewRegistryKey(PREGISTRYKEY* key, PUNKNOWN outer, ULONG type, ACCESS_MASK access,
                         POBJECT_ATTRIBUTES attributes, ULONG options, PULONG disposition) {
    (void)key;
    (void)outer;
    (void)type;
    (void)access;
    (void)attributes;
    (void)options;
    (void)disposition;
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP_(void) FakePort::Notify(PSERVICEGROUP group) {
    notified.push_back(group);
}
STDMETHODIMP_(NTSTATUS)
FakePort::NewMasterDmaChannel(PDMACHANNEL* channel, PUNKNOWN outer, POOL_TYPE pool,
                              PRESOURCELIST resources, BOOLEAN scatterGather, BOOLEAN dma32,
                              BOOLEAN dma64, BOOLEAN ignoreCount, DMA_WIDTH width, DMA_SPEED speed,
                              ULONG maximumLength, ULONG dmaPort) {
    (void)outer;
    (void)pool;
    (void)resources;
    (void)width;
    (void)speed;
    (void)maximumLength;
    (void)dmaPort;
    // The miniport asks for a scatter-gather master channel with 32-bit addresses only.
    if (!scatterGather || !dma32 || dma64 || ignoreCount) return STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(dmaStatus)) return dmaStatus;
    dma.AddRef();
    *channel = &dma;
    return STATUS_SUCCESS;
}

}  // namespace q407::testing
