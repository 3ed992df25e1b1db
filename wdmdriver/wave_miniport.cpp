// The wave miniport: description, intersection, initialisation, stream creation, the engine's
// notification and power changes.
#include "wdmdriver/wave_miniport.h"

#include "wdmdriver/driver_pool.h"
#include "wdmdriver/wave_data_range.h"
#include "wdmdriver/wave_format.h"
#include "wdmdriver/wave_stream.h"
#include "wdmdriver/wdm_trace.h"

namespace q407::wdm {
namespace {

// Pin-capabilities change event set; event 0 says a pin's formats changed.
constexpr GUID kPinCapsChangeSet = {
    0xDD4F192E, 0x3B78, 0x49AD, {0xA5, 0x34, 0x2C, 0x31, 0x5B, 0x82, 0x20, 0x00}};
constexpr ULONG kFormatChangeEvent = 0;
constexpr ULONG kFormatEventPins = 4;
constexpr ULONG kFormatEventNodes = 4;

constexpr LONG kAsioSlot = 2;  // the engine's ASIO client slot
constexpr ULONG kStereoMask = 0x3;

}  // namespace

NTSTATUS CreateWaveMiniport(PUNKNOWN* unknown) {
    if (unknown == nullptr) return STATUS_INVALID_PARAMETER;
    *unknown = nullptr;
    STD_CREATE_BODY_WITH_TAG_(WaveMiniport, unknown, nullptr, WdmNonPagedPool(), kWaveMiniportTag,
                              PMINIPORTWAVEPCI);
}

WaveMiniport::WaveMiniport(PUNKNOWN outer)
    : CUnknown(outer),
      m_link{nullptr, nullptr, 0},
      m_kind(WaveKind::PlaybackAndRecording),
      m_port(nullptr),
      m_portEvents(nullptr),
      m_dmaChannel(nullptr),
      m_slotLock(0),
      m_serviceGroups{},
      m_streamInUse{},
      m_speakerMask(kStereoMask),
      m_speakerChannels(2),
      m_powerState(PowerDeviceD0) {
    KeInitializeSpinLock(&m_slotLock);
}

WaveMiniport::~WaveMiniport() {
    // Streams hold a reference to the miniport, so none is left here.
    if (m_dmaChannel != nullptr) m_dmaChannel->Release();
    if (m_portEvents != nullptr) m_portEvents->Release();
    if (m_port != nullptr) m_port->Release();
}

STDMETHODIMP_(NTSTATUS) WaveMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IUnknown)) {
        *object = PVOID(PUNKNOWN(PMINIPORTWAVEPCI(this)));
    } else if (IsEqualGUID(iid, IID_IMiniport)) {
        *object = PVOID(PMINIPORT(this));
    } else if (IsEqualGUID(iid, IID_IMiniportWavePci)) {
        *object = PVOID(PMINIPORTWAVEPCI(this));
    } else if (IsEqualGUID(iid, IID_IPowerNotify)) {
        *object = PVOID(PPOWERNOTIFY(this));
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    PUNKNOWN(*object)->AddRef();
    return STATUS_SUCCESS;
}

WaveMiniport* WaveMiniport::FromInterface(PMINIPORTWAVEPCI miniport) {
    return static_cast<WaveMiniport*>(miniport);
}

STDMETHODIMP_(NTSTATUS) WaveMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description) {
    if (description == nullptr) return STATUS_INVALID_PARAMETER;
    *description = const_cast<PPCFILTER_DESCRIPTOR>(WaveFilterDescription(m_kind));
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
WaveMiniport::DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange,
                                    PKSDATARANGE matchingDataRange, ULONG outputBufferLength,
                                    PVOID resultantFormat, PULONG resultantFormatLength) {
    if (dataRange == nullptr || matchingDataRange == nullptr) return STATUS_NO_MATCH;
    LinkStreamRateBlock rate{0, 0};
    CallMiniportLink(&m_link, kLinkGetStreamRate, &rate);
    IntersectionQuery query;
    query.pin = pinId;
    query.clientRange = dataRange;
    query.clientRangeBytes = dataRange->FormatSize;
    query.ownRange = matchingDataRange;
    query.ownRangeBytes = matchingDataRange->FormatSize;
    query.deviceRate = rate.rate;
    query.multichannel = m_kind == WaveKind::Multichannel;
    return IntersectWaveRange(query, outputBufferLength, resultantFormat, resultantFormatLength);
}

