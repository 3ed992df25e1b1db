// The wave-PCI miniport of one wave subdevice. It describes the subdevice's filter, answers data
// range intersections at the device's current rate, and creates at most one playback and one
// recording stream (WaveStream), which move their data through the stream link. The engine's
// per-period notification reaches the miniport's notification routine, which asks the port to
// service the stream registered for that direction and pin.
//
// IRQL: everything at PASSIVE_LEVEL except the notification routine (DISPATCH_LEVEL).
#pragma once

#include "platform/portcls/portcls.h"
#include "wdmdriver/miniport_link.h"
#include "wdmdriver/wave_filter_descriptions.h"

namespace q407::wdm {

// Creates a wave miniport from the driver's non-paged pool; one counted reference to its
// unknown.
NTSTATUS CreateWaveMiniport(PUNKNOWN* unknown);

inline constexpr ULONG kWaveMiniportTag = POOL_TAG("ZwWm");
inline constexpr ULONG kWaveStreamTag = POOL_TAG("ZwWs");
// Stream slots are indexed [direction x 6 + pin].
inline constexpr ULONG kWavePinSlots = 6;
inline constexpr ULONG kWaveStreamSlots = 2 * kWavePinSlots;

class WaveMiniport : public IMiniportWavePci, public IPowerNotify, public CUnknown {
  public:
    DECLARE_STD_UNKNOWN();
    explicit WaveMiniport(PUNKNOWN outer);
    ~WaveMiniport();

    // IMiniport
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                          ULONG outputBufferLength, PVOID resultantFormat,
                          PULONG resultantFormatLength) override;
    // IMiniportWavePci
    STDMETHODIMP_(NTSTATUS)
    Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTWAVEPCI port,
         PSERVICEGROUP* serviceGroup) override;
    STDMETHODIMP_(NTSTATUS)
    NewStream(PMINIPORTWAVEPCISTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE poolType,
              PPORTWAVEPCISTREAM portStream, ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat,
              PDMACHANNEL* dmaChannel, PSERVICEGROUP* serviceGroup) override;
    STDMETHODIMP_(void) Service() override;
    // IPowerNotify
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE powerState) override;

    // The object behind its miniport interface.
    static WaveMiniport* FromInterface(PMINIPORTWAVEPCI miniport);

    // Channel configuration of the converter nodes; stored, not used by the streams.
    void SetSpeakerConfiguration(ULONG mask, ULONG channels);
    ULONG SpeakerMask() const { return m_speakerMask; }
    ULONG SpeakerChannels() const { return m_speakerChannels; }
    DEVICE_POWER_STATE PowerState() const { return m_powerState; }

    // For the streams.
    MiniportLink& Link() { return m_link; }
    ULONG SubdeviceIndex() const { return m_link.index; }
    WaveKind Kind() const { return m_kind; }
    // Pin and node format-change events through the port's event interface.
    void GenerateFormatChangeEvents();
    // A stream takes its pin's slot at creation and gives it back at its end.
    NTSTATUS ClaimStreamSlot(BOOLEAN capture, ULONG pin);
    void ReleaseStreamSlot(BOOLEAN capture, ULONG pin);
    // The service group the notification routine hands the port while the stream runs.
    void SetServiceGroup(BOOLEAN capture, ULONG pin, PSERVICEGROUP group);
    // The routine the streams register with the engine: (direction, pin, miniport).
    static void StreamNotification(LONG direction, LONG pin, PVOID context);

  private:
    static ULONG SlotOf(BOOLEAN capture, ULONG pin) { return (capture ? kWavePinSlots : 0) + pin; }

    MiniportLink m_link;
    WaveKind m_kind;
    PPORTWAVEPCI m_port;
    PPORTEVENTS m_portEvents;
    PDMACHANNEL m_dmaChannel;
    KSPIN_LOCK m_slotLock;  // guards the two slot tables against the notification routine
    PSERVICEGROUP m_serviceGroups[kWaveStreamSlots];
    BOOLEAN m_streamInUse[kWaveStreamSlots];
    ULONG m_speakerMask;
    ULONG m_speakerChannels;
    DEVICE_POWER_STATE m_powerState;
};

}  // namespace q407::wdm
