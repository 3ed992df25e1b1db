// One streaming pin instance of a wave-PCI port: the port's side of a miniport stream
// (IPortWavePciStream), the service sink the port adds to the stream's service group, and the
// client buffer the mappings are cut from.
//
// Lifetime: the port creates a pin after the data-range intersection and the miniport's
// NewStream; the client (user mode's WavePin) holds a reference and closes it; the port closes
// every pin it still has when its subdevice goes away. After Close the miniport stream has been
// stopped, its mappings revoked and the stream released; the client's further calls fail with
// STATUS_DEVICE_REMOVED.
//
// IRQL: SetState, Close, Write, Read, Position at PASSIVE_LEVEL (the client's thread); the
// mapping calls and the service at DISPATCH_LEVEL or below.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/portcls/portcls.h"
#include "sim/host/portcls/wave_client_buffer.h"

namespace q407::sim::portcls {

struct WavePinFormat {
    ULONG rate = 48000;
    USHORT channels = 2;
    USHORT bitsPerSample = 16;
    bool extensible = false;
    ULONG channelMask = 0x3;
};

// Builds the KSDATAFORMAT_WAVEFORMATEX (with a WAVEFORMATEXTENSIBLE when asked for) that the
// pin is created with, in pool owned by the caller; *bytes is its size.
NTSTATUS BuildWaveDataFormat(const WavePinFormat& format, PKSDATAFORMAT* dataFormat, ULONG* bytes);

class WavePciPin final : public IPortWavePciStream, public IServiceSink {
  public:
    // Creates the miniport's stream for the pin. On success *pin holds one reference (the
    // caller's) and the stream is stopped.
    static NTSTATUS Create(PMINIPORTWAVEPCI miniport, ULONG pinId, bool capture,
                           const WavePinFormat& format, WavePciPin** pin);

    // IUnknown (answers IPortWavePciStream and IServiceSink)
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IPortWavePciStream
    STDMETHODIMP_(NTSTATUS)
    GetMapping(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
               PULONG byteCount, PULONG flags) override;
    STDMETHODIMP_(NTSTATUS) ReleaseMapping(PVOID tag) override;
    STDMETHODIMP_(NTSTATUS) TerminatePacket() override;
    // IServiceSink: the stream's service group asks for service.
    STDMETHODIMP_(void) RequestService() override;

    // Walks the miniport stream through every state between the current one and the target;
    // stops at the first refusal (the state reached stays).
    NTSTATUS SetState(KSSTATE target);
    KSSTATE State() const;
    size_t Write(const void* bytes, size_t count);
    size_t Read(void* bytes, size_t count);
    size_t Queued() const;
    // The miniport's position in bytes (0 when closed or when it fails).
    uint64_t Position() const;
    // Stops, revokes, releases the miniport stream. Idempotent.
    void Close();
    bool Closed() const;

    bool Capture() const { return capture_; }
    ULONG PinId() const { return pinId_; }
    const KSALLOCATOR_FRAMING& Framing() const { return framing_; }
    const WaveClientBuffer* ClientBuffer() const { return buffer_ ? &*buffer_ : nullptr; }
    uint64_t Services() const { return services_.load(); }
    // IRQL seen by the last service call.
    KIRQL LastServiceIrql() const { return lastServiceIrql_.load(); }
    PDMACHANNEL DmaChannelOfStream() const { return dmaChannel_; }

  private:
    WavePciPin(ULONG pinId, bool capture) : pinId_(pinId), capture_(capture) {}
    ~WavePciPin();
    void StopAndRevokeLocked();
    void OfferMappings();

    volatile LONG refs_ = 1;
    const ULONG pinId_;
    const bool capture_;
    PKSDATAFORMAT format_ = nullptr;  // pool, alive as long as the stream
    PMINIPORTWAVEPCISTREAM stream_ = nullptr;
    PSERVICEGROUP serviceGroup_ = nullptr;
    PDMACHANNEL dmaChannel_ = nullptr;
    KSALLOCATOR_FRAMING framing_{};
    PUCHAR storage_ = nullptr;  // the client buffer's bytes (pool)
    std::optional<WaveClientBuffer> buffer_;

    // Serialises the client's calls and Close (PASSIVE_LEVEL).
    mutable std::mutex clientMutex_;
    KSSTATE state_ = KSSTATE_STOP;
    // Guards stream_ against Close while a service or mapping offer runs (DISPATCH_LEVEL).
    mutable KSPIN_LOCK serviceLock_ = 0;
    bool closed_ = false;
    // The miniport asked for a mapping and got none: it hears of the next one.
    std::atomic<bool> starved_{false};
    std::atomic<uint64_t> services_{0};
    std::atomic<KIRQL> lastServiceIrql_{PASSIVE_LEVEL};
};

}  // namespace q407::sim::portcls