STDMETHODIMP_(NTSTATUS)
WaveMiniport::Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTWAVEPCI port,
                   PSERVICEGROUP* serviceGroup) {
    UNREFERENCED_PARAMETER(resourceList);
    if (port == nullptr) return STATUS_INVALID_PARAMETER;
    if (serviceGroup != nullptr) *serviceGroup = nullptr;  // streams bring their own groups
    // The adapter hands over its link record in place of an adapter object.
    if (!NT_SUCCESS(CopyMiniportLink(unknownAdapter, &m_link))) return STATUS_INVALID_PARAMETER;
    m_kind = WaveKindOf(m_link.index);
    m_port = port;
    m_port->AddRef();
    PVOID events = nullptr;
    if (NT_SUCCESS(port->QueryInterface(IID_IPortEvents, &events)))
        m_portEvents = static_cast<PPORTEVENTS>(events);
    for (ULONG i = 0; i < kWaveStreamSlots; ++i) {
        m_serviceGroups[i] = nullptr;
        m_streamInUse[i] = FALSE;
    }
    m_speakerMask = kStereoMask;
    m_speakerChannels = 2;
    m_powerState = PowerDeviceD0;
    // Width and speed unspecified: the bus interface's DMA adapter has no hardware behind it.
    return port->NewMasterDmaChannel(&m_dmaChannel, nullptr, WdmNonPagedPool(), nullptr, TRUE, TRUE,
                                     FALSE, FALSE, MaximumDmaWidth, MaximumDmaSpeed, 0, 0);
}

