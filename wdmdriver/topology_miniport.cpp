// The mixer subdevices' miniport and the driver-global mute table.
#include "wdmdriver/topology_miniport.h"

#include "wdmdriver/driver_pool.h"
#include "wdmdriver/miniport_link.h"
#include "wdmdriver/topology_tables.h"

namespace q407::wdm {
namespace {

constexpr ULONG kTopologyPoolTag = POOL_TAG("ZwTp");
// Subdevices whose mute nodes the system may operate.
constexpr ULONG kMutableSubdevices = 4;
constexpr ULONG kMuteAccessFlags =
    KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;  // 0x203

// Written by property requests of any mixer, read by any: single 32-bit stores.
volatile LONG g_MuteTable[kTopologySubdevices][kTopologyNodes];

class TopologyMiniport : public IMiniportTopology, public CUnknown {
  public:
    DECLARE_STD_UNKNOWN();
    DEFINE_STD_CONSTRUCTOR(TopologyMiniport);
    ~TopologyMiniport() override;

    // IMiniport
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                          ULONG outputBufferLength, PVOID resultantFormat,
                          PULONG resultantFormatLength) override;
    // IMiniportTopology
    STDMETHODIMP_(NTSTATUS)
    Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTTOPOLOGY port) override;

    NTSTATUS HandleMute(PPCPROPERTY_REQUEST request);

  private:
    PPORTTOPOLOGY port_ = nullptr;
    PPORTEVENTS portEvents_ = nullptr;
    MiniportLink link_{};
    ULONG index_ = 0;
};

TopologyMiniport::~TopologyMiniport() {
    if (portEvents_ != nullptr) portEvents_->Release();
    if (port_ != nullptr) port_->Release();
}

STDMETHODIMP_(NTSTATUS)
TopologyMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IUnknown)) {
        *object = PVOID(PUNKNOWN(PMINIPORTTOPOLOGY(this)));
    } else if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportTopology)) {
        *object = PVOID(PMINIPORTTOPOLOGY(this));
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    PUNKNOWN(*object)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TopologyMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description) {
    if (description == nullptr) return STATUS_INVALID_PARAMETER;
    // The port only reads the description; the kit's signature wants it modifiable.
    *description = const_cast<PPCFILTER_DESCRIPTOR>(&g_TopologyFilters[index_]);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
TopologyMiniport::DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange,
                                        PKSDATARANGE matchingDataRange, ULONG outputBufferLength,
                                        PVOID resultantFormat, PULONG resultantFormatLength) {
    UNREFERENCED_PARAMETER(pinId);
    UNREFERENCED_PARAMETER(dataRange);
    UNREFERENCED_PARAMETER(matchingDataRange);
    UNREFERENCED_PARAMETER(outputBufferLength);
    UNREFERENCED_PARAMETER(resultantFormat);
    UNREFERENCED_PARAMETER(resultantFormatLength);
    // Bridge pins only: the port's own intersection of the analog range is all there is.
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS)
TopologyMiniport::Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTTOPOLOGY port) {
    UNREFERENCED_PARAMETER(resourceList);
    if (port == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = CopyMiniportLink(unknownAdapter, &link_);
    if (!NT_SUCCESS(status)) return status;
    // The index selects this subdevice's tables.
    if (link_.index >= kTopologySubdevices) return STATUS_INVALID_PARAMETER;
    index_ = link_.index;

    PPORTEVENTS events = nullptr;
    status = port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&events));
    // A port without events still works: the mixer raises no change events of its own.
    if (NT_SUCCESS(status)) portEvents_ = events;
    port->AddRef();
    port_ = port;
    return STATUS_SUCCESS;
}

// Mute of a mute node on channel 0; node properties exist on mixers 1 to 4 only.
NTSTATUS TopologyMiniport::HandleMute(PPCPROPERTY_REQUEST request) {
    const ULONG node = request->Node;
    if (node >= kTopologyNodes || index_ >= kMutableSubdevices) return STATUS_INVALID_PARAMETER;

    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        const ULONG size = request->ValueSize;
        if (size == 0) {
            request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
            return STATUS_BUFFER_OVERFLOW;
        }
        if (size < sizeof(ULONG) || request->Value == nullptr) return STATUS_BUFFER_TOO_SMALL;
        if (size < sizeof(KSPROPERTY_DESCRIPTION)) {
            *static_cast<PULONG>(request->Value) = kMuteAccessFlags;
            request->ValueSize = sizeof(ULONG);
            return STATUS_SUCCESS;
        }
        auto* description = static_cast<PKSPROPERTY_DESCRIPTION>(request->Value);
        description->AccessFlags = kMuteAccessFlags;
        description->DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
        description->PropTypeSet.Set = kPropertyTypeSetGeneral;
        description->PropTypeSet.Id = kPropertyTypeBoolean;
        description->PropTypeSet.Flags = 0;
        description->MembersListCount = 0;
        description->Reserved = 0;
        request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_SUCCESS;
    }

    // The instance names the channel: only the one (master) channel 0 exists.
    if (request->InstanceSize < sizeof(ULONG) || request->Instance == nullptr ||
        *static_cast<const ULONG*>(request->Instance) != 0 || request->ValueSize < sizeof(ULONG) ||
        request->Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    volatile LONG* entry = &g_MuteTable[index_][node];
    if (request->Verb & KSPROPERTY_TYPE_GET) {
        *static_cast<PULONG>(request->Value) = ReadNoFence(entry) != 0 ? 1 : 0;
        request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    if (request->Verb & KSPROPERTY_TYPE_SET) {
        const ULONG value = *static_cast<const ULONG*>(request->Value) != 0 ? 1 : 0;
        InterlockedExchange(entry, LONG(value));
        // Q407DRV applies the change to the device; it reports nothing back.
        LinkTopologyChangeBlock change{index_, node, value, value};
        if (!CallMiniportLink(&link_, kLinkApplyTopologyChange, &change)) {
            DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL,
                       "Q407WDM: mixer %u mute %u kept, device gone\n", index_ + 1, node);
        }
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS NTAPI MutePropertyHandler(PPCPROPERTY_REQUEST request) {
    if (request == nullptr || request->MajorTarget == nullptr) return STATUS_INVALID_PARAMETER;
    // The major target is the miniport's IUnknown, which is its IMiniportTopology.
    auto* miniport =
        static_cast<TopologyMiniport*>(static_cast<PMINIPORTTOPOLOGY>(request->MajorTarget));
    return miniport->HandleMute(request);
}

}  // namespace

NTSTATUS CreateTopologyMiniport(PUNKNOWN* unknown) {
    if (unknown == nullptr) return STATUS_INVALID_PARAMETER;
    *unknown = nullptr;
    STD_CREATE_BODY_WITH_TAG_(TopologyMiniport, unknown, nullptr, WdmNonPagedPool(),
                              kTopologyPoolTag, PMINIPORTTOPOLOGY);
}

const int* TopologyConnectionTable(ULONG index) {
    return index < kTopologySubdevices ? g_TopologyConnectionTables[index] : nullptr;
}

void ResetTopologyMutes() {
    for (auto& subdevice : g_MuteTable)
        for (volatile LONG& entry : subdevice) InterlockedExchange(&entry, 0);
}

ULONG TopologyMute(ULONG subdevice, ULONG node) {
    if (subdevice >= kTopologySubdevices || node >= kTopologyNodes) return 0;
    return ReadNoFence(&g_MuteTable[subdevice][node]) != 0 ? 1 : 0;
}

}  // namespace q407::wdm
