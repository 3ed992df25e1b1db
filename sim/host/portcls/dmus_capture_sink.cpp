#include "sim/host/portcls/dmus_capture_sink.h"

#include <new>

#include "sim/host/portcls/port_pool_tags.h"

namespace q407::sim::portcls {
namespace {

constexpr USHORT kPackageEventFlag = 0x0002;
constexpr int kMaxPackageDepth = 16;

}  // namespace

NTSTATUS DmusCaptureSink::Create(PAllocatorMXF allocator, DmusCaptureSink** sink) {
    *sink = nullptr;
    if (allocator == nullptr) return STATUS_INVALID_PARAMETER;
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(DmusCaptureSink), kDmusPoolTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    allocator->AddRef();
    *sink = new (memory) DmusCaptureSink(allocator);
    return STATUS_SUCCESS;
}

DmusCaptureSink::~DmusCaptureSink() {
    allocator_->Release();
}

STDMETHODIMP_(NTSTATUS) DmusCaptureSink::QueryInterface(REFIID iid, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMXF)) {
        *object = static_cast<IMXF*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) DmusCaptureSink::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
}

STDMETHODIMP_(ULONG) DmusCaptureSink::Release() {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) {
        this->~DmusCaptureSink();
        ExFreePoolWithTag(this, kDmusPoolTag);
    }
    return static_cast<ULONG>(left);
}

STDMETHODIMP_(NTSTATUS) DmusCaptureSink::SetState(KSSTATE state) {
    UNREFERENCED_PARAMETER(state);  // it collects in every state
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) DmusCaptureSink::ConnectOutput(PMXF sink) {
    UNREFERENCED_PARAMETER(sink);
    return STATUS_NOT_IMPLEMENTED;  // the end of the line
}

STDMETHODIMP_(NTSTATUS) DmusCaptureSink::DisconnectOutput(PMXF sink) {
    UNREFERENCED_PARAMETER(sink);
    return STATUS_NOT_IMPLEMENTED;
}

// Under mutex_. The event's data is read inline up to eight bytes, through its pointer beyond.
void DmusCaptureSink::Collect(PDMUS_KERNEL_EVENT event, int depth) {
    ++events_;
    lastTime_ = event->ullPresTime100ns;
    if (event->cbEvent <= sizeof(PBYTE)) {
        bytes_.insert(bytes_.end(), event->uData.abData, event->uData.abData + event->cbEvent);
        return;
    }
    if ((event->usFlags & kPackageEventFlag) != 0) {
        if (depth >= kMaxPackageDepth) {
            ++malformed_;
            return;
        }
        for (PDMUS_KERNEL_EVENT inner = event->uData.pPackageEvt; inner != nullptr;
             inner = inner->pNextEvt)
            Collect(inner, depth + 1);
        return;
    }
    if (event->uData.pbData == nullptr) {
        ++malformed_;
        return;
    }
    bytes_.insert(bytes_.end(), event->uData.pbData, event->uData.pbData + event->cbEvent);
}

STDMETHODIMP_(NTSTATUS) DmusCaptureSink::PutMessage(PDMUS_KERNEL_EVENT events) {
    if (events == nullptr) return STATUS_SUCCESS;
    {
        std::lock_guard lock(mutex_);
        for (PDMUS_KERNEL_EVENT event = events; event != nullptr; event = event->pNextEvt)
            Collect(event, 0);
    }
    // The chain is ours now: it goes back to the pool it came from.
    return allocator_->PutMessage(events);
}

size_t DmusCaptureSink::Take(std::vector<uint8_t>* bytes) {
    std::lock_guard lock(mutex_);
    const size_t count = bytes_.size();
    bytes->insert(bytes->end(), bytes_.begin(), bytes_.end());
    bytes_.clear();
    return count;
}

uint64_t DmusCaptureSink::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

int64_t DmusCaptureSink::LastPresentationTime() const {
    std::lock_guard lock(mutex_);
    return lastTime_;
}

uint64_t DmusCaptureSink::Malformed() const {
    std::lock_guard lock(mutex_);
    return malformed_;
}

}  // namespace q407::sim::portcls
