#include "tests/sim/host/portcls/fake_adapter_driver.h"

#include <mutex>

namespace q407::testing {
namespace {

FakeAdapterKnobs g_knobs;
FakeAdapterLog g_log;
std::mutex g_logMutex;
LONG g_muted[4] = {0, 0, 0, 0};

// --- Descriptions -------------------------------------------------------------------------------

const KSDATARANGE_AUDIO kPcmRange = {
    {sizeof(KSDATARANGE_AUDIO), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO),
     STATICGUIDOF(KSDATAFORMAT_SUBTYPE_PCM), STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)},
    2,
    16,
    32,
    44100,
    96000};
const KSDATARANGE kAnalogRange = {sizeof(KSDATARANGE),
                                  0,
                                  0,
                                  0,
                                  STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO),
                                  STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG),
                                  STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)};
const PKSDATARANGE kPcmRanges[] = {PKSDATARANGE(&kPcmRange)};
const PKSDATARANGE kAnalogRanges[] = {PKSDATARANGE(&kAnalogRange)};

constexpr PCPIN_DESCRIPTOR Pin(ULONG instances, const PKSDATARANGE* ranges, KSPIN_DATAFLOW flow,
                               KSPIN_COMMUNICATION communication, const GUID* category) {
    return {instances,
            instances,
            0,
            nullptr,
            {0, nullptr, 0, nullptr, 1, ranges, flow, communication, category, nullptr, {0}}};
}

// Wave: 0 render sink, 1 bridge out to the mixer, 2 capture source, 3 bridge in from the mixer.
const PCPIN_DESCRIPTOR kWavePins[] = {
    Pin(1, kPcmRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO),
    Pin(0, kAnalogRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BRIDGE, &KSCATEGORY_AUDIO),
    Pin(1, kPcmRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO),
    Pin(0, kAnalogRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BRIDGE, &KSCATEGORY_AUDIO)};
const PCNODE_DESCRIPTOR kWaveNodes[] = {{0, nullptr, &KSNODETYPE_DAC, nullptr},
                                        {0, nullptr, &KSNODETYPE_ADC, nullptr}};
const PCCONNECTION_DESCRIPTOR kWaveConnections[] = {{PCFILTER_NODE, 0, 0, 1},
                                                    {0, 0, PCFILTER_NODE, 1},
                                                    {PCFILTER_NODE, 3, 1, 1},
                                                    {1, 0, PCFILTER_NODE, 2}};
const PCFILTER_DESCRIPTOR kWaveFilter = {0,
                                         nullptr,
                                         sizeof(PCPIN_DESCRIPTOR),
                                         SIZEOF_ARRAY(kWavePins),
                                         kWavePins,
                                         sizeof(PCNODE_DESCRIPTOR),
                                         SIZEOF_ARRAY(kWaveNodes),
                                         kWaveNodes,
                                         SIZEOF_ARRAY(kWaveConnections),
                                         kWaveConnections,
                                         0,
                                         nullptr};

NTSTATUS MuteHandler(PPCPROPERTY_REQUEST request);
NTSTATUS ComponentHandler(PPCPROPERTY_REQUEST request);

// Node 1's item answers basic support itself; node 3's leaves it to the port.
const PCPROPERTY_ITEM kMuteOwnSupport[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     MuteHandler}};
const PCPROPERTY_ITEM kMutePortSupport[] = {{&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
                                             PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET,
                                             MuteHandler}};
const PCPROPERTY_ITEM kFilterItems[] = {{&KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID,
                                         PCPROPERTY_ITEM_FLAG_GET, ComponentHandler}};
DEFINE_PCAUTOMATION_TABLE_PROP(kMuteOwnTable, kMuteOwnSupport);
DEFINE_PCAUTOMATION_TABLE_PROP(kMutePortTable, kMutePortSupport);
DEFINE_PCAUTOMATION_TABLE_PROP(kFilterTable, kFilterItems);

// Mixer: 0 from the wave filter, 1 line-out, 2 line-in, 3 to the wave filter.
const PCPIN_DESCRIPTOR kMixerPins[] = {
    Pin(0, kAnalogRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE,
        &KSNODETYPE_LEGACY_AUDIO_CONNECTOR),
    Pin(0, kAnalogRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSNODETYPE_SPEAKER),
    Pin(0, kAnalogRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSNODETYPE_LINE_CONNECTOR),
    Pin(0, kAnalogRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE,
        &KSNODETYPE_LEGACY_AUDIO_CONNECTOR)};
