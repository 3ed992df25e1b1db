// Stand-ins for what surrounds a wave miniport: the USB driver's end of the stream link (with a
// small engine that takes and gives samples the way the real one does), and a wave-PCI port with
// its port stream, DMA channel and port events, all counting what they are asked.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "platform/portcls/portcls.h"
#include "shared/stream_link.h"
#include "usbdriver/engine/ring_buffer.h"

namespace q407::testing {

// Service groups made by PcNewServiceGroup and not yet released.
int LiveServiceGroups();

// One dispatch call: the function and the first 32 bytes of its block.
struct LinkCall {
    uint32_t function;
    uint32_t words[8];
};

class FakeLink {
  public:
    using StreamCallback = void (*)(LONG direction, LONG code, PVOID context);

    // A record as the USB driver's child fills it, index = the subdevice number.
    StreamLinkInterface Record(uint32_t index);

    // Answers.
    uint32_t deviceRate = 48000;  // 0: no device rate, the default is answered
    uint32_t latency = 256;
    int32_t formatResult = 0;
    std::set<std::pair<int32_t, int32_t>> openChannels;  // (slot, direction) reported open

    // What the stream registered.
    RingBuffer* ring = nullptr;
    int32_t* staging = nullptr;
    uint32_t stagingCount = 0;
    uint32_t stagingPeriodBytes = 0;
    uint32_t stagingStride = 0;
    StreamCallback callback = nullptr;
    PVOID callbackContext = nullptr;
    uint32_t callbackDirection = 0;
    uint32_t callbackSubdevice = 0;
    uint32_t callbackPin = 0;
    int openGroups = 0;      // function 3 calls minus function 4 calls
    int streamingStops = 0;  // function 4 with direction 4
    uint32_t lastSetRate = 0;

    std::vector<LinkCall> Calls() const;
    std::vector<uint32_t> Functions() const;
    size_t CountOf(uint32_t function) const;
    void ClearCalls();

    // The engine's side of a period: takes frames from the render ring (all or nothing, as the
    // engine does), or writes frames of the given samples into the staging buffer; then notifies.
    // Returns the samples taken from the ring.
    std::vector<int32_t> TakePlaybackPeriod(uint32_t frames);
    void DeliverCapturePeriod(const std::vector<int32_t>& interleaved);
    void Notify(LONG direction);

  private:
    static void Dispatch(void* context, uint32_t function, void* block);
    void Handle(uint32_t function, void* block);

    mutable std::mutex mutex_;
    std::vector<LinkCall> calls_;
};

// A client buffer handed out as mappings of the given sizes (the last size repeats).
class FakePortStream : public IPortWavePciStream {
  public:
    FakePortStream(std::vector<uint8_t> data, std::vector<ULONG> mappingSizes);

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP_(NTSTATUS)
    GetMapping(PVOID tag, PPHYSICAL_ADDRESS physical, PVOID* address, PULONG bytes,
               PULONG flags) override;
    STDMETHODIMP_(NTSTATUS) ReleaseMapping(PVOID tag) override;
    STDMETHODIMP_(NTSTATUS) TerminatePacket() override;

    std::vector<uint8_t>& Data() { return data_; }
    size_t HandedOut() const { return offset_; }
    std::vector<ULONG_PTR> ReleasedTags() const;
    size_t Outstanding() const;
    int BadReleases() const { return badReleases_; }
    int DuplicateTags() const { return duplicateTags_; }
    // A mapping the port takes back itself, as after a revoke.
    void Forget(ULONG_PTR tag);
    LONG References() const { return references_; }

  private:
    mutable std::mutex mutex_;
    std::vector<uint8_t> data_;
    std::vector<ULONG> sizes_;
    size_t next_ = 0;
    size_t offset_ = 0;
    std::set<ULONG_PTR> outstanding_;
    std::vector<ULONG_PTR> released_;
    int badReleases_ = 0;
    int duplicateTags_ = 0;
    LONG references_ = 1;
};

class FakeDmaChannel : public IDmaChannel {
  public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG size, PPHYSICAL_ADDRESS constraint) override;
    STDMETHODIMP_(void) FreeBuffer() override {}
    STDMETHODIMP_(ULONG) TransferCount() override { return 0; }
    STDMETHODIMP_(ULONG) MaximumBufferSize() override { return 0; }
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override { return 0; }
    STDMETHODIMP_(ULONG) BufferSize() override { return 0; }
    STDMETHODIMP_(void) SetBufferSize(ULONG size) override { (void)size; }
    STDMETHODIMP_(PVOID) SystemAddress() override { return nullptr; }
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override;
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override { return nullptr; }
    STDMETHODIMP_(void) CopyTo(PVOID destination, PVOID source, ULONG count) override;
    STDMETHODIMP_(void) CopyFrom(PVOID destination, PVOID source, ULONG count) override;
    LONG References() const { return references_; }

  private:
    LONG references_ = 1;
};

class FakePort;

class FakePortEvents : public IPortEvents {
  public:
    explicit FakePortEvents(FakePort* port) : port_(port) {}
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY entry) override { (void)entry; }
    STDMETHODIMP_(void)
    GenerateEventList(GUID* set, ULONG eventId, BOOL pinEvent, ULONG pinId, BOOL nodeEvent,
                      ULONG nodeId) override;

  private:
    FakePort* port_;
};

class FakePort : public IPortWavePci {
  public:
    FakePort() : events_(this) {}
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP_(NTSTATUS)
    Init(PDEVICE_OBJECT device, PIRP irp, PUNKNOWN miniport, PUNKNOWN adapter,
         PRESOURCELIST resources) override;
    STDMETHODIMP_(NTSTATUS)
    GetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                      PULONG result) override;
    STDMETHODIMP_(NTSTATUS)
    NewRegistryKey(PREGISTRYKEY* key, PUNKNOWN outer, ULONG type, ACCESS_MASK access,
                   POBJECT_ATTRIBUTES attributes, ULONG options, PULONG disposition) override;
    STDMETHODIMP_(void) Notify(PSERVICEGROUP group) override;
    STDMETHODIMP_(NTSTATUS)
    NewMasterDmaChannel(PDMACHANNEL* channel, PUNKNOWN outer, POOL_TYPE pool,
                        PRESOURCELIST resources, BOOLEAN scatterGather, BOOLEAN dma32,
                        BOOLEAN dma64, BOOLEAN ignoreCount, DMA_WIDTH width, DMA_SPEED speed,
                        ULONG maximumLength, ULONG dmaPort) override;

    bool offerEvents = true;
    NTSTATUS dmaStatus = STATUS_SUCCESS;
    FakeDmaChannel dma;
    std::vector<PSERVICEGROUP> notified;
    int pinEvents = 0;
    int nodeEvents = 0;
    LONG References() const { return references_; }
    LONG eventReferences = 0;

  private:
    FakePortEvents events_;
    LONG references_ = 1;
};

}  // namespace q407::testing
