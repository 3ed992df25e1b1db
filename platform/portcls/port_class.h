// The port-class driver's interfaces and services: resource lists, service groups and sinks,
// DMA channels, ports and miniports (wave-cyclic, wave-PCI, topology), power notification, port
// events, the filter descriptions a miniport hands its port, property requests, and the Pc*
// functions an adapter driver calls.
#pragma once

#include "kernel_streaming_audio.h"

#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))
#define PCFILTER_NODE ((ULONG)-1)
#define _100NS_UNITS_PER_SECOND 10000000L

// --- What the Plug and Play manager knows of a device (wdm.h) --------------------------------
enum DEVICE_REGISTRY_PROPERTY {
    DevicePropertyDeviceDescription = 0x0,
    DevicePropertyHardwareID = 0x1,
    DevicePropertyCompatibleIDs = 0x2,
    DevicePropertyClassName = 0x5,
    DevicePropertyClassGuid = 0x6,
    DevicePropertyDriverKeyName = 0x7,
    DevicePropertyManufacturer = 0x8,
    DevicePropertyFriendlyName = 0x9,
};
using PADAPTER_OBJECT = DMA_ADAPTER*;
using CM_RESOURCE_TYPE = int;
// The hardware resources of a start request; a USB child device has none, so the records stay
// opaque here.
struct CM_PARTIAL_RESOURCE_DESCRIPTOR;
using PCM_PARTIAL_RESOURCE_DESCRIPTOR = CM_PARTIAL_RESOURCE_DESCRIPTOR*;
struct CM_RESOURCE_LIST;
using PCM_RESOURCE_LIST = CM_RESOURCE_LIST*;

// --- Properties, methods, events -------------------------------------------------------------
struct _PCPROPERTY_REQUEST;
using PCPROPERTY_REQUEST = _PCPROPERTY_REQUEST;
using PPCPROPERTY_REQUEST = _PCPROPERTY_REQUEST*;
using PCPFNPROPERTY_HANDLER = NTSTATUS (*)(PPCPROPERTY_REQUEST PropertyRequest);

#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT
#define PCPROPERTY_ITEM_FLAG_SERIALIZERAW KSPROPERTY_TYPE_SERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW KSPROPERTY_TYPE_UNSERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_SERIALIZESIZE KSPROPERTY_TYPE_SERIALIZESIZE
#define PCPROPERTY_ITEM_FLAG_SERIALIZE                                         \
    (PCPROPERTY_ITEM_FLAG_SERIALIZERAW | PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW | \
     PCPROPERTY_ITEM_FLAG_SERIALIZESIZE)
#define PCPROPERTY_ITEM_FLAG_DEFAULTVALUES KSPROPERTY_TYPE_DEFAULTVALUES

struct PCPROPERTY_ITEM {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNPROPERTY_HANDLER Handler;
};
using PPCPROPERTY_ITEM = PCPROPERTY_ITEM*;
static_assert(sizeof(PCPROPERTY_ITEM) == 24);

// One property request as the port hands it to a handler. Verb holds the KSPROPERTY_TYPE_*
// flags; InstanceSize and Instance describe what follows the KSPROPERTY (a node request's
// instance starts after its KSNODEPROPERTY); ValueSize is the caller's buffer, and the handler
// stores how much it used (or needs) back into it.
struct _PCPROPERTY_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCPROPERTY_ITEM* PropertyItem;
    ULONG Verb;
    ULONG InstanceSize;
    PVOID Instance;
    ULONG ValueSize;
    PVOID Value;
    PIRP Irp;
};
static_assert(sizeof(_PCPROPERTY_REQUEST) == 72);
static_assert(offsetof(_PCPROPERTY_REQUEST, Node) == 16);
static_assert(offsetof(_PCPROPERTY_REQUEST, Verb) == 32);
static_assert(offsetof(_PCPROPERTY_REQUEST, Instance) == 40);
static_assert(offsetof(_PCPROPERTY_REQUEST, ValueSize) == 48);
static_assert(offsetof(_PCPROPERTY_REQUEST, Irp) == 64);

