// DirectMusic in the kernel: the kernel event record, the message-transfer interfaces (IMXF and
// the allocator), the master clock, the DirectMusic port and miniport, and the synthesizer
// property set a MIDI miniport answers.
#pragma once

#include "port_class.h"

using REFERENCE_TIME = LONGLONG;
#define DONT_HOLD_FOR_SEQUENCING 0x8000000000000000

// --- Kernel events ---------------------------------------------------------------------------
// Up to sizeof(PBYTE) bytes are held in abData; longer events point at their bytes (pbData), and
// a package event holds a chain of further events (pPackageEvt).
struct DMUS_KERNEL_EVENT {
    BYTE bReserved;
    BYTE cbStruct;
    USHORT cbEvent;
    USHORT usChannelGroup;
    USHORT usFlags;
    REFERENCE_TIME ullPresTime100ns;
    ULONGLONG ullBytePosition;
    DMUS_KERNEL_EVENT* pNextEvt;
    union {
        BYTE abData[sizeof(PBYTE)];
        PBYTE pbData;
        DMUS_KERNEL_EVENT* pPackageEvt;
    } uData;
};
using PDMUS_KERNEL_EVENT = DMUS_KERNEL_EVENT*;
static_assert(sizeof(DMUS_KERNEL_EVENT) == 40);
static_assert(offsetof(DMUS_KERNEL_EVENT, cbEvent) == 2);
static_assert(offsetof(DMUS_KERNEL_EVENT, usFlags) == 6);
static_assert(offsetof(DMUS_KERNEL_EVENT, ullPresTime100ns) == 8);
static_assert(offsetof(DMUS_KERNEL_EVENT, pNextEvt) == 24);
static_assert(offsetof(DMUS_KERNEL_EVENT, uData) == 32);

#define DMUS_KEF_EVENT_COMPLETE 0x0000
#define DMUS_KEF_EVENT_INCOMPLETE 0x0001
#define DMUS_KEF_PACKAGE_EVENT 0x0002
#define kBytePositionNone (~(ULONGLONG)0)
#define SHORT_EVT(evt) ((evt)->cbEvent <= sizeof(PBYTE))
#define PACKAGE_EVT(evt) ((evt)->usFlags & DMUS_KEF_PACKAGE_EVENT)
#define INCOMPLETE_EVT(evt) ((evt)->usFlags & DMUS_KEF_EVENT_INCOMPLETE)
#define COMPLETE_EVT(evt) (((evt)->usFlags & DMUS_KEF_EVENT_INCOMPLETE) == 0)

enum DMUS_STREAM_TYPE {
    DMUS_STREAM_MIDI_INVALID = -1,
    DMUS_STREAM_MIDI_RENDER = 0,
    DMUS_STREAM_MIDI_CAPTURE,
    DMUS_STREAM_WAVE_SINK
};

// --- Master clock ------------------------------------------------------------------------------
DECLARE_INTERFACE_(IMasterClock, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, GetTime)(THIS_ REFERENCE_TIME * pTime) PURE;
};
using PMASTERCLOCK = IMasterClock*;

// --- Message transfer --------------------------------------------------------------------------
struct IMXF;
using PMXF = IMXF*;
// {C096DF9E-FB09-11D1-81B0-0060083316C1}
inline constexpr IID IID_IMXF = {
    0xC096DF9Eu, 0xFB09u, 0x11D1u, {0x81u, 0xB0u, 0x00u, 0x60u, 0x08u, 0x33u, 0x16u, 0xC1u}};
#define DEFINE_ABSTRACT_IMXF()                                               \
    STDMETHOD_(NTSTATUS, SetState)(THIS_ KSSTATE State) PURE;                \
    STDMETHOD_(NTSTATUS, PutMessage)(THIS_ PDMUS_KERNEL_EVENT pDMKEvt) PURE; \
    STDMETHOD_(NTSTATUS, ConnectOutput)(THIS_ PMXF sinkMXF) PURE;            \
    STDMETHOD_(NTSTATUS, DisconnectOutput)(THIS_ PMXF sinkMXF) PURE;
DECLARE_INTERFACE_(IMXF, IUnknown){DEFINE_ABSTRACT_UNKNOWN() DEFINE_ABSTRACT_IMXF()};

struct IAllocatorMXF;
using PAllocatorMXF = IAllocatorMXF*;
// {A5F0D62C-B30F-11D2-B7A3-0060083316C1}
inline constexpr IID IID_IAllocatorMXF = {
    0xA5F0D62Cu, 0xB30Fu, 0x11D2u, {0xB7u, 0xA3u, 0x00u, 0x60u, 0x08u, 0x33u, 0x16u, 0xC1u}};
DECLARE_INTERFACE_(IAllocatorMXF, IMXF) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_IMXF()
    STDMETHOD_(NTSTATUS, GetMessage)(THIS_ PDMUS_KERNEL_EVENT * ppDMKEvt) PURE;
    STDMETHOD_(USHORT, GetBufferSize)(THIS) PURE;
    STDMETHOD_(NTSTATUS, GetBuffer)(THIS_ PBYTE * ppBuffer) PURE;
    STDMETHOD_(NTSTATUS, PutBuffer)(THIS_ PBYTE pBuffer) PURE;
};

// --- The DirectMusic port and miniport ---------------------------------------------------------
// {C096DF9C-FB09-11D1-81B0-0060083316C1}
inline constexpr IID IID_IPortDMus = {
    0xC096DF9Cu, 0xFB09u, 0x11D1u, {0x81u, 0xB0u, 0x00u, 0x60u, 0x08u, 0x33u, 0x16u, 0xC1u}};