STDMETHODIMP_(NTSTATUS)
WaveMiniport::NewStream(PMINIPORTWAVEPCISTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                        PPORTWAVEPCISTREAM portStream, ULONG pin, BOOLEAN capture,
                        PKSDATAFORMAT dataFormat, PDMACHANNEL* dmaChannel,
                        PSERVICEGROUP* serviceGroup) {
    UNREFERENCED_PARAMETER(poolType);  // streams are serviced at DISPATCH_LEVEL: non-paged
    if (stream == nullptr || portStream == nullptr || dataFormat == nullptr ||
        dmaChannel == nullptr || serviceGroup == nullptr)
        return STATUS_INVALID_PARAMETER;
    *stream = nullptr;
    *dmaChannel = nullptr;
    *serviceGroup = nullptr;
    const ULONG expectedPin = capture ? kWavePinRecording : kWavePinPlayback;
    if (pin != expectedPin || !WaveKindCarries(m_kind, capture)) return STATUS_INVALID_PARAMETER;
    if (m_dmaChannel == nullptr) return STATUS_INVALID_DEVICE_STATE;

    NTSTATUS status = ClaimStreamSlot(capture, pin);
    if (!NT_SUCCESS(status)) return status;
    WaveFormatFacts facts;
    status =
        ValidateWaveFormat(dataFormat, dataFormat->FormatSize, WaveKindMaxChannels(m_kind), &facts);
    if (!NT_SUCCESS(status)) {
        ReleaseStreamSlot(capture, pin);
        return STATUS_INVALID_PARAMETER;
    }
    WaveStream* created = new (WdmNonPagedPool(), kWaveStreamTag) WaveStream(outerUnknown);
    if (created == nullptr) {
        ReleaseStreamSlot(capture, pin);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    created->AddRef();
    // From here the stream owns the slot and gives it back when it goes.
    status = created->Init(this, portStream, pin, capture, dataFormat);
    if (!NT_SUCCESS(status)) {
        created->Release();
        return status;
    }
    *stream = PMINIPORTWAVEPCISTREAM(created);
    m_dmaChannel->AddRef();
    *dmaChannel = m_dmaChannel;
    *serviceGroup = created->ServiceGroup();
    (*serviceGroup)->AddRef();
    GenerateFormatChangeEvents();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) WaveMiniport::Service() {
    // Streams are serviced through their own groups.
}

STDMETHODIMP_(void) WaveMiniport::PowerChangeNotify(POWER_STATE powerState) {
    const DEVICE_POWER_STATE state = powerState.DeviceState;
    if (state == m_powerState || state < PowerDeviceD0 || state > PowerDeviceD3) return;
    m_powerState = state;
    if (state != PowerDeviceD3) return;
    // The port powers a subdevice down when the system sleeps, and also when the subdevice
    // merely sits idle. An ASIO host streaming through the same device must not be silenced by
    // an idle audio subdevice; on a system sleep the USB driver's own power path stops the
    // device anyway.
    LinkChannelsOpenBlock asioOut{kAsioSlot, 0, 0};
    LinkChannelsOpenBlock asioIn{kAsioSlot, 1, 0};
    CallMiniportLink(&m_link, kLinkQueryChannelsOpen, &asioOut);
    CallMiniportLink(&m_link, kLinkQueryChannelsOpen, &asioIn);
    if (asioOut.result != 0 || asioIn.result != 0) {
        WDM_TRACE("WaveMiniport: D3 while ASIO streams, streaming left on\n");
        return;
    }
    LinkStreamChannelsBlock stop{kLinkStopStreamingDirection, m_link.index, 0, 0};
    CallMiniportLink(&m_link, kLinkCloseStreamChannels, &stop);
}

void WaveMiniport::SetSpeakerConfiguration(ULONG mask, ULONG channels) {
    m_speakerMask = mask;
    m_speakerChannels = channels;
}

void WaveMiniport::GenerateFormatChangeEvents() {
    if (m_portEvents == nullptr) return;
    GUID set = kPinCapsChangeSet;
    for (ULONG pin = 0; pin < kFormatEventPins; ++pin)
        m_portEvents->GenerateEventList(&set, kFormatChangeEvent, TRUE, pin, FALSE, 0);
    for (ULONG node = 0; node < kFormatEventNodes; ++node)
        m_portEvents->GenerateEventList(&set, kFormatChangeEvent, FALSE, 0, TRUE, node);
}

NTSTATUS WaveMiniport::ClaimStreamSlot(BOOLEAN capture, ULONG pin) {
    if (pin >= kWavePinSlots) return STATUS_INVALID_PARAMETER;
    const ULONG slot = SlotOf(capture, pin);
    KIRQL irql;
    KeAcquireSpinLock(&m_slotLock, &irql);
    const BOOLEAN busy = m_streamInUse[slot];
    m_streamInUse[slot] = TRUE;
    KeReleaseSpinLock(&m_slotLock, irql);
    return busy ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

void WaveMiniport::ReleaseStreamSlot(BOOLEAN capture, ULONG pin) {
    if (pin >= kWavePinSlots) return;
    const ULONG slot = SlotOf(capture, pin);
    KIRQL irql;
    KeAcquireSpinLock(&m_slotLock, &irql);
    PSERVICEGROUP group = m_serviceGroups[slot];
    m_serviceGroups[slot] = nullptr;
    m_streamInUse[slot] = FALSE;
    KeReleaseSpinLock(&m_slotLock, irql);
    if (group != nullptr) group->Release();
}

void WaveMiniport::SetServiceGroup(BOOLEAN capture, ULONG pin, PSERVICEGROUP group) {
    if (pin >= kWavePinSlots) return;
    const ULONG slot = SlotOf(capture, pin);
    if (group != nullptr) group->AddRef();
    KIRQL irql;
    KeAcquireSpinLock(&m_slotLock, &irql);
    PSERVICEGROUP previous = m_serviceGroups[slot];
    m_serviceGroups[slot] = group;
    KeReleaseSpinLock(&m_slotLock, irql);
    if (previous != nullptr) previous->Release();
}

void WaveMiniport::StreamNotification(LONG direction, LONG pin, PVOID context) {
    auto* miniport = static_cast<WaveMiniport*>(context);
    if (miniport == nullptr || direction < 0 || direction > 1 || pin < 0 ||
        pin >= static_cast<LONG>(kWavePinSlots))
        return;
    const ULONG slot = SlotOf(direction != 0, static_cast<ULONG>(pin));
    KIRQL irql;
    KeAcquireSpinLock(&miniport->m_slotLock, &irql);
    PSERVICEGROUP group = miniport->m_serviceGroups[slot];
    if (group != nullptr) group->AddRef();
    KeReleaseSpinLock(&miniport->m_slotLock, irql);
    if (group == nullptr) return;
    if (miniport->m_port != nullptr) miniport->m_port->Notify(group);
    group->Release();
}

}  // namespace q407::wdm