#define PCEVENT_ITEM_FLAG_ENABLE KSEVENT_TYPE_ENABLE
#define PCEVENT_ITEM_FLAG_ONESHOT KSEVENT_TYPE_ONESHOT
#define PCEVENT_ITEM_FLAG_BASICSUPPORT KSEVENT_TYPE_BASICSUPPORT
#define PCEVENT_VERB_NONE 0
#define PCEVENT_VERB_ADD 1
#define PCEVENT_VERB_REMOVE 2
#define PCEVENT_VERB_SUPPORT 4

struct _PCEVENT_REQUEST;
using PCPFNEVENT_HANDLER = NTSTATUS (*)(_PCEVENT_REQUEST* EventRequest);
struct PCEVENT_ITEM {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNEVENT_HANDLER Handler;
};
using PPCEVENT_ITEM = PCEVENT_ITEM*;
struct _PCEVENT_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCEVENT_ITEM* EventItem;
    PKSEVENT_ENTRY EventEntry;
    ULONG Verb;
    PIRP Irp;
};
using PCEVENT_REQUEST = _PCEVENT_REQUEST;
using PPCEVENT_REQUEST = _PCEVENT_REQUEST*;

struct _PCMETHOD_REQUEST;
using PCPFNMETHOD_HANDLER = NTSTATUS (*)(_PCMETHOD_REQUEST* MethodRequest);
struct PCMETHOD_ITEM {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNMETHOD_HANDLER Handler;
};
using PPCMETHOD_ITEM = PCMETHOD_ITEM*;
struct _PCMETHOD_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCMETHOD_ITEM* MethodItem;
    ULONG Verb;
};
using PCMETHOD_REQUEST = _PCMETHOD_REQUEST;
using PPCMETHOD_REQUEST = _PCMETHOD_REQUEST*;

// --- Filter descriptions ---------------------------------------------------------------------
struct PCAUTOMATION_TABLE {
    ULONG PropertyItemSize;
    ULONG PropertyCount;
    const PCPROPERTY_ITEM* Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM* Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM* Events;
    ULONG Reserved;
};
using PPCAUTOMATION_TABLE = PCAUTOMATION_TABLE*;
static_assert(sizeof(PCAUTOMATION_TABLE) == 56);

#define DEFINE_PCAUTOMATION_TABLE_PROP(AutomationTable, PropertyTable)                 \
    const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]),              \
                                                SIZEOF_ARRAY(PropertyTable),           \
                                                (const PCPROPERTY_ITEM*)PropertyTable, \
                                                0,                                     \
                                                0,                                     \
                                                NULL,                                  \
                                                0,                                     \
                                                0,                                     \
                                                NULL,                                  \
                                                0}
#define DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(AutomationTable, PropertyTable, EventTable) \
    const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]),                \
                                                SIZEOF_ARRAY(PropertyTable),             \
                                                (const PCPROPERTY_ITEM*)PropertyTable,   \
                                                0,                                       \
                                                0,                                       \
                                                NULL,                                    \
                                                sizeof(EventTable[0]),                   \
                                                SIZEOF_ARRAY(EventTable),                \
                                                (const PCEVENT_ITEM*)EventTable,         \
                                                0}

// Connections inside a filter: PCFILTER_NODE as a node means a pin of the filter itself.
struct PCCONNECTION_DESCRIPTOR {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
};
using PPCCONNECTION_DESCRIPTOR = PCCONNECTION_DESCRIPTOR*;

struct PCPIN_DESCRIPTOR {
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
};
using PPCPIN_DESCRIPTOR = PCPIN_DESCRIPTOR*;
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112);
static_assert(offsetof(PCPIN_DESCRIPTOR, KsPinDescriptor) == 24);

struct PCNODE_DESCRIPTOR {
    ULONG Flags;
    const PCAUTOMATION_TABLE* AutomationTable;
    const GUID* Type;
    const GUID* Name;
};
using PPCNODE_DESCRIPTOR = PCNODE_DESCRIPTOR*;

#define PCFILTER_VERSION 1
struct PCFILTER_DESCRIPTOR {
    ULONG Version;
    const PCAUTOMATION_TABLE* AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR* Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR* Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR* Connections;
    ULONG CategoryCount;
    const GUID* Categories;
};
using PPCFILTER_DESCRIPTOR = PCFILTER_DESCRIPTOR*;
static_assert(sizeof(PCFILTER_DESCRIPTOR) == 80);
static_assert(offsetof(PCFILTER_DESCRIPTOR, Categories) == 72);

