// Stand-ins for the parties the mixer and MIDI miniports talk to: the stream link to Q407DRV (a
// dispatch routine that records every call and plays the engine's MIDI rings), and the port-class
// objects a port hands a miniport (port, allocator, master clock, sink).
//
// Every object counts its references so that a test can see that the miniports give back what
// they took. Link calls arrive from the test's thread and from the emulated processors (retry
// DPCs), so the link's books are kept under a mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/portcls/portcls.h"
#include "shared/stream_link.h"

namespace q407::testing {

// One call across the link: the function and the block's first 32 bytes as words.
struct LinkCall {
    uint32_t function;
    uint32_t words[8];
    uint64_t Word64(int index) const {
        return uint64_t(words[index]) | (uint64_t(words[index + 1]) << 32);
    }
};

class FakeLink {
  public:
    explicit FakeLink(uint32_t index = 0);

    // The record a miniport's Init takes as its adapter object.
    PUNKNOWN AdapterObject() { return reinterpret_cast<PUNKNOWN>(&record_); }
    StreamLinkInterface& Record() { return record_; }

    // MIDI OUT: the engine's ring takes `budget` more bytes, then refuses.
    void SetOutBudget(uint32_t budget);
    // MIDI OUT as the engine's ring of `capacity` bytes that the device empties one byte every
    // `ticksPerByte` of the machine's clock (instead of a budget).
    void SetOutPacing(uint32_t capacity, LONGLONG ticksPerByte);
    std::vector<uint8_t> Written();
    // MIDI IN: bytes waiting in the engine's ring.
    void QueueIn(const std::vector<uint8_t>& bytes);
    size_t InPending();

    std::vector<LinkCall> Calls();
    std::vector<LinkCall> CallsOf(uint32_t function);
    size_t CallCount();

    // What function 1 registered for port 0.
    using MidiCallback = void (*)(LONG, LONG, PVOID, LONG);
    MidiCallback RegisteredCallback();
    PVOID RegisteredContext();

  private:
    static void Dispatch(void* deviceContext, uint32_t function, void* block);
    void Handle(uint32_t function, void* block);

    StreamLinkInterface record_{};
    std::mutex mutex_;
    std::vector<LinkCall> calls_;
    uint32_t outBudget_ = 0xFFFFFFFF;
    uint32_t outCapacity_ = 0;  // pacing when non-zero
    uint32_t outQueued_ = 0;
    LONGLONG ticksPerByte_ = 0;
    ULONGLONG lastDrain_ = 0;
    std::vector<uint8_t> written_;
    std::deque<uint8_t> in_;
    uint64_t callback_ = 0;
    uint64_t context_ = 0;
};

// Reference counting of a test-owned object: AddRef/Release only count.
class CountedFake {
  public:
    LONG References() const { return references_.load(); }

  protected:
    ULONG CountAddRef() { return ULONG(++references_); }
    ULONG CountRelease() { return ULONG(--references_); }

  private:
    std::atomic<LONG> references_{0};
};

// Hands out events from its own store and takes them back, remembering what came back.
class FakeAllocator : public IAllocatorMXF, public CountedFake {
  public:
    explicit FakeAllocator(size_t events = 64);

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return CountAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return CountRelease(); }
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override;
    STDMETHODIMP_(NTSTATUS) PutMessage(PDMUS_KERNEL_EVENT events) override;
    STDMETHODIMP_(NTSTATUS) ConnectOutput(PMXF sink) override;
    STDMETHODIMP_(NTSTATUS) DisconnectOutput(PMXF sink) override;
    STDMETHODIMP_(NTSTATUS) GetMessage(PDMUS_KERNEL_EVENT* event) override;
    STDMETHODIMP_(USHORT) GetBufferSize() override;
    STDMETHODIMP_(NTSTATUS) GetBuffer(PBYTE* buffer) override;
    STDMETHODIMP_(NTSTATUS) PutBuffer(PBYTE buffer) override;

