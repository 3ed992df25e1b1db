// One stream of a DirectMusic port: a render stream fed with kernel event chains through the
// miniport's IMXF::PutMessage, or a capture stream whose output is connected to a sink of ours
// that collects the events. The port pulls a capture stream's input when it is serviced
// (PutMessage with no events, as the port does).
//
// Lifetime: counted references; the client holds one and closes the pin, the port closes every
// pin it still has when its subdevice goes away. Close stops the stream, disconnects the sink and
// releases the miniport's stream.
//
// IRQL: Create, SetState, Send, Receive, Close at PASSIVE_LEVEL; PullInput at DISPATCH_LEVEL or
// below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/portcls/portcls.h"

namespace q407::sim::portcls {

class DmusAllocator;
class DmusCaptureSink;
class DmusMasterClock;

class DmusPin {
  public:
    static NTSTATUS Create(PMINIPORTDMUS miniport, ULONG pinId, bool capture,
                           const KSDATAFORMAT* format, DmusAllocator* allocator,
                           DmusMasterClock* clock, DmusPin** pin);

    void AddRef();
    void Release();

    bool Capture() const { return capture_; }
    ULONG PinId() const { return pinId_; }
    // The service group the miniport gave with the stream (null when none); not referenced.
    PSERVICEGROUP ServiceGroup() const { return serviceGroup_; }

    // Walks the stream through the states in between; stops at the first refusal.
    NTSTATUS SetState(KSSTATE target);
    KSSTATE State() const;

    // Render: the bytes as events of at most the allocator's buffer size, in order. While the
    // allocator has no event or buffer free, waits for the miniport to give some back; after a
    // while without any, STATUS_INSUFFICIENT_RESOURCES (the bytes of the chains already passed
    // on stay sent; *sent says how many). Sends from several threads at once may interleave
    // their events.
    NTSTATUS Send(const uint8_t* bytes, size_t count, size_t* sent);
    // Capture: asks the stream for its input (PutMessage(NULL)), at DISPATCH_LEVEL.
    void PullInput();
    // Capture: the bytes collected so far.
    size_t Receive(std::vector<uint8_t>* bytes);

    void Close();
    bool Closed() const;

  private:
    DmusPin(ULONG pinId, bool capture) : pinId_(pinId), capture_(capture) {}
    ~DmusPin();
    NTSTATUS SendChunks(const uint8_t* bytes, size_t count, size_t* sent);
    NTSTATUS PassOn(PDMUS_KERNEL_EVENT chain);

    volatile LONG refs_ = 1;
    const ULONG pinId_;
    const bool capture_;
    PKSDATAFORMAT format_ = nullptr;  // pool copy, alive as long as the stream
    PMXF stream_ = nullptr;
    PSERVICEGROUP serviceGroup_ = nullptr;
    DmusAllocator* allocator_ = nullptr;
    DmusMasterClock* clock_ = nullptr;
    DmusCaptureSink* sink_ = nullptr;
    std::vector<uint8_t> leftover_;  // what the sink held when the pin closed

    mutable std::mutex clientMutex_;  // SetState, Receive, Close
    KSSTATE state_ = KSSTATE_STOP;
    mutable KSPIN_LOCK streamLock_ = 0;  // stream_ against Close during PutMessage
    bool closed_ = false;
    LONG senders_ = 0;    // Send calls in progress (under streamLock_)
    KEVENT sendersDone_;  // signalled while senders_ is 0
};

}  // namespace q407::sim::portcls
