#include "sim/host/portcls/dmus_allocator.h"

#include <new>
#include <string>

#include "sim/host/portcls/port_pool_tags.h"
#include "sim/host/verifier.h"

namespace q407::sim::portcls {
namespace {

// A package event carries a chain of events in place of data.
constexpr USHORT kPackageEventFlag = 0x0002;
// A package inside a package inside ... : a cycle or a corrupt chain, not a real message.
constexpr int kMaxPackageDepth = 16;

}  // namespace

NTSTATUS DmusAllocator::Create(ULONG events, ULONG buffers, DmusAllocator** allocator) {
    *allocator = nullptr;
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(DmusAllocator), kDmusPoolTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* self = new (memory) DmusAllocator();
    KeInitializeSpinLock(&self->lock_);
    self->events_ = static_cast<DMUS_KERNEL_EVENT*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(DMUS_KERNEL_EVENT) * events, kDmusPoolTag));
    self->buffers_ = static_cast<PBYTE>(
        ExAllocatePoolWithTag(NonPagedPool, SIZE_T(kBufferBytes) * buffers, kDmusPoolTag));
    self->eventOut_ =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, events, kDmusPoolTag));
    self->bufferOut_ =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, buffers, kDmusPoolTag));
    self->freeBuffers_ = static_cast<PULONG>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ULONG) * buffers, kDmusPoolTag));
    if (self->events_ == nullptr || self->buffers_ == nullptr || self->eventOut_ == nullptr ||
        self->bufferOut_ == nullptr || self->freeBuffers_ == nullptr) {
        self->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    self->eventCount_ = events;
    self->bufferCount_ = buffers;
    RtlZeroMemory(self->eventOut_, events);
    RtlZeroMemory(self->bufferOut_, buffers);
    for (ULONG i = events; i-- > 0;) {
        self->events_[i].pNextEvt = self->freeEvents_;
        self->freeEvents_ = &self->events_[i];
    }
    for (ULONG i = 0; i < buffers; ++i) self->freeBuffers_[i] = buffers - 1 - i;
    self->freeBufferCount_ = buffers;
    *allocator = self;
    return STATUS_SUCCESS;
}

DmusAllocator::~DmusAllocator() {
    if (events_ != nullptr) ExFreePoolWithTag(events_, kDmusPoolTag);
    if (buffers_ != nullptr) ExFreePoolWithTag(buffers_, kDmusPoolTag);
    if (eventOut_ != nullptr) ExFreePoolWithTag(eventOut_, kDmusPoolTag);
    if (bufferOut_ != nullptr) ExFreePoolWithTag(bufferOut_, kDmusPoolTag);
    if (freeBuffers_ != nullptr) ExFreePoolWithTag(freeBuffers_, kDmusPoolTag);
}

STDMETHODIMP_(NTSTATUS) DmusAllocator::QueryInterface(REFIID iid, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IAllocatorMXF)) {
        *object = static_cast<IAllocatorMXF*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) DmusAllocator::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
}

STDMETHODIMP_(ULONG) DmusAllocator::Release() {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) {
        if (eventsOut_ != 0 || freeBufferCount_ != bufferCount_)
            BugCheckTag("IAllocatorMXF::Release",
                        "allocator destroyed with " + std::to_string(eventsOut_) + " events and " +
                            std::to_string(bufferCount_ - freeBufferCount_) +
                            " buffers still handed out",
                        kDmusPoolTag);
        this->~DmusAllocator();
        ExFreePoolWithTag(this, kDmusPoolTag);
    }
    return static_cast<ULONG>(left);
}

STDMETHODIMP_(NTSTATUS) DmusAllocator::SetState(KSSTATE state) {
    UNREFERENCED_PARAMETER(state);  // the pool has no running state
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) DmusAllocator::ConnectOutput(PMXF sink) {
    UNREFERENCED_PARAMETER(sink);
    return STATUS_NOT_IMPLEMENTED;  // events end here
}

