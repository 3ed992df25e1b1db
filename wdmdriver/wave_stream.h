// One playback or recording stream of a wave subdevice.
//
// Data flow. Playback: the port hands out the client's data as mappings; the stream converts
// them into 32-bit samples in its render ring, which the engine reads (registered with link
// function 22) and mixes into the device's outputs. Recording: the engine writes each period of
// input into the stream's staging buffer (link function 2) and notifies; the stream moves the
// period into its capture ring and drains the ring into mappings, converting to the client's
// width. The engine's per-period notification, through the miniport and the port's service group,
// calls Service, which does all of this: no timer of its own.
//
// Locking. Service and MappingAvailable run at DISPATCH_LEVEL, possibly side by side on two
// processors; set-state and set-format at PASSIVE_LEVEL. The stream's spin lock guards the WDM end
// of the rings, the mapping held and the counters; it is dropped around calls into the port stream.
// Work at DISPATCH_LEVEL is counted, and a stop waits for it to end before the storage goes.
#pragma once

#include "platform/portcls/portcls.h"
#include "usbdriver/engine/ring_buffer.h"
#include "wdmdriver/wave_format.h"

namespace q407::wdm {

class WaveMiniport;

inline constexpr int32_t kStreamRingElements = 16384;
inline constexpr ULONG kStreamRingBytes = kStreamRingElements * 4;
inline constexpr ULONG kStagingFrames = 1024;
inline constexpr ULONG kMaxLatencyFrames = 1024;
inline constexpr ULONG kStreamStorageTag = POOL_TAG("ZwRb");
// Frames per engine transfer until the engine has been seen taking any: its largest transfer (5
// units of 20 frames), so that the first refills never stop short of what one transfer needs.
inline constexpr ULONG kDefaultTransferFrames = 100;

class WaveStream : public IMiniportWavePciStream, public CUnknown {
  public:
    DECLARE_STD_UNKNOWN();
    explicit WaveStream(PUNKNOWN outer);
    ~WaveStream();

    // Takes the slot the miniport claimed for (capture, pin) and gives it back when it goes.
    NTSTATUS Init(WaveMiniport* miniport, PPORTWAVEPCISTREAM portStream, ULONG pin, BOOLEAN capture,
                  PKSDATAFORMAT dataFormat);
    PSERVICEGROUP ServiceGroup() const { return m_serviceGroup; }

    // IMiniportWavePciStream
    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT dataFormat) override;
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override;
    STDMETHODIMP_(NTSTATUS) GetPosition(PULONGLONG position) override;
    STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG physicalPosition) override;
    STDMETHODIMP_(NTSTATUS) GetAllocatorFraming(PKSALLOCATOR_FRAMING framing) override;
    STDMETHODIMP_(NTSTATUS)
    RevokeMappings(PVOID firstTag, PVOID lastTag, PULONG mappingsRevoked) override;
    STDMETHODIMP_(void) MappingAvailable() override;
    STDMETHODIMP_(void) Service() override;

    // What the stream runs with.
    ULONG SampleRate() const { return m_rate; }
    ULONG Channels() const { return m_channels; }
    ULONG BytesPerSample() const { return m_bytesPerSample; }
    ULONG Latency() const { return m_latency; }
    ULONG DroppedPeriods() const { return m_droppedPeriods; }

  private:
    void StoreFormat(const WaveFormatFacts& facts);
    NTSTATUS Run();
    void Pause();
    void Stop();
    NTSTATUS Register();
    void Unregister();
    void StartChannels();
    void StopChannels();
    void WaitForWorkToEnd();
    BOOLEAN EnterWork();
    void LeaveWork();
    void ResetCounters();
    void ReleaseHeldMapping();
    BOOLEAN HoldMapping();
    void FillRender(LONG threshold);
    void DrainCapture();
    BOOLEAN FillFromMappingLocked();
    BOOLEAN DrainIntoMappingLocked();
    void ServicePlayback();
    void ServiceRecording();
    ULONG MostChannels() const;

    WaveMiniport* m_miniport;
    PPORTWAVEPCISTREAM m_portStream;
    PSERVICEGROUP m_serviceGroup;
    BOOLEAN m_ownsSlot;

    KSPIN_LOCK m_lock;
    RingBuffer m_captureRing;
    RingBuffer m_renderRing;
    PUCHAR m_ringStorage;
    LONG* m_staging;
    volatile LONG m_running;
    BOOLEAN m_registered;
    LONG m_activeWork;  // DISPATCH_LEVEL calls inside the stream

    ULONGLONG m_position;  // client bytes moved since the last stop
    PUCHAR m_mappingAddress;
    ULONG m_mappingBytesLeft;
    BOOLEAN m_haveMapping;
    BOOLEAN m_fetching;   // a GetMapping call is on its way
    ULONG_PTR m_nextTag;  // the held mapping's tag, or the next one to ask for
    UCHAR m_carry[4];     // a sample split across two mappings
    ULONG m_carryBytes;   // playback: bytes gathered; recording: bytes still to write
    ULONG m_carryOffset;  // recording: next byte of m_carry to write

    ULONGLONG m_serviceCount;
    ULONGLONG m_serviceMicroseconds;
    ULONGLONG m_serviceInterruptTime;
    ULONGLONG m_elementsWritten;  // playback: into the render ring since the last flush
    ULONGLONG m_elementsTaken;    // playback: taken by the engine, as last seen
    ULONG m_transferFrames;       // playback: frames the engine takes per transfer
    ULONG m_droppedPeriods;       // recording: periods the capture ring had no room for

    ULONG m_rate;
    ULONG m_channels;
    ULONG m_bytesPerSample;
    ULONG m_bitsPerSample;
    ULONG m_blockBytesPerSecond;
    ULONG m_pin;
    BOOLEAN m_capture;
    ULONG m_group;
    ULONG m_latency;
    ULONG m_ringPeriodBytes;
    ULONG m_clientPeriodBytes;
    ULONG m_stagingBytes;
};

}  // namespace q407::wdm
