#include "sim/host/portcls/dmus_pin.h"

#include <algorithm>
#include <new>

#include "sim/host/portcls/dmus_allocator.h"
#include "sim/host/portcls/dmus_capture_sink.h"
#include "sim/host/portcls/dmus_master_clock.h"
#include "sim/host/portcls/port_pool_tags.h"
#include "sim/host/verifier.h"

namespace q407::sim::portcls {
namespace {

// A sender waits 1 ms at a time for events to come back, and gives up after this many waits in
// a row without getting one: a stream that takes nothing for that long is not draining.
constexpr int kWaitsWithoutProgress = 250;
constexpr USHORT kChannelGroup = 1;

KSSTATE StepToward(KSSTATE from, KSSTATE to) {
    return static_cast<KSSTATE>(static_cast<int>(from) + (to > from ? 1 : -1));
}

void WaitOneMillisecond() {
    LARGE_INTEGER interval;
    interval.QuadPart = -10'000;
    const NTSTATUS status = KeDelayExecutionThread(KernelMode, FALSE, &interval);
    UNREFERENCED_PARAMETER(status);  // a non-alertable delay always runs out
}

}  // namespace

NTSTATUS DmusPin::Create(PMINIPORTDMUS miniport, ULONG pinId, bool capture,
                         const KSDATAFORMAT* format, DmusAllocator* allocator,
                         DmusMasterClock* clock, DmusPin** pin) {
    RequirePassive("DmusPin::Create");
    *pin = nullptr;
    if (format == nullptr || format->FormatSize < sizeof(KSDATAFORMAT))
        return STATUS_INVALID_PARAMETER;
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(DmusPin), kDmusPoolTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* self = new (memory) DmusPin(pinId, capture);
    KeInitializeSpinLock(&self->streamLock_);
    KeInitializeEvent(&self->sendersDone_, NotificationEvent, TRUE);
    self->closed_ = true;  // until the stream exists
    allocator->AddRef();
    self->allocator_ = allocator;
    clock->AddRef();
    self->clock_ = clock;

    self->format_ = static_cast<PKSDATAFORMAT>(
        ExAllocatePoolWithTag(NonPagedPool, format->FormatSize, kDmusPoolTag));
    if (self->format_ == nullptr) {
        self->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(self->format_, format, format->FormatSize);

    ULONGLONG prefetch = 0;
    NTSTATUS status = miniport->NewStream(
        &self->stream_, nullptr, NonPagedPool, pinId,
        capture ? DMUS_STREAM_MIDI_CAPTURE : DMUS_STREAM_MIDI_RENDER, self->format_,
        &self->serviceGroup_, static_cast<PAllocatorMXF>(allocator),
        static_cast<PMASTERCLOCK>(clock), &prefetch);
    if (NT_SUCCESS(status) && self->stream_ == nullptr)
        BugCheck("IMiniportDMus::NewStream", "succeeded without giving a stream");
    if (!NT_SUCCESS(status)) {
        self->stream_ = nullptr;  // a failing miniport's out values are not ours to release
        self->serviceGroup_ = nullptr;
        self->Release();
        return status;
    }
    self->closed_ = false;
    if (capture) {
        status = DmusCaptureSink::Create(allocator, &self->sink_);
        if (NT_SUCCESS(status)) status = self->stream_->ConnectOutput(self->sink_);
        if (!NT_SUCCESS(status)) {
            self->Close();
            self->Release();
            return status;
        }
    }
    *pin = self;
    return STATUS_SUCCESS;
}

DmusPin::~DmusPin() {
    if (sink_ != nullptr) sink_->Release();
    if (serviceGroup_ != nullptr) serviceGroup_->Release();
    if (format_ != nullptr) ExFreePoolWithTag(format_, kDmusPoolTag);
    if (clock_ != nullptr) clock_->Release();
    if (allocator_ != nullptr) allocator_->Release();
}

void DmusPin::AddRef() {
    InterlockedIncrement(&refs_);
}

void DmusPin::Release() {
    if (InterlockedDecrement(&refs_) == 0) {
        this->~DmusPin();
        ExFreePoolWithTag(this, kDmusPoolTag);
    }
}

NTSTATUS DmusPin::SetState(KSSTATE target) {
    RequirePassive("DmusPin::SetState");
    if (target < KSSTATE_STOP || target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(clientMutex_);
    if (Closed()) return STATUS_DEVICE_REMOVED;
    while (state_ != target) {
        const KSSTATE next = StepToward(state_, target);
        const NTSTATUS status = stream_->SetState(next);
        if (!NT_SUCCESS(status)) return status;
        state_ = next;
    }
    return STATUS_SUCCESS;
}

KSSTATE DmusPin::State() const {
    std::lock_guard lock(clientMutex_);
    return state_;
}

// Hands a chain to the stream at DISPATCH_LEVEL, or back to the allocator once closed.
NTSTATUS DmusPin::PassOn(PDMUS_KERNEL_EVENT chain) {
    KIRQL old;
    KeAcquireSpinLock(&streamLock_, &old);
    NTSTATUS status = STATUS_DEVICE_REMOVED;
    if (!closed_) status = stream_->PutMessage(chain);
    KeReleaseSpinLock(&streamLock_, old);
    // A refused chain is still ours to give back.
    if (!NT_SUCCESS(status)) allocator_->PutMessage(chain);
    return status;
}

NTSTATUS DmusPin::Send(const uint8_t* bytes, size_t count, size_t* sent) {
    RequirePassive("DmusPin::Send");
    size_t sentLocal = 0;
    if (sent == nullptr) sent = &sentLocal;
    *sent = 0;
    if (capture_) return STATUS_INVALID_DEVICE_REQUEST;
    if (bytes == nullptr && count != 0) return STATUS_INVALID_PARAMETER;
    // No lock is held while a sender waits for events: Close, which may come from the device's
    // removal, must be able to end the wait. It waits for the senders instead.
    {
        KIRQL old;
        KeAcquireSpinLock(&streamLock_, &old);
        const bool closed = closed_;
        if (!closed && senders_++ == 0) KeClearEvent(&sendersDone_);
        KeReleaseSpinLock(&streamLock_, old);
        if (closed) return STATUS_DEVICE_REMOVED;
    }
    const NTSTATUS status = SendChunks(bytes, count, sent);
    KIRQL old;
    KeAcquireSpinLock(&streamLock_, &old);
    if (--senders_ == 0) KeSetEvent(&sendersDone_, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&streamLock_, old);
    return status;
}

NTSTATUS DmusPin::SendChunks(const uint8_t* bytes, size_t count, size_t* sent) {
    const size_t chunkBytes = allocator_->GetBufferSize();
    PDMUS_KERNEL_EVENT head = nullptr;
    PDMUS_KERNEL_EVENT tail = nullptr;
    size_t chained = 0;  // bytes in the chain being built
    size_t done = 0;     // bytes passed on
    int idleWaits = 0;
    while (done + chained < count) {
        const size_t piece = std::min(chunkBytes, count - done - chained);
        PDMUS_KERNEL_EVENT event = nullptr;
        PBYTE data = nullptr;
        bool got = NT_SUCCESS(allocator_->GetMessage(&event));
        if (got && piece > sizeof(PBYTE)) {
            got = NT_SUCCESS(allocator_->GetBuffer(&data));
            if (!got) allocator_->PutMessage(event);
        }
        if (!got) {
            // Let what is chained go, so the stream can give events back, then wait for them.
            if (head != nullptr) {
                const NTSTATUS status = PassOn(head);
                head = tail = nullptr;
                if (!NT_SUCCESS(status)) return status;
                done += chained;
                *sent = done;
                chained = 0;
            }
            if (++idleWaits > kWaitsWithoutProgress) return STATUS_INSUFFICIENT_RESOURCES;
            if (Closed()) return STATUS_DEVICE_REMOVED;
            WaitOneMillisecond();
            continue;
        }
        idleWaits = 0;
        REFERENCE_TIME now = 0;
        clock_->GetTime(&now);
        event->cbEvent = static_cast<USHORT>(piece);
        event->usChannelGroup = kChannelGroup;
        event->ullPresTime100ns = now;
        const uint8_t* from = bytes + done + chained;
        if (data != nullptr) {
            RtlCopyMemory(data, from, piece);
            event->uData.pbData = data;
        } else {
            RtlCopyMemory(event->uData.abData, from, piece);
        }
        if (tail == nullptr)
            head = event;
        else
            tail->pNextEvt = event;
        tail = event;
        chained += piece;
    }
    if (head != nullptr) {
        const NTSTATUS status = PassOn(head);
        if (!NT_SUCCESS(status)) return status;
        done += chained;
    }
    *sent = done;
    return STATUS_SUCCESS;
}

void DmusPin::PullInput() {
    if (!capture_) return;
    RequireAtMostDispatch("DmusPin::PullInput");
    KIRQL old;
    KeAcquireSpinLock(&streamLock_, &old);
    if (!closed_) {
        const NTSTATUS status = stream_->PutMessage(nullptr);
        // Out of events: the input stays buffered in the miniport for the next service.
        UNREFERENCED_PARAMETER(status);
    }
    KeReleaseSpinLock(&streamLock_, old);
}

size_t DmusPin::Receive(std::vector<uint8_t>* bytes) {
    if (!capture_ || bytes == nullptr) return 0;
    std::lock_guard lock(clientMutex_);
    if (sink_ != nullptr) return sink_->Take(bytes);
    const size_t count = leftover_.size();
    bytes->insert(bytes->end(), leftover_.begin(), leftover_.end());
    leftover_.clear();
    return count;
}

void DmusPin::Close() {
    RequirePassive("DmusPin::Close");
    KIRQL old;
    KeAcquireSpinLock(&streamLock_, &old);
    const bool wasClosed = closed_;
    closed_ = true;  // senders stop here; the stream takes no more events
    KeReleaseSpinLock(&streamLock_, old);
    if (wasClosed) return;
    // An emulated wait, so that a sender waiting for events in virtual time can see the close.
    const NTSTATUS waited =
        KeWaitForSingleObject(&sendersDone_, Executive, KernelMode, FALSE, nullptr);
    UNREFERENCED_PARAMETER(waited);  // no time-out: senders end within a millisecond
    std::lock_guard lock(clientMutex_);
    while (state_ != KSSTATE_STOP) {
        const KSSTATE next = StepToward(state_, KSSTATE_STOP);
        const NTSTATUS status = stream_->SetState(next);
        UNREFERENCED_PARAMETER(status);  // closing cannot be refused
        state_ = next;
    }
    if (sink_ != nullptr) {
        const NTSTATUS status = stream_->DisconnectOutput(sink_);
        UNREFERENCED_PARAMETER(status);  // the stream goes away next either way
    }
    PMXF stream = stream_;
    stream_ = nullptr;
    stream->Release();
    // Nothing of the port's stays with a closed pin: the client may hold it past the device.
    // What the sink collected stays readable.
    if (sink_ != nullptr) {
        sink_->Take(&leftover_);
        sink_->Release();
        sink_ = nullptr;
    }
    if (serviceGroup_ != nullptr) serviceGroup_->Release();
    serviceGroup_ = nullptr;
    clock_->Release();
    clock_ = nullptr;
    allocator_->Release();
    allocator_ = nullptr;
}

bool DmusPin::Closed() const {
    KIRQL old;
    KeAcquireSpinLock(&streamLock_, &old);
    const bool closed = closed_;
    KeReleaseSpinLock(&streamLock_, old);
    return closed;
}

}  // namespace q407::sim::portcls
