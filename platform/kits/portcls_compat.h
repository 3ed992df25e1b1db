// Port-class driver code built against the real kit headers (the Windows build): the kernel's
// compatibility header, the kit's port-class, standard-unknown, DirectMusic and kernel-streaming
// media headers, and what mingw-w64's kit lacks of them. Nothing here may differ in meaning from
// the emulation's declarations of the same names (platform/portcls/).
#pragma once

#include "platform/kits/kit_compat.h"

// punknown.h expects these of a kernel-mode build.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE __declspec(novtable)
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW __declspec(nothrow)
#endif
// ksmedia.h names TCHAR in a few records.
#ifndef _TCHAR_DEFINED
typedef WCHAR TCHAR;
#define _TCHAR_DEFINED
#endif

// The port-class interfaces' identifiers are defined in every image that uses them (selectany),
// as the kit ships no library holding them.
#include <initguid.h>
// mmreg.h gives ksmedia.h the wave formats; its bitmap records need GDI, which a driver lacks.
#define NOBITMAP
#include <mmreg.h>

// Real-time wave records the kit's port-class header names but its media header lacks.
typedef struct {
    ULONG FifoSize;
    ULONG ChipsetDelay;
    ULONG CodecDelay;
} KSRTAUDIO_HWLATENCY, *PKSRTAUDIO_HWLATENCY;
typedef struct {
    PVOID Register;
    ULONG Width;
    ULONGLONG Numerator;
    ULONGLONG Denominator;
    ULONG Accuracy;
} KSRTAUDIO_HWREGISTER, *PKSRTAUDIO_HWREGISTER;

// In this order, each relying on the ones before it (kept as separate blocks so that include
// sorting leaves the order alone).
#include <portcls.h>

// The standard unknown builds on the port-class header's kernel COM.
#include <stdunk.h>

// DirectMusic's ports and miniports build on the port interfaces.
#include <dmusicks.h>

// The media formats and audio properties.
#include <ksmedia.h>

// --- What mingw-w64's kit lacks -------------------------------------------------------------
// GUIDs below are initialised from their STATIC_ numbers, as tables write them.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wmissing-braces"

#ifndef STATICGUIDOF
#define STATICGUIDOF(guid) STATIC_##guid
#endif

// Class identifiers as numbers, for tables.
#define STATIC_CLSID_PortWaveCyclic \
    0xB4C90A2A, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44
#define STATIC_CLSID_PortWavePci \
    0xB4C90A54, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44
#define STATIC_CLSID_PortTopology \
    0xB4C90A32, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44
#define STATIC_CLSID_PortDMus \
    0xB7902FE9, 0xFB0A, 0x11D1, 0x81, 0xB0, 0x00, 0x60, 0x08, 0x33, 0x16, 0xC1
#define STATIC_CLSID_MiniportDriverDMusUART \
    0xD3F0CE1C, 0xFFFC, 0x11D1, 0x81, 0xB0, 0x00, 0x60, 0x08, 0x33, 0x16, 0xC1
#define STATIC_CLSID_MiniportDriverDMusUARTCapture \
    0xD3F0CE1D, 0xFFFC, 0x11D1, 0x81, 0xB0, 0x00, 0x60, 0x08, 0x33, 0x16, 0xC1

// Pin capability changes (ksmedia.h of current kits).
#define STATIC_KSEVENTSETID_PinCapsChange \
    0xDD4F192E, 0x3B78, 0x49AD, 0xA5, 0x34, 0x2C, 0x31, 0x5B, 0x82, 0x20, 0x00
EXTERN_C const GUID DECLSPEC_SELECTANY KSEVENTSETID_PinCapsChange = {
    STATIC_KSEVENTSETID_PinCapsChange};
typedef enum {
    KSEVENT_PINCAPS_FORMATCHANGE,
    KSEVENT_PINCAPS_JACKINFOCHANGE
} KSEVENT_PINCAPS_CHANGENOTIFICATIONS;

// DirectMusic's kernel pieces (dmusicks.h and dmusprop.h of the kit).
#define STATIC_KSDATAFORMAT_SUBTYPE_DIRECTMUSIC \
    0x1a82f8bc, 0x3f8b, 0x11d2, 0xb7, 0x74, 0x00, 0x60, 0x08, 0x33, 0x16, 0xc1