// --- IResourceList -------------------------------------------------------------------------
// {22C6AC60-851B-11D0-9A7F-00AA0038ACFE}
inline constexpr IID IID_IResourceList = {
    0x22C6AC60u, 0x851Bu, 0x11D0u, {0x9Au, 0x7Fu, 0x00u, 0xAAu, 0x00u, 0x38u, 0xACu, 0xFEu}};
DECLARE_INTERFACE_(IResourceList, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(ULONG, NumberOfEntries)(THIS) PURE;
    STDMETHOD_(ULONG, NumberOfEntriesOfType)(THIS_ CM_RESOURCE_TYPE Type) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindTranslatedEntry)
    (THIS_ CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindUntranslatedEntry)
    (THIS_ CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(NTSTATUS, AddEntry)
    (THIS_ PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated, PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated)
        PURE;
    STDMETHOD_(NTSTATUS, AddEntryFromParent)
    (THIS_ IResourceList * Parent, CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, TranslatedList)(THIS) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, UntranslatedList)(THIS) PURE;
};
using PRESOURCELIST = IResourceList*;

// --- Service sinks and groups ----------------------------------------------------------------
// {22C6AC64-851B-11D0-9A7F-00AA0038ACFE}
inline constexpr IID IID_IServiceSink = {
    0x22C6AC64u, 0x851Bu, 0x11D0u, {0x9Au, 0x7Fu, 0x00u, 0xAAu, 0x00u, 0x38u, 0xACu, 0xFEu}};
DECLARE_INTERFACE_(IServiceSink, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, RequestService)(THIS) PURE;
};
using PSERVICESINK = IServiceSink*;
#define IMP_IServiceSink STDMETHODIMP_(void) RequestService(void)

// {22C6AC65-851B-11D0-9A7F-00AA0038ACFE}
inline constexpr IID IID_IServiceGroup = {
    0x22C6AC65u, 0x851Bu, 0x11D0u, {0x9Au, 0x7Fu, 0x00u, 0xAAu, 0x00u, 0x38u, 0xACu, 0xFEu}};
DECLARE_INTERFACE_(IServiceGroup, IServiceSink) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, RequestService)(THIS) PURE;
    STDMETHOD_(NTSTATUS, AddMember)(THIS_ PSERVICESINK pServiceSink) PURE;
    STDMETHOD_(void, RemoveMember)(THIS_ PSERVICESINK pServiceSink) PURE;
    STDMETHOD_(void, SupportDelayedService)(THIS) PURE;
    STDMETHOD_(void, RequestDelayedService)(THIS_ ULONGLONG ullDelay) PURE;
    STDMETHOD_(void, CancelDelayedService)(THIS) PURE;
};
using PSERVICEGROUP = IServiceGroup*;

// --- DMA channels ----------------------------------------------------------------------------
// {22C6AC61-851B-11D0-9A7F-00AA0038ACFE}
inline constexpr IID IID_IDmaChannel = {
    0x22C6AC61u, 0x851Bu, 0x11D0u, {0x9Au, 0x7Fu, 0x00u, 0xAAu, 0x00u, 0x38u, 0xACu, 0xFEu}};
#define DEFINE_ABSTRACT_DMACHANNEL()                                                       \
    STDMETHOD_(NTSTATUS, AllocateBuffer)                                                   \
    (THIS_ ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint OPTIONAL) PURE;   \
    STDMETHOD_(void, FreeBuffer)(THIS) PURE;                                               \
    STDMETHOD_(ULONG, TransferCount)(THIS) PURE;                                           \
    STDMETHOD_(ULONG, MaximumBufferSize)(THIS) PURE;                                       \
    STDMETHOD_(ULONG, AllocatedBufferSize)(THIS) PURE;                                     \
    STDMETHOD_(ULONG, BufferSize)(THIS) PURE;                                              \
    STDMETHOD_(void, SetBufferSize)(THIS_ ULONG BufferSize) PURE;                          \
    STDMETHOD_(PVOID, SystemAddress)(THIS) PURE;                                           \
    STDMETHOD_(PHYSICAL_ADDRESS, PhysicalAddress)(THIS) PURE;                              \
    STDMETHOD_(PADAPTER_OBJECT, GetAdapterObject)(THIS) PURE;                              \
    STDMETHOD_(void, CopyTo)(THIS_ PVOID Destination, PVOID Source, ULONG ByteCount) PURE; \
    STDMETHOD_(void, CopyFrom)(THIS_ PVOID Destination, PVOID Source, ULONG ByteCount) PURE;