// {B7902FE9-FB0A-11D1-81B0-0060083316C1}
#define STATIC_CLSID_PortDMus \
    0xB7902FE9, 0xFB0A, 0x11D1, 0x81, 0xB0, 0x00, 0x60, 0x08, 0x33, 0x16, 0xC1
Q407_DEFINE_STATIC_GUID(CLSID_PortDMus);
DECLARE_INTERFACE_(IPortDMus, IPort) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORT()
    STDMETHOD_(void, Notify)(THIS_ PSERVICEGROUP ServiceGroup OPTIONAL) PURE;
    STDMETHOD_(void, RegisterServiceGroup)(THIS_ PSERVICEGROUP ServiceGroup) PURE;
};
using PPORTDMUS = IPortDMus*;

// {C096DF9D-FB09-11D1-81B0-0060083316C1}
inline constexpr IID IID_IMiniportDMus = {
    0xC096DF9Du, 0xFB09u, 0x11D1u, {0x81u, 0xB0u, 0x00u, 0x60u, 0x08u, 0x33u, 0x16u, 0xC1u}};
DECLARE_INTERFACE_(IMiniportDMus, IMiniport) {
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()
    STDMETHOD_(NTSTATUS, Init)
    (THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTDMUS Port,
     PSERVICEGROUP * ServiceGroup) PURE;
    STDMETHOD_(void, Service)(THIS) PURE;
    STDMETHOD_(NTSTATUS, NewStream)
    (THIS_ PMXF * MXF, PUNKNOWN OuterUnknown OPTIONAL, POOL_TYPE PoolType, ULONG PinID,
     DMUS_STREAM_TYPE StreamType, PKSDATAFORMAT DataFormat, PSERVICEGROUP * ServiceGroup,
     PAllocatorMXF AllocatorMXF, PMASTERCLOCK MasterClock, PULONGLONG SchedulePreFetch) PURE;
};
using PMINIPORTDMUS = IMiniportDMus*;

// The UART-style DirectMusic miniports' class identifiers (also the synthesizer GUIDs of an
// external MPU-401 output and input).
#define STATIC_CLSID_MiniportDriverDMusUART \
    0xD3F0CE1C, 0xFFFC, 0x11D1, 0x81, 0xB0, 0x00, 0x60, 0x08, 0x33, 0x16, 0xC1
Q407_DEFINE_STATIC_GUID(CLSID_MiniportDriverDMusUART);
#define STATIC_CLSID_MiniportDriverDMusUARTCapture \
    0xD3F0CE1D, 0xFFFC, 0x11D1, 0x81, 0xB0, 0x00, 0x60, 0x08, 0x33, 0x16, 0xC1
Q407_DEFINE_STATIC_GUID(CLSID_MiniportDriverDMusUARTCapture);

// --- Synthesizer properties --------------------------------------------------------------------
#define STATIC_KSPROPSETID_Synth \
    0xFEDFAE25, 0xE46E, 0x11D1, 0xAA, 0xCE, 0x00, 0x00, 0xF8, 0x75, 0xAC, 0x12
Q407_DEFINE_STATIC_GUID(KSPROPSETID_Synth);
enum KSPROPERTY_SYNTH {
    KSPROPERTY_SYNTH_VOLUME = 0,
    KSPROPERTY_SYNTH_VOLUMEBOOST,
    KSPROPERTY_SYNTH_CAPS,
    KSPROPERTY_SYNTH_PORTPARAMETERS,
    KSPROPERTY_SYNTH_CHANNELGROUPS,
    KSPROPERTY_SYNTH_VOICEPRIORITY,
    KSPROPERTY_SYNTH_LATENCYCLOCK,
    KSPROPERTY_SYNTH_RUNNINGSTATS
};

#define SYNTH_PC_DLS 0x00000001
#define SYNTH_PC_EXTERNAL 0x00000002
#define SYNTH_PC_SOFTWARESYNTH 0x00000004
#define SYNTH_PC_MEMORYSIZEFIXED 0x00000008
#define SYNTH_PC_GMINHARDWARE 0x00000010
#define SYNTH_PC_GSINHARDWARE 0x00000020
#define SYNTH_PC_REVERB 0x00000040

// The description is 128 UTF-16 units as on Windows (the bench's WCHAR is wider), so the record
// keeps its 296 bytes; write it from a u"" literal.
struct SYNTHCAPS {
    GUID Guid;
    DWORD Flags;
    DWORD MemorySize;
    DWORD MaxChannelGroups;
    DWORD MaxVoices;
    DWORD MaxAudioChannels;
    DWORD EffectFlags;
    char16_t Description[128];
};
using PSYNTHCAPS = SYNTHCAPS*;
static_assert(sizeof(SYNTHCAPS) == 296);
static_assert(offsetof(SYNTHCAPS, Description) == 40);

#define SYNTH_PORTPARAMS_VOICES 0x0001
#define SYNTH_PORTPARAMS_CHANNELGROUPS 0x0002
#define SYNTH_PORTPARAMS_AUDIOCHANNELS 0x0004
#define SYNTH_PORTPARAMS_SAMPLERATE 0x0008
#define SYNTH_PORTPARAMS_EFFECTS 0x0020
#define SYNTH_PORTPARAMS_SHARE 0x0040

struct SYNTH_PORTPARAMS {
    DWORD ValidParams;
    DWORD Voices;
    DWORD ChannelGroups;
    DWORD AudioChannels;
    DWORD SampleRate;
    DWORD EffectsFlags;
    DWORD Share;
};
using PSYNTH_PORTPARAMS = SYNTH_PORTPARAMS*;
static_assert(sizeof(SYNTH_PORTPARAMS) == 28);