// A node table with a larger stride than the record, as descriptions may have.
struct WideNode {
    PCNODE_DESCRIPTOR node;
    ULONG extra;
};
const WideNode kMixerNodes[] = {{{0, nullptr, &KSNODETYPE_VOLUME, &KSAUDFNAME_WAVE_VOLUME}, 0},
                                {{0, &kMuteOwnTable, &KSNODETYPE_MUTE, &KSAUDFNAME_WAVE_MUTE}, 0},
                                {{0, nullptr, &KSNODETYPE_VOLUME, &KSAUDFNAME_WAVE_VOLUME}, 0},
                                {{0, &kMutePortTable, &KSNODETYPE_MUTE, &KSAUDFNAME_WAVE_MUTE}, 0}};
const PCCONNECTION_DESCRIPTOR kMixerConnections[] = {
    {PCFILTER_NODE, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, PCFILTER_NODE, 1},
    {PCFILTER_NODE, 2, 2, 1}, {2, 0, 3, 1}, {3, 0, PCFILTER_NODE, 3}};
const PCFILTER_DESCRIPTOR kMixerFilter = {0,
                                          &kFilterTable,
                                          sizeof(PCPIN_DESCRIPTOR),
                                          SIZEOF_ARRAY(kMixerPins),
                                          kMixerPins,
                                          sizeof(WideNode),
                                          SIZEOF_ARRAY(kMixerNodes),
                                          &kMixerNodes[0].node,
                                          SIZEOF_ARRAY(kMixerConnections),
                                          kMixerConnections,
                                          0,
                                          nullptr};

// --- Miniports ----------------------------------------------------------------------------------

// What both fake miniports share: the standard unknown, power notification, the description.
template <class MiniportInterface>
class FakeMiniport : public MiniportInterface, public IPowerNotify, public CUnknown {
  public:
    DECLARE_STD_UNKNOWN();
    FakeMiniport(PUNKNOWN outer, const PCFILTER_DESCRIPTOR* filter, const IID& iid,
                 std::vector<DEVICE_POWER_STATE>* power)
        : CUnknown(outer), filter_(filter), iid_(iid), power_(power) {
        ++g_log.liveMiniports;
    }
    ~FakeMiniport() override {
        if (port_ != nullptr) port_->Release();
        --g_log.liveMiniports;
    }

    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override {
        *description = const_cast<PPCFILTER_DESCRIPTOR>(filter_);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE state) override {
        std::lock_guard lock(g_logMutex);
        power_->push_back(state.DeviceState);
    }

  protected:
    // Keeps the port, as miniports do: the port-class driver breaks the cycle at the end.
    void KeepPort(PUNKNOWN port) {
        port_ = port;
        port_->AddRef();
    }

  private:
    const PCFILTER_DESCRIPTOR* filter_;
    const IID& iid_;
    std::vector<DEVICE_POWER_STATE>* power_;
    PUNKNOWN port_ = nullptr;

  public:
    using Interface = MiniportInterface;
};

template <class MiniportInterface>
STDMETHODIMP_(NTSTATUS)
FakeMiniport<MiniportInterface>::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown)) {
        *object = PVOID(PUNKNOWN(static_cast<MiniportInterface*>(this)));
    } else if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, iid_)) {
        *object = PVOID(static_cast<MiniportInterface*>(this));
    } else if (IsEqualGUID(iid, IID_IPowerNotify)) {
        *object = PVOID(static_cast<IPowerNotify*>(this));
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    PUNKNOWN(*object)->AddRef();
    return STATUS_SUCCESS;
}

class FakeWaveMiniport : public FakeMiniport<IMiniportWaveCyclic> {
  public:
    explicit FakeWaveMiniport(PUNKNOWN outer)
        : FakeMiniport(outer, &kWaveFilter, IID_IMiniportWaveCyclic, &g_log.wavePower) {}
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST resources, PPORTWAVECYCLIC port) override {
        if (resources == nullptr || resources->NumberOfEntries() != 0)
            return STATUS_INVALID_PARAMETER;
        KeepPort(port);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN, PKSDATAFORMAT,
              PDMACHANNEL*, PSERVICEGROUP*) override {
        *stream = nullptr;
        return STATUS_NOT_SUPPORTED;
    }
};