DECLARE_INTERFACE_(IDmaChannel, IUnknown){DEFINE_ABSTRACT_UNKNOWN() DEFINE_ABSTRACT_DMACHANNEL()};
using PDMACHANNEL = IDmaChannel*;
// Slave (ISA-style) channels: the emulation has none; declared for the wave-cyclic port's table.
struct IDmaChannelSlave;
using PDMACHANNELSLAVE = IDmaChannelSlave*;

// --- Registry keys (declared for the port's table; the emulation offers none) -----------------
struct IRegistryKey;
using PREGISTRYKEY = IRegistryKey*;

// --- Ports and miniports -----------------------------------------------------------------------
// {B4C90A25-5791-11D0-86F9-00A0C911B544}
inline constexpr IID IID_IPort = {
    0xB4C90A25u, 0x5791u, 0x11D0u, {0x86u, 0xF9u, 0x00u, 0xA0u, 0xC9u, 0x11u, 0xB5u, 0x44u}};
// {B4C90A24-5791-11D0-86F9-00A0C911B544}
inline constexpr IID IID_IMiniport = {
    0xB4C90A24u, 0x5791u, 0x11D0u, {0x86u, 0xF9u, 0x00u, 0xA0u, 0xC9u, 0x11u, 0xB5u, 0x44u}};

#define DEFINE_ABSTRACT_PORT()                                                                   \
    STDMETHOD_(NTSTATUS, Init)                                                                   \
    (THIS_ PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,                      \
     PUNKNOWN UnknownAdapter OPTIONAL, PRESOURCELIST ResourceList) PURE;                         \
    STDMETHOD_(NTSTATUS, GetDeviceProperty)                                                      \
    (THIS_ DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength, PVOID PropertyBuffer,    \
     PULONG ResultLength) PURE;                                                                  \
    STDMETHOD_(NTSTATUS, NewRegistryKey)                                                         \
    (THIS_ PREGISTRYKEY * OutRegistryKey, PUNKNOWN OuterUnknown OPTIONAL, ULONG RegistryKeyType, \
     ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes OPTIONAL,                    \
     ULONG CreateOptions OPTIONAL, PULONG Disposition OPTIONAL) PURE;

DECLARE_INTERFACE_(IPort, IUnknown){DEFINE_ABSTRACT_UNKNOWN() DEFINE_ABSTRACT_PORT()};
using PPORT = IPort*;

#define DEFINE_ABSTRACT_MINIPORT()                                                       \
    STDMETHOD_(NTSTATUS, GetDescription)(THIS_ PPCFILTER_DESCRIPTOR * Description) PURE; \
    STDMETHOD_(NTSTATUS, DataRangeIntersection)                                          \
    (THIS_ ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,          \
     ULONG OutputBufferLength, PVOID ResultantFormat OPTIONAL, PULONG ResultantFormatLength) PURE;
#define IMP_IMiniport                                                                          \
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* Description);                 \
    STDMETHODIMP_(NTSTATUS)                                                                    \
    DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange, \
                          ULONG OutputBufferLength, PVOID ResultantFormat,                     \
                          PULONG ResultantFormatLength)

DECLARE_INTERFACE_(IMiniport, IUnknown){DEFINE_ABSTRACT_UNKNOWN() DEFINE_ABSTRACT_MINIPORT()};
using PMINIPORT = IMiniport*;

// --- Topology ----------------------------------------------------------------------------------
// {B4C90A30-5791-11D0-86F9-00A0C911B544}
inline constexpr IID IID_IPortTopology = {
    0xB4C90A30u, 0x5791u, 0x11D0u, {0x86u, 0xF9u, 0x00u, 0xA0u, 0xC9u, 0x11u, 0xB5u, 0x44u}};