    // An event of the store with the bytes (through a pointer above 8 bytes); not yet chained.
    PDMUS_KERNEL_EVENT MakeEvent(const std::vector<uint8_t>& bytes);
    // A package event holding the chain.
    PDMUS_KERNEL_EVENT MakePackage(PDMUS_KERNEL_EVENT chain);
    // Events handed out and not given back.
    size_t Outstanding();
    // Events given back, in order, and how many times each was given back.
    std::vector<PDMUS_KERNEL_EVENT> Returned();
    void LimitAvailable(size_t count);  // at most this many more GetMessage successes

  private:
    std::mutex mutex_;
    std::vector<DMUS_KERNEL_EVENT> store_;
    std::vector<std::vector<uint8_t>> data_;  // long events' bytes, by store index
    std::vector<bool> out_;
    std::vector<PDMUS_KERNEL_EVENT> returned_;
    size_t available_ = SIZE_MAX;
};

class FakeClock : public IMasterClock, public CountedFake {
  public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return CountAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return CountRelease(); }
    STDMETHODIMP_(NTSTATUS) GetTime(REFERENCE_TIME* time) override;
    std::atomic<REFERENCE_TIME> now{1000};
};

// A capture stream's sink: records the events it receives and gives them to the allocator.
struct ReceivedEvent {
    std::vector<uint8_t> bytes;
    USHORT channelGroup;
    USHORT flags;
    REFERENCE_TIME time;
};
class FakeSink : public IMXF, public CountedFake {
  public:
    explicit FakeSink(FakeAllocator* allocator) : allocator_(allocator) {}
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return CountAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return CountRelease(); }
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override;
    STDMETHODIMP_(NTSTATUS) PutMessage(PDMUS_KERNEL_EVENT events) override;
    STDMETHODIMP_(NTSTATUS) ConnectOutput(PMXF sink) override;
    STDMETHODIMP_(NTSTATUS) DisconnectOutput(PMXF sink) override;
    std::vector<ReceivedEvent> received;
    int deliveries = 0;

  private:
    FakeAllocator* allocator_;
};

// The DirectMusic port: Notify pulls input from the capture stream, as the port's service does.
class FakeDMusPort : public IPortDMus, public CountedFake {
  public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return CountAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return CountRelease(); }
    STDMETHODIMP_(NTSTATUS)
    Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
         PRESOURCELIST resourceList) override;
    STDMETHODIMP_(NTSTATUS)
    GetDeviceProperty(DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                      PVOID propertyBuffer, PULONG resultLength) override;
    STDMETHODIMP_(NTSTATUS)
    NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN outerUnknown, ULONG registryKeyType,
                   ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                   ULONG createOptions, PULONG disposition) override;
    STDMETHODIMP_(void) Notify(PSERVICEGROUP serviceGroup) override;
    STDMETHODIMP_(void) RegisterServiceGroup(PSERVICEGROUP serviceGroup) override;

    std::atomic<int> notifications{0};
    std::atomic<int> pullStatus{0};
    PSERVICEGROUP registered = nullptr;
    PMXF captureStream = nullptr;  // pulled on Notify when set
};

// The topology port with its port-events interface.
class FakeTopologyPort : public IPortTopology, public IPortEvents, public CountedFake {
  public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return CountAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return CountRelease(); }
    STDMETHODIMP_(NTSTATUS)
    Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
         PRESOURCELIST resourceList) override;
    STDMETHODIMP_(NTSTATUS)
    GetDeviceProperty(DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                      PVOID propertyBuffer, PULONG resultLength) override;
    STDMETHODIMP_(NTSTATUS)
    NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN outerUnknown, ULONG registryKeyType,
                   ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                   ULONG createOptions, PULONG disposition) override;
    STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY eventEntry) override;
    STDMETHODIMP_(void)
    GenerateEventList(GUID* set, ULONG eventId, BOOL pinEvent, ULONG pinId, BOOL nodeEvent,
                      ULONG nodeId) override;

    bool offerEvents = true;
};

}  // namespace q407::testing