class FakeMixerMiniport : public FakeMiniport<IMiniportTopology> {
  public:
    explicit FakeMixerMiniport(PUNKNOWN outer)
        : FakeMiniport(outer, &kMixerFilter, IID_IMiniportTopology, &g_log.mixerPower) {}
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY port) override {
        if (!NT_SUCCESS(g_knobs.mixerInitStatus)) return g_knobs.mixerInitStatus;
        KeepPort(port);
        return STATUS_SUCCESS;
    }
};

template <class Miniport>
NTSTATUS CreateMiniport(PUNKNOWN* unknown) {
    STD_CREATE_BODY_WITH_TAG_(Miniport, unknown, nullptr, NonPagedPoolNx, kFakeMiniportTag,
                              typename Miniport::Interface*);
}

// --- Property handlers --------------------------------------------------------------------------

NTSTATUS MuteHandler(PPCPROPERTY_REQUEST request) {
    {
        std::lock_guard lock(g_logMutex);
        g_log.lastInstanceSize = request->InstanceSize;
        g_log.lastValueSize = request->ValueSize;
        g_log.lastNode = request->Node;
        g_log.lastVerb = request->Verb;
        g_log.lastHandlerIrql = KeGetCurrentIrql();
        PVOID miniport = nullptr;
        g_log.lastMajorTargetIsMiniport =
            request->MajorTarget != nullptr &&
            NT_SUCCESS(request->MajorTarget->QueryInterface(IID_IMiniportTopology, &miniport));
        if (miniport != nullptr) static_cast<PUNKNOWN>(miniport)->Release();
    }
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        // Only the access flags: a description of its own is the port's business elsewhere.
        if (request->ValueSize < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
        *static_cast<PULONG>(request->Value) =
            KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
        request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    if (request->InstanceSize < sizeof(LONG) || *static_cast<PLONG>(request->Instance) != 0 ||
        request->ValueSize < sizeof(BOOL) || request->Node >= 4)
        return STATUS_INVALID_PARAMETER;
    if (request->Verb & KSPROPERTY_TYPE_GET) {
        *static_cast<BOOL*>(request->Value) = g_muted[request->Node];
    } else {
        g_muted[request->Node] = *static_cast<BOOL*>(request->Value) != 0 ? 1 : 0;
    }
    request->ValueSize = sizeof(BOOL);
    return STATUS_SUCCESS;
}

NTSTATUS ComponentHandler(PPCPROPERTY_REQUEST request) {
    if (request->ValueSize < sizeof(KSCOMPONENTID)) return STATUS_BUFFER_TOO_SMALL;
    KSCOMPONENTID id{};
    id.Version = 1;
    id.Revision = 2;
    *static_cast<KSCOMPONENTID*>(request->Value) = id;
    request->ValueSize = sizeof(id);
    return STATUS_SUCCESS;
}

// --- Adapter ----------------------------------------------------------------------------------

NTSTATUS NewBoundPort(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources, REFCLSID portClass,
                      NTSTATUS (*create)(PUNKNOWN*), PPORT* port) {
    NTSTATUS status = PcNewPort(port, portClass);
    if (!NT_SUCCESS(status)) return status;
    PUNKNOWN miniport = nullptr;
    status = create(&miniport);
    if (NT_SUCCESS(status)) {
        status = (*port)->Init(device, irp, miniport, nullptr, resources);
        miniport->Release();
    }
    if (!NT_SUCCESS(status)) {
        (*port)->Release();
        *port = nullptr;
    }
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources) {
    ++g_log.starts;
    // Port events, the way the real driver checks for them.
    PPORT probe = nullptr;
    NTSTATUS status = PcNewPort(&probe, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status)) return status;
    PPORTEVENTS events = nullptr;
    g_log.portEventsQuery =
        probe->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&events));
    if (events != nullptr) events->Release();
    probe->Release();
    PPORT unknownClass = nullptr;
    g_log.unknownClass = PcNewPort(&unknownClass, IID_IPortEvents);

    PPORT wave = nullptr;
    status = NewBoundPort(device, irp, resources, CLSID_PortWaveCyclic,
                          CreateMiniport<FakeWaveMiniport>, &wave);
    if (!NT_SUCCESS(status)) return g_log.startStatus = status;
    if (g_knobs.initWaveTwice) {
        PUNKNOWN again = nullptr;
        if (NT_SUCCESS(CreateMiniport<FakeWaveMiniport>(&again))) {
            (void)wave->Init(device, irp, again, nullptr, resources);  // bug check
            again->Release();
        }
    }
    if (g_knobs.scribbleOnPortClassArea) static_cast<PUCHAR>(device->DeviceExtension)[100] = 0;
    wchar_t waveName[] = L"TST_Wave1";
    status = PcRegisterSubdevice(device, waveName, wave);
    PPORT mixer = nullptr;
    if (NT_SUCCESS(status) && g_knobs.registerMixer) {
        status = NewBoundPort(device, irp, nullptr, CLSID_PortTopology,
                              CreateMiniport<FakeMixerMiniport>, &mixer);
        wchar_t mixerName[] = L"TST_Mixer1";
        if (NT_SUCCESS(status)) status = PcRegisterSubdevice(device, mixerName, mixer);
    }
    if (NT_SUCCESS(status) && mixer != nullptr && g_knobs.connect) {
        status = PcRegisterPhysicalConnection(device, wave, 1, mixer, 0);
        if (NT_SUCCESS(status)) status = PcRegisterPhysicalConnection(device, mixer, 3, wave, 3);
        g_log.wrongDirection = PcRegisterPhysicalConnection(device, wave, 0, mixer, 0);
        g_log.pinOutOfRange = PcRegisterPhysicalConnection(device, wave, 1, mixer, 7);
    }
    if (NT_SUCCESS(status) && g_knobs.tryBadRegistrations) {
        wchar_t taken[] = L"tst_wave1";
        PPORT other = nullptr;
        NTSTATUS bound = NewBoundPort(device, irp, nullptr, CLSID_PortTopology,
                                      CreateMiniport<FakeMixerMiniport>, &other);
        if (NT_SUCCESS(bound)) {
            g_log.duplicateName = PcRegisterSubdevice(device, taken, other);
            wchar_t slash[] = L"TST\\Bad";
            g_log.badName = PcRegisterSubdevice(device, slash, other);
            other->Release();  // never registered: the port-class driver ends it at removal
        }
        PPORT raw = nullptr;
        if (NT_SUCCESS(PcNewPort(&raw, CLSID_PortTopology))) {
            wchar_t rawName[] = L"TST_Raw";
            g_log.uninitialisedPort = PcRegisterSubdevice(device, rawName, raw);
            raw->Release();
        }
        // Fill the adapter up to its limit, then one more.
        NTSTATUS fill = STATUS_SUCCESS;
        for (int i = 0; NT_SUCCESS(fill) && i < 4; ++i) {
            PPORT extra = nullptr;
            fill = NewBoundPort(device, irp, nullptr, CLSID_PortTopology,
                                CreateMiniport<FakeMixerMiniport>, &extra);
            if (!NT_SUCCESS(fill)) break;
            wchar_t name[] = L"TST_Extra0";
            name[9] = wchar_t(L'0' + i);
            fill = PcRegisterSubdevice(device, name, extra);
            extra->Release();
        }
        g_log.beyondMaxObjects = fill;
    }
    if (wave != nullptr) wave->Release();
    if (mixer != nullptr) mixer->Release();
    return g_log.startStatus = status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
    return PcAddAdapterDevice(driver, physical, StartDevice, kFakeMaxObjects,
                              PORT_CLASS_DEVICE_EXTENSION_SIZE + 56);
}

}  // namespace

NTSTATUS FakeAdapterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return PcInitializeAdapterDriver(driver, registryPath, AddDevice);
}

FakeAdapterKnobs& FakeKnobs() {
    return g_knobs;
}

FakeAdapterLog& FakeLog() {
    return g_log;
}

void ResetFakeAdapter() {
    g_knobs = FakeAdapterKnobs{};
    std::lock_guard lock(g_logMutex);
    g_log.starts = 0;
    g_log.portEventsQuery = g_log.unknownClass = g_log.wrongDirection = g_log.pinOutOfRange =
        g_log.duplicateName = g_log.uninitialisedPort = g_log.badName = g_log.beyondMaxObjects =
            g_log.startStatus = STATUS_PENDING;
    g_log.wavePower.clear();
    g_log.mixerPower.clear();
    g_log.lastInstanceSize = g_log.lastValueSize = g_log.lastNode = g_log.lastVerb = 0;
    g_log.lastMajorTargetIsMiniport = false;
    g_log.lastHandlerIrql = HIGH_LEVEL;
    for (LONG& muted : g_muted) muted = 0;
}

bool FakeMuted(ULONG node) {
    return node < 4 && g_muted[node] != 0;
}

}  // namespace q407::testing