// {B4C90A32-5791-11D0-86F9-00A0C911B544}
#define STATIC_CLSID_PortTopology \
    0xB4C90A32, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44
Q407_DEFINE_STATIC_GUID(CLSID_PortTopology);
DECLARE_INTERFACE_(IPortTopology, IPort){DEFINE_ABSTRACT_UNKNOWN() DEFINE_ABSTRACT_PORT()};
using PPORTTOPOLOGY = IPortTopology*;

// {B4C90A31-5791-11D0-86F9-00A0C911B544}
inline constexpr IID IID_IMiniportTopology = {
    0xB4C90A31u, 0x5791u, 0x11D0u, {0x86u, 0xF9u, 0x00u, 0xA0u, 0xC9u, 0x11u, 0xB5u, 0x44u}};
DECLARE_INTERFACE_(IMiniportTopology, IMiniport) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()
    STDMETHOD_(NTSTATUS, Init)
    (THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port) PURE;
};
using PMINIPORTTOPOLOGY = IMiniportTopology*;

// --- Wave-cyclic -----------------------------------------------------------------------------
// {B4C90A26-5791-11D0-86F9-00A0C911B544}
inline constexpr IID IID_IPortWaveCyclic = {
    0xB4C90A26u, 0x5791u, 0x11D0u, {0x86u, 0xF9u, 0x00u, 0xA0u, 0xC9u, 0x11u, 0xB5u, 0x44u}};
// {B4C90A2A-5791-11D0-86F9-00A0C911B544}
#define STATIC_CLSID_PortWaveCyclic \
    0xB4C90A2A, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44
Q407_DEFINE_STATIC_GUID(CLSID_PortWaveCyclic);
DECLARE_INTERFACE_(IPortWaveCyclic, IPort) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORT()
    STDMETHOD_(void, Notify)(THIS_ PSERVICEGROUP ServiceGroup) PURE;
    STDMETHOD_(NTSTATUS, NewSlaveDmaChannel)
    (THIS_ PDMACHANNELSLAVE * DmaChannel, PUNKNOWN OuterUnknown,
     PRESOURCELIST ResourceList OPTIONAL, ULONG DmaIndex, ULONG MaximumLength, BOOLEAN DemandMode,
     DMA_SPEED DmaSpeed) PURE;
    STDMETHOD_(NTSTATUS, NewMasterDmaChannel)
    (THIS_ PDMACHANNEL * DmaChannel, PUNKNOWN OuterUnknown, PRESOURCELIST ResourceList OPTIONAL,
     ULONG MaximumLength, BOOLEAN Dma32BitAddresses, BOOLEAN Dma64BitAddresses, DMA_WIDTH DmaWidth,
     DMA_SPEED DmaSpeed) PURE;
};
using PPORTWAVECYCLIC = IPortWaveCyclic*;

// {B4C90A28-5791-11D0-86F9-00A0C911B544}
inline constexpr IID IID_IMiniportWaveCyclicStream = {
    0xB4C90A28u, 0x5791u, 0x11D0u, {0x86u, 0xF9u, 0x00u, 0xA0u, 0xC9u, 0x11u, 0xB5u, 0x44u}};
DECLARE_INTERFACE_(IMiniportWaveCyclicStream, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, SetFormat)(THIS_ PKSDATAFORMAT DataFormat) PURE;
    STDMETHOD_(ULONG, SetNotificationFreq)(THIS_ ULONG Interval, PULONG FrameSize) PURE;
    STDMETHOD_(NTSTATUS, SetState)(THIS_ KSSTATE State) PURE;
    STDMETHOD_(NTSTATUS, GetPosition)(THIS_ PULONG Position) PURE;
    STDMETHOD_(NTSTATUS, NormalizePhysicalPosition)(THIS_ PLONGLONG PhysicalPosition) PURE;
    STDMETHOD_(void, Silence)(THIS_ PVOID Buffer, ULONG ByteCount) PURE;
};
using PMINIPORTWAVECYCLICSTREAM = IMiniportWaveCyclicStream*;

