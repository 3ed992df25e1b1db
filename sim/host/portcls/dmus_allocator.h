// The DirectMusic port's event allocator (IAllocatorMXF): kernel events from a fixed pool, and
// data buffers from a second pool for events longer than the eight bytes an event holds inline.
// Streams take events with GetMessage and give chains back with PutMessage; a chain's package
// events and data buffers go back with it.
//
// Any IRQL up to DISPATCH_LEVEL. An event or buffer that is not the allocator's, or that is given
// back twice, is a verifier stop.
#pragma once

#include "platform/portcls/portcls.h"

namespace q407::sim::portcls {

class DmusAllocator final : public IAllocatorMXF {
  public:
    static constexpr ULONG kEvents = 512;
    static constexpr USHORT kBufferBytes = 256;
    static constexpr ULONG kBuffers = 128;

    // One counted reference in *allocator; STATUS_INSUFFICIENT_RESOURCES when the pool fails.
    static NTSTATUS Create(ULONG events, ULONG buffers, DmusAllocator** allocator);

    // IUnknown
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IMXF: the allocator is also the sink of last resort, taking events back.
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override;
    STDMETHODIMP_(NTSTATUS) PutMessage(PDMUS_KERNEL_EVENT events) override;
    STDMETHODIMP_(NTSTATUS) ConnectOutput(PMXF sink) override;
    STDMETHODIMP_(NTSTATUS) DisconnectOutput(PMXF sink) override;
    // IAllocatorMXF
    STDMETHODIMP_(NTSTATUS) GetMessage(PDMUS_KERNEL_EVENT* event) override;
    STDMETHODIMP_(USHORT) GetBufferSize() override;
    STDMETHODIMP_(NTSTATUS) GetBuffer(PBYTE* buffer) override;
    STDMETHODIMP_(NTSTATUS) PutBuffer(PBYTE buffer) override;

    ULONG EventsOut() const;   // events handed out and not given back
    ULONG BuffersOut() const;  // data buffers handed out and not given back
    ULONG FailedRequests() const;

  private:
    DmusAllocator() = default;
    ~DmusAllocator();
    void PutOneLocked(PDMUS_KERNEL_EVENT event, int depth);
    void PutBufferLocked(PBYTE buffer, const char* call);

    volatile LONG refs_ = 1;
    mutable KSPIN_LOCK lock_ = 0;
    ULONG eventCount_ = 0;
    ULONG bufferCount_ = 0;
    DMUS_KERNEL_EVENT* events_ = nullptr;  // pool block of eventCount_ events
    PBYTE buffers_ = nullptr;              // pool block of bufferCount_ buffers
    PUCHAR eventOut_ = nullptr;            // 1 per event handed out
    PUCHAR bufferOut_ = nullptr;           // 1 per buffer handed out
    PDMUS_KERNEL_EVENT freeEvents_ = nullptr;
    ULONG freeBufferCount_ = 0;
    PULONG freeBuffers_ = nullptr;  // stack of free buffer indexes
    ULONG eventsOut_ = 0;
    ULONG failed_ = 0;
};

}  // namespace q407::sim::portcls