STDMETHODIMP_(NTSTATUS) DmusAllocator::DisconnectOutput(PMXF sink) {
    UNREFERENCED_PARAMETER(sink);
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) DmusAllocator::GetMessage(PDMUS_KERNEL_EVENT* event) {
    if (event == nullptr) return STATUS_INVALID_PARAMETER;
    RequireAtMostDispatch("IAllocatorMXF::GetMessage");
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    PDMUS_KERNEL_EVENT taken = freeEvents_;
    if (taken != nullptr) {
        freeEvents_ = taken->pNextEvt;
        eventOut_[taken - events_] = 1;
        ++eventsOut_;
    } else {
        ++failed_;
    }
    KeReleaseSpinLock(&lock_, irql);
    *event = taken;
    if (taken == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(taken, sizeof(*taken));
    taken->cbStruct = sizeof(DMUS_KERNEL_EVENT);
    return STATUS_SUCCESS;
}

void DmusAllocator::PutOneLocked(PDMUS_KERNEL_EVENT event, int depth) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(event);
    const uintptr_t first = reinterpret_cast<uintptr_t>(events_);
    if (at < first || at >= first + sizeof(DMUS_KERNEL_EVENT) * eventCount_ ||
        (at - first) % sizeof(DMUS_KERNEL_EVENT) != 0)
        BugCheckTag("IAllocatorMXF::PutMessage", "event is not one of this allocator's",
                    kDmusPoolTag);
    const size_t index = (at - first) / sizeof(DMUS_KERNEL_EVENT);
    if (eventOut_[index] == 0)
        BugCheckTag("IAllocatorMXF::PutMessage",
                    "event " + std::to_string(index) + " given back twice", kDmusPoolTag);
    if (event->cbEvent > sizeof(PBYTE)) {
        if ((event->usFlags & kPackageEventFlag) != 0) {
            if (depth >= kMaxPackageDepth)
                BugCheckTag("IAllocatorMXF::PutMessage", "package events nested too deeply",
                            kDmusPoolTag);
            for (PDMUS_KERNEL_EVENT inner = event->uData.pPackageEvt; inner != nullptr;) {
                PDMUS_KERNEL_EVENT next = inner->pNextEvt;
                PutOneLocked(inner, depth + 1);
                inner = next;
            }
        } else if (event->uData.pbData != nullptr) {
            PutBufferLocked(event->uData.pbData, "IAllocatorMXF::PutMessage");
        }
    }
    eventOut_[index] = 0;
    --eventsOut_;
    event->pNextEvt = freeEvents_;
    freeEvents_ = event;
}

STDMETHODIMP_(NTSTATUS) DmusAllocator::PutMessage(PDMUS_KERNEL_EVENT events) {
    RequireAtMostDispatch("IAllocatorMXF::PutMessage");
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    for (PDMUS_KERNEL_EVENT event = events; event != nullptr;) {
        PDMUS_KERNEL_EVENT next = event->pNextEvt;
        PutOneLocked(event, 0);
        event = next;
    }
    KeReleaseSpinLock(&lock_, irql);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(USHORT) DmusAllocator::GetBufferSize() {
    return kBufferBytes;
}

STDMETHODIMP_(NTSTATUS) DmusAllocator::GetBuffer(PBYTE* buffer) {
    if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
    RequireAtMostDispatch("IAllocatorMXF::GetBuffer");
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    PBYTE taken = nullptr;
    if (freeBufferCount_ != 0) {
        const ULONG index = freeBuffers_[--freeBufferCount_];
        bufferOut_[index] = 1;
        taken = buffers_ + SIZE_T(index) * kBufferBytes;
    } else {
        ++failed_;
    }
    KeReleaseSpinLock(&lock_, irql);
    *buffer = taken;
    return taken != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void DmusAllocator::PutBufferLocked(PBYTE buffer, const char* call) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(buffer);
    const uintptr_t first = reinterpret_cast<uintptr_t>(buffers_);
    if (at < first || at >= first + SIZE_T(kBufferBytes) * bufferCount_ ||
        (at - first) % kBufferBytes != 0)
        BugCheckTag(call, "data buffer is not one of this allocator's", kDmusPoolTag);
    const ULONG index = static_cast<ULONG>((at - first) / kBufferBytes);
    if (bufferOut_[index] == 0)
        BugCheckTag(call, "data buffer " + std::to_string(index) + " given back twice",
                    kDmusPoolTag);
    bufferOut_[index] = 0;
    freeBuffers_[freeBufferCount_++] = index;
}

STDMETHODIMP_(NTSTATUS) DmusAllocator::PutBuffer(PBYTE buffer) {
    if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
    RequireAtMostDispatch("IAllocatorMXF::PutBuffer");
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    PutBufferLocked(buffer, "IAllocatorMXF::PutBuffer");
    KeReleaseSpinLock(&lock_, irql);
    return STATUS_SUCCESS;
}

ULONG DmusAllocator::EventsOut() const {
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    const ULONG out = eventsOut_;
    KeReleaseSpinLock(&lock_, irql);
    return out;
}

ULONG DmusAllocator::BuffersOut() const {
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    const ULONG out = bufferCount_ - freeBufferCount_;
    KeReleaseSpinLock(&lock_, irql);
    return out;
}

ULONG DmusAllocator::FailedRequests() const {
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    const ULONG failed = failed_;
    KeReleaseSpinLock(&lock_, irql);
    return failed;
}

}  // namespace q407::sim::portcls