// {B4C90A27-5791-11D0-86F9-00A0C911B544}
inline constexpr IID IID_IMiniportWaveCyclic = {
    0xB4C90A27u, 0x5791u, 0x11D0u, {0x86u, 0xF9u, 0x00u, 0xA0u, 0xC9u, 0x11u, 0xB5u, 0x44u}};
DECLARE_INTERFACE_(IMiniportWaveCyclic, IMiniport) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()
    STDMETHOD_(NTSTATUS, Init)
    (THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port) PURE;
    STDMETHOD_(NTSTATUS, NewStream)
    (THIS_ PMINIPORTWAVECYCLICSTREAM * Stream, PUNKNOWN OuterUnknown OPTIONAL, POOL_TYPE PoolType,
     ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL * DmaChannel,
     PSERVICEGROUP * ServiceGroup) PURE;
};
using PMINIPORTWAVECYCLIC = IMiniportWaveCyclic*;

// --- Wave-PCI --------------------------------------------------------------------------------
// {B4C90A50-5791-11D0-86F9-00A0C911B544}
inline constexpr IID IID_IPortWavePci = {
    0xB4C90A50u, 0x5791u, 0x11D0u, {0x86u, 0xF9u, 0x00u, 0xA0u, 0xC9u, 0x11u, 0xB5u, 0x44u}};
// {B4C90A54-5791-11D0-86F9-00A0C911B544}
#define STATIC_CLSID_PortWavePci \
    0xB4C90A54, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44
Q407_DEFINE_STATIC_GUID(CLSID_PortWavePci);
DECLARE_INTERFACE_(IPortWavePci, IPort) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORT()
    STDMETHOD_(void, Notify)(THIS_ PSERVICEGROUP ServiceGroup) PURE;
    STDMETHOD_(NTSTATUS, NewMasterDmaChannel)
    (THIS_ PDMACHANNEL * DmaChannel, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
     PRESOURCELIST ResourceList OPTIONAL, BOOLEAN ScatterGather, BOOLEAN Dma32BitAddresses,
     BOOLEAN Dma64BitAddresses, BOOLEAN IgnoreCount, DMA_WIDTH DmaWidth, DMA_SPEED DmaSpeed,
     ULONG MaximumLength, ULONG DmaPort) PURE;
};
using PPORTWAVEPCI = IPortWavePci*;

// {B4C90A51-5791-11D0-86F9-00A0C911B544}
inline constexpr IID IID_IPortWavePciStream = {
    0xB4C90A51u, 0x5791u, 0x11D0u, {0x86u, 0xF9u, 0x00u, 0xA0u, 0xC9u, 0x11u, 0xB5u, 0x44u}};
DECLARE_INTERFACE_(IPortWavePciStream, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, GetMapping)
    (THIS_ PVOID Tag, PPHYSICAL_ADDRESS PhysicalAddress, PVOID * VirtualAddress, PULONG ByteCount,
     PULONG Flags) PURE;
    STDMETHOD_(NTSTATUS, ReleaseMapping)(THIS_ PVOID Tag) PURE;
    STDMETHOD_(NTSTATUS, TerminatePacket)(THIS) PURE;
};
using PPORTWAVEPCISTREAM = IPortWavePciStream*;

// {B4C90A53-5791-11D0-86F9-00A0C911B544}
inline constexpr IID IID_IMiniportWavePciStream = {
    0xB4C90A53u, 0x5791u, 0x11D0u, {0x86u, 0xF9u, 0x00u, 0xA0u, 0xC9u, 0x11u, 0xB5u, 0x44u}};
DECLARE_INTERFACE_(IMiniportWavePciStream, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, SetFormat)(THIS_ PKSDATAFORMAT DataFormat) PURE;
    STDMETHOD_(NTSTATUS, SetState)(THIS_ KSSTATE State) PURE;
    STDMETHOD_(NTSTATUS, GetPosition)(THIS_ PULONGLONG Position) PURE;
    STDMETHOD_(NTSTATUS, NormalizePhysicalPosition)(THIS_ PLONGLONG PhysicalPosition) PURE;
    STDMETHOD_(NTSTATUS, GetAllocatorFraming)(THIS_ PKSALLOCATOR_FRAMING AllocatorFraming) PURE;
    STDMETHOD_(NTSTATUS, RevokeMappings)
    (THIS_ PVOID FirstTag, PVOID LastTag, PULONG MappingsRevoked) PURE;
    STDMETHOD_(void, MappingAvailable)(THIS) PURE;
    STDMETHOD_(void, Service)(THIS) PURE;
};
using PMINIPORTWAVEPCISTREAM = IMiniportWavePciStream*;

