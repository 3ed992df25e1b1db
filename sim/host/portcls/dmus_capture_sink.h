// The sink the DirectMusic port connects to a capture stream's output: it collects the bytes of
// every event chain the stream passes on, with the events' presentation times, and gives the
// events back to the allocator. The user-mode MIDI port takes the bytes from here.
//
// PutMessage runs at DISPATCH_LEVEL in the port's service; Take at PASSIVE_LEVEL.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/portcls/portcls.h"

namespace q407::sim::portcls {

class DmusCaptureSink final : public IMXF {
  public:
    // One counted reference in *sink; the sink keeps a reference to the allocator.
    static NTSTATUS Create(PAllocatorMXF allocator, DmusCaptureSink** sink);

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override;
    STDMETHODIMP_(NTSTATUS) PutMessage(PDMUS_KERNEL_EVENT events) override;
    STDMETHODIMP_(NTSTATUS) ConnectOutput(PMXF sink) override;
    STDMETHODIMP_(NTSTATUS) DisconnectOutput(PMXF sink) override;

    // Appends what arrived since the last call; the count appended.
    size_t Take(std::vector<uint8_t>* bytes);
    uint64_t Events() const;
    // Presentation time of the last event received (0 before any).
    int64_t LastPresentationTime() const;
    // Events whose data could not be read (a long event without data, or longer than the
    // allocator's buffers): counted, not delivered.
    uint64_t Malformed() const;

  private:
    explicit DmusCaptureSink(PAllocatorMXF allocator) : allocator_(allocator) {}
    ~DmusCaptureSink();
    void Collect(PDMUS_KERNEL_EVENT event, int depth);

    volatile LONG refs_ = 1;
    PAllocatorMXF allocator_;
    mutable std::mutex mutex_;
    std::vector<uint8_t> bytes_;
    uint64_t events_ = 0;
    uint64_t malformed_ = 0;
    int64_t lastTime_ = 0;
};

}  // namespace q407::sim::portcls
