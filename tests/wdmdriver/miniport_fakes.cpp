// The miniports' stand-in parties.
#include "tests/wdmdriver/miniport_fakes.h"

#include <algorithm>
#include <cstring>

namespace q407::testing {

// --- FakeLink ---------------------------------------------------------------------------------

FakeLink::FakeLink(uint32_t index) {
    record_.size = kStreamLinkSize;
    record_.version = kStreamLinkVersion;
    record_.dispatch = &FakeLink::Dispatch;
    record_.deviceContext = this;
    record_.index = index;
}

void FakeLink::Dispatch(void* deviceContext, uint32_t function, void* block) {
    static_cast<FakeLink*>(deviceContext)->Handle(function, block);
}

void FakeLink::Handle(uint32_t function, void* block) {
    std::lock_guard lock(mutex_);
    LinkCall call{function, {}};
    // Blocks are at least as long as their function's record; copy only that much.
    size_t size = 16;
    switch (function) {
        case kLinkRegisterMidiInNotify:
            size = sizeof(LinkMidiInNotifyBlock);
            break;
        case kLinkWriteMidiByte:
        case kLinkReadMidiByte:
            size = sizeof(LinkMidiByteBlock);
            break;
        case kLinkOpenMidiInput:
            size = sizeof(LinkMidiInputBlock);
            break;
        case kLinkApplyTopologyChange:
            size = sizeof(LinkTopologyChangeBlock);
            break;
        default:
            break;
    }
    std::memcpy(call.words, block, size);
    calls_.push_back(call);

    switch (function) {
        case kLinkRegisterMidiInNotify: {
            auto* notify = static_cast<LinkMidiInNotifyBlock*>(block);
            callback_ = notify->callback;
            context_ = notify->context;
            break;
        }
        case kLinkWriteMidiByte: {
            auto* midi = static_cast<LinkMidiByteBlock*>(block);
            if (outCapacity_ != 0) {
                const ULONGLONG now = KeQueryInterruptTime();
                const ULONGLONG drained = (now - lastDrain_) / ULONGLONG(ticksPerByte_);
                if (drained > 0) {
                    outQueued_ = drained >= outQueued_ ? 0 : outQueued_ - uint32_t(drained);
                    lastDrain_ += drained * ULONGLONG(ticksPerByte_);
                }
                if (outQueued_ == 0) lastDrain_ = now;  // an empty ring starts no byte early
                const bool room = outQueued_ < outCapacity_;
                if (room) {
                    ++outQueued_;
                    written_.push_back(midi->value);
                }
                midi->result = room ? 1 : 0;
            } else if (outBudget_ == 0) {
                midi->result = 0;
            } else {
                --outBudget_;
                written_.push_back(midi->value);
                midi->result = 1;
            }
            break;
        }
        case kLinkReadMidiByte: {
            auto* midi = static_cast<LinkMidiByteBlock*>(block);
            if (in_.empty()) {
                midi->result = kLinkNoMidiByte;
            } else {
                midi->result = in_.front();
                in_.pop_front();
            }
            break;
        }
        default:
            break;
    }
}

void FakeLink::SetOutBudget(uint32_t budget) {
    std::lock_guard lock(mutex_);
    outBudget_ = budget;
}

void FakeLink::SetOutPacing(uint32_t capacity, LONGLONG ticksPerByte) {
    std::lock_guard lock(mutex_);
    outCapacity_ = capacity;
    ticksPerByte_ = ticksPerByte > 0 ? ticksPerByte : 1;
    outQueued_ = 0;
    lastDrain_ = KeQueryInterruptTime();
}

std::vector<uint8_t> FakeLink::Written() {
    std::lock_guard lock(mutex_);
    return written_;
}

void FakeLink::QueueIn(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    in_.insert(in_.end(), bytes.begin(), bytes.end());
}

size_t FakeLink::InPending() {
    std::lock_guard lock(mutex_);
    return in_.size();
}

std::vector<LinkCall> FakeLink::Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<LinkCall> FakeLink::CallsOf(uint32_t function) {
    std::lock_guard lock(mutex_);
    std::vector<LinkCall> result;
    for (const LinkCall& call : calls_)
        if (call.function == function) result.push_back(call);
    return result;
}

size_t FakeLink::CallCount() {
    std::lock_guard lock(mutex_);
    return calls_.size();
}

FakeLink::MidiCallback FakeLink::RegisteredCallback() {
    std::lock_guard lock(mutex_);
    return reinterpret_cast<MidiCallback>(static_cast<uintptr_t>(callback_));
}

PVOID FakeLink::RegisteredContext() {
    std::lock_guard lock(mutex_);
    return reinterpret_cast<PVOID>(static_cast<uintptr_t>(context_));
}

// --- FakeAllocator ----------------------------------------------------------------------------

FakeAllocator::FakeAllocator(size_t events) : store_(events), data_(events), out_(events, false) {}

STDMETHODIMP_(NTSTATUS) FakeAllocator::QueryInterface(REFIID, PVOID* object) {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) FakeAllocator::SetState(KSSTATE) {
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) FakeAllocator::PutMessage(PDMUS_KERNEL_EVENT events) {
    std::lock_guard lock(mutex_);
    while (events != nullptr) {
        PDMUS_KERNEL_EVENT next = events->pNextEvt;
        const size_t index = size_t(events - store_.data());
        returned_.push_back(events);
        if (index < store_.size()) out_[index] = false;
        events = next;
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) FakeAllocator::ConnectOutput(PMXF) {
    return STATUS_UNSUCCESSFUL;
}
STDMETHODIMP_(NTSTATUS) FakeAllocator::DisconnectOutput(PMXF) {
    return STATUS_UNSUCCESSFUL;
}

STDMETHODIMP_(NTSTATUS) FakeAllocator::GetMessage(PDMUS_KERNEL_EVENT* event) {
    std::lock_guard lock(mutex_);
    *event = nullptr;
    if (available_ == 0) return STATUS_INSUFFICIENT_RESOURCES;
    for (size_t i = 0; i < store_.size(); ++i) {
        if (out_[i]) continue;
        out_[i] = true;
        if (available_ != SIZE_MAX) --available_;
        store_[i] = DMUS_KERNEL_EVENT{};
        store_[i].cbStruct = sizeof(DMUS_KERNEL_EVENT);
        *event = &store_[i];
        return STATUS_SUCCESS;
    }
    return STATUS_INSUFFICIENT_RESOURCES;
}

STDMETHODIMP_(USHORT) FakeAllocator::GetBufferSize() {
    return 0;
}
STDMETHODIMP_(NTSTATUS) FakeAllocator::GetBuffer(PBYTE* buffer) {
    *buffer = nullptr;
    return STATUS_INSUFFICIENT_RESOURCES;
}
STDMETHODIMP_(NTSTATUS) FakeAllocator::PutBuffer(PBYTE) {
    return STATUS_SUCCESS;
}

PDMUS_KERNEL_EVENT FakeAllocator::MakeEvent(const std::vector<uint8_t>& bytes) {
    PDMUS_KERNEL_EVENT event = nullptr;
    if (!NT_SUCCESS(GetMessage(&event))) return nullptr;
    std::lock_guard lock(mutex_);
    event->cbEvent = USHORT(bytes.size());
    if (bytes.size() > sizeof(PBYTE)) {
        std::vector<uint8_t>& storage = data_[size_t(event - store_.data())];
        storage = bytes;
        event->uData.pbData = storage.data();
    } else {
        std::copy(bytes.begin(), bytes.end(), event->uData.abData);
    }
    return event;
}

PDMUS_KERNEL_EVENT FakeAllocator::MakePackage(PDMUS_KERNEL_EVENT chain) {
    PDMUS_KERNEL_EVENT event = nullptr;
    if (!NT_SUCCESS(GetMessage(&event))) return nullptr;
    event->cbEvent = 2 * sizeof(PBYTE);  // a package's data is the chain, through a pointer
    event->usFlags = 2;
    event->uData.pPackageEvt = chain;
    return event;
}

size_t FakeAllocator::Outstanding() {
    std::lock_guard lock(mutex_);
    return size_t(std::count(out_.begin(), out_.end(), true));
}

std::vector<PDMUS_KERNEL_EVENT> FakeAllocator::Returned() {
    std::lock_guard lock(mutex_);
    return returned_;
}

void FakeAllocator::LimitAvailable(size_t count) {
    std::lock_guard lock(mutex_);
    available_ = count;
}

// --- FakeClock, FakeSink ----------------------------------------------------------------------

STDMETHODIMP_(NTSTATUS) FakeClock::QueryInterface(REFIID, PVOID* object) {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) FakeClock::GetTime(REFERENCE_TIME* time) {
    *time = now.load();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) FakeSink::QueryInterface(REFIID, PVOID* object) {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}
STDMETHODIMP_(NTSTATUS) FakeSink::SetState(KSSTATE) {
    return STATUS_SUCCESS;
}
STDMETHODIMP_(NTSTATUS) FakeSink::ConnectOutput(PMXF) {
    return STATUS_UNSUCCESSFUL;
}
STDMETHODIMP_(NTSTATUS) FakeSink::DisconnectOutput(PMXF) {
    return STATUS_UNSUCCESSFUL;
}

STDMETHODIMP_(NTSTATUS) FakeSink::PutMessage(PDMUS_KERNEL_EVENT events) {
    ++deliveries;
    for (PDMUS_KERNEL_EVENT event = events; event != nullptr; event = event->pNextEvt) {
        ReceivedEvent received_event;
        const uint8_t* data =
            event->cbEvent > sizeof(PBYTE) ? event->uData.pbData : event->uData.abData;
        received_event.bytes.assign(data, data + event->cbEvent);
        received_event.channelGroup = event->usChannelGroup;
        received_event.flags = event->usFlags;
        received_event.time = event->ullPresTime100ns;
        received.push_back(received_event);
    }
    return allocator_->PutMessage(events);
}

// --- Ports ------------------------------------------------------------------------------------

STDMETHODIMP_(NTSTATUS) FakeDMusPort::QueryInterface(REFIID, PVOID* object) {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}
STDMETHODIMP_(NTSTATUS)
FakeDMusPort::Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST) {
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP_(NTSTATUS)
FakeDMusPort::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) {
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP_(NTSTATUS)
FakeDMusPort::NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG,
                             PULONG) {
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP_(void) FakeDMusPort::Notify(PSERVICEGROUP) {
    ++notifications;
    if (captureStream != nullptr) pullStatus = captureStream->PutMessage(nullptr);
}
STDMETHODIMP_(void) FakeDMusPort::RegisterServiceGroup(PSERVICEGROUP serviceGroup) {
    registered = serviceGroup;
}

STDMETHODIMP_(NTSTATUS) FakeTopologyPort::QueryInterface(REFIID iid, PVOID* object) {
    if (offerEvents && IsEqualGUID(iid, IID_IPortEvents)) {
        *object = static_cast<PPORTEVENTS>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}
STDMETHODIMP_(NTSTATUS)
FakeTopologyPort::Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST) {
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP_(NTSTATUS)
FakeTopologyPort::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) {
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP_(NTSTATUS)
FakeTopologyPort::NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                 ULONG, PULONG) {
    return STATUS_NOT_IMPLEMENTED;
}
STDMETHODIMP_(void) FakeTopologyPort::AddEventToEventList(PKSEVENT_ENTRY) {}
STDMETHODIMP_(void) FakeTopologyPort::GenerateEventList(GUID*, ULONG, BOOL, ULONG, BOOL, ULONG) {}

}  // namespace q407::testing