// {B4C90A52-5791-11D0-86F9-00A0C911B544}
inline constexpr IID IID_IMiniportWavePci = {
    0xB4C90A52u, 0x5791u, 0x11D0u, {0x86u, 0xF9u, 0x00u, 0xA0u, 0xC9u, 0x11u, 0xB5u, 0x44u}};
DECLARE_INTERFACE_(IMiniportWavePci, IMiniport) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()
    STDMETHOD_(NTSTATUS, Init)
    (THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVEPCI Port,
     PSERVICEGROUP * ServiceGroup) PURE;
    STDMETHOD_(NTSTATUS, NewStream)
    (THIS_ PMINIPORTWAVEPCISTREAM * Stream, PUNKNOWN OuterUnknown OPTIONAL, POOL_TYPE PoolType,
     PPORTWAVEPCISTREAM PortStream, ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat,
     PDMACHANNEL * DmaChannel, PSERVICEGROUP * ServiceGroup) PURE;
    STDMETHOD_(void, Service)(THIS) PURE;
};
using PMINIPORTWAVEPCI = IMiniportWavePci*;

// --- Power and port events ---------------------------------------------------------------------
// {3DD648B8-969F-11D1-95A9-00C04FB925D3}
inline constexpr IID IID_IPowerNotify = {
    0x3DD648B8u, 0x969Fu, 0x11D1u, {0x95u, 0xA9u, 0x00u, 0xC0u, 0x4Fu, 0xB9u, 0x25u, 0xD3u}};
DECLARE_INTERFACE_(IPowerNotify, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, PowerChangeNotify)(THIS_ POWER_STATE PowerState) PURE;
};
using PPOWERNOTIFY = IPowerNotify*;

// {A80F29C4-5498-11D2-95D9-00C04FB925D3}
inline constexpr IID IID_IPortEvents = {
    0xA80F29C4u, 0x5498u, 0x11D2u, {0x95u, 0xD9u, 0x00u, 0xC0u, 0x4Fu, 0xB9u, 0x25u, 0xD3u}};
DECLARE_INTERFACE_(IPortEvents, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, AddEventToEventList)(THIS_ PKSEVENT_ENTRY EventEntry) PURE;
    STDMETHOD_(void, GenerateEventList)
    (THIS_ GUID * Set OPTIONAL, ULONG EventId, BOOL PinEvent, ULONG PinId, BOOL NodeEvent,
     ULONG NodeId) PURE;
};
using PPORTEVENTS = IPortEvents*;
#define IMP_IPortEvents                                                                     \
    STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY EventEntry);                     \
    STDMETHODIMP_(void)                                                                     \
    GenerateEventList(GUID* Set, ULONG EventId, BOOL PinEvent, ULONG PinId, BOOL NodeEvent, \
                      ULONG NodeId)

// --- Port-class services ----------------------------------------------------------------------
using PCPFNSTARTDEVICE = NTSTATUS (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                      PRESOURCELIST ResourceList);

// DriverEntry of an adapter driver: installs the port-class driver's IRP handlers and AddDevice.
NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                   PDRIVER_ADD_DEVICE AddDevice);
// AddDevice: creates the adapter's device object (extension of DeviceExtensionSize bytes, the
// first PORT_CLASS_DEVICE_EXTENSION_SIZE of them the port-class driver's), attaches it to the
// stack, and remembers StartDevice and room for MaxObjects subdevices.
NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects,
                            ULONG DeviceExtensionSize);
NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PcNewPort(PPORT* OutPort, REFCLSID ClassId);
NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown OPTIONAL);
// Registers Unknown (an initialised port) as the subdevice Name of the adapter.
NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWCHAR Name, PUNKNOWN Unknown);
NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                      ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin);
// 100-nanosecond units since Since (a value of the same clock, or 0).
ULONGLONG PcGetTimeInterval(ULONGLONG Since);