EXTERN_C const GUID DECLSPEC_SELECTANY KSDATAFORMAT_SUBTYPE_DIRECTMUSIC = {
    STATIC_KSDATAFORMAT_SUBTYPE_DIRECTMUSIC};
EXTERN_C const GUID DECLSPEC_SELECTANY IID_IMXF = {
    0xC096DF9E, 0xFB09, 0x11D1, {0x81, 0xB0, 0x00, 0x60, 0x08, 0x33, 0x16, 0xC1}};

#pragma clang diagnostic pop

#define DMUS_KEF_EVENT_COMPLETE 0x0000
#define DMUS_KEF_EVENT_INCOMPLETE 0x0001
#define DMUS_KEF_PACKAGE_EVENT 0x0002
#define kBytePositionNone (~(ULONGLONG)0)
#define SHORT_EVT(evt) ((evt)->cbEvent <= sizeof(PBYTE))
#define PACKAGE_EVT(evt) ((evt)->usFlags & DMUS_KEF_PACKAGE_EVENT)
#define INCOMPLETE_EVT(evt) ((evt)->usFlags & DMUS_KEF_EVENT_INCOMPLETE)
#define COMPLETE_EVT(evt) (((evt)->usFlags & DMUS_KEF_EVENT_INCOMPLETE) == 0)

#define STATIC_KSPROPSETID_Synth \
    0xFEDFAE25, 0xE46E, 0x11D1, 0xAA, 0xCE, 0x00, 0x00, 0xF8, 0x75, 0xAC, 0x12
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wmissing-braces"
EXTERN_C const GUID DECLSPEC_SELECTANY KSPROPSETID_Synth = {STATIC_KSPROPSETID_Synth};
#pragma clang diagnostic pop
typedef enum {
    KSPROPERTY_SYNTH_VOLUME = 0,
    KSPROPERTY_SYNTH_VOLUMEBOOST,
    KSPROPERTY_SYNTH_CAPS,
    KSPROPERTY_SYNTH_PORTPARAMETERS,
    KSPROPERTY_SYNTH_CHANNELGROUPS,
    KSPROPERTY_SYNTH_VOICEPRIORITY,
    KSPROPERTY_SYNTH_LATENCYCLOCK,
    KSPROPERTY_SYNTH_RUNNINGSTATS
} KSPROPERTY_SYNTH;

#define SYNTH_PC_DLS 0x00000001
#define SYNTH_PC_EXTERNAL 0x00000002
#define SYNTH_PC_SOFTWARESYNTH 0x00000004
#define SYNTH_PC_MEMORYSIZEFIXED 0x00000008
#define SYNTH_PC_GMINHARDWARE 0x00000010
#define SYNTH_PC_GSINHARDWARE 0x00000020
#define SYNTH_PC_REVERB 0x00000040

typedef struct _SYNTHCAPS {
    GUID Guid;
    DWORD Flags;
    DWORD MemorySize;
    DWORD MaxChannelGroups;
    DWORD MaxVoices;
    DWORD MaxAudioChannels;
    DWORD EffectFlags;
    WCHAR Description[128];
} SYNTHCAPS, *PSYNTHCAPS;

#define SYNTH_PORTPARAMS_VOICES 0x0001
#define SYNTH_PORTPARAMS_CHANNELGROUPS 0x0002
#define SYNTH_PORTPARAMS_AUDIOCHANNELS 0x0004
#define SYNTH_PORTPARAMS_SAMPLERATE 0x0008
#define SYNTH_PORTPARAMS_EFFECTS 0x0020
#define SYNTH_PORTPARAMS_SHARE 0x0040

typedef struct _SYNTH_PORTPARAMS {
    DWORD ValidParams;
    DWORD Voices;
    DWORD ChannelGroups;
    DWORD AudioChannels;
    DWORD SampleRate;
    DWORD EffectsFlags;
    DWORD Share;
} SYNTH_PORTPARAMS, *PSYNTH_PORTPARAMS;

static_assert(sizeof(SYNTHCAPS) == 296, "SYNTHCAPS is 296 bytes");
static_assert(sizeof(DMUS_KERNEL_EVENT) == 40, "DMUS_KERNEL_EVENT is 40 bytes");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "WAVEFORMATEXTENSIBLE is packed");
static_assert(sizeof(KSDATARANGE_AUDIO) == 88, "KSDATARANGE_AUDIO is 88 bytes");
static_assert(sizeof(PCPROPERTY_REQUEST) == 72, "PCPROPERTY_REQUEST is 72 bytes");
