// The device facade: one record per started device between the outside world (control messages,
// the WDM audio driver's link, Plug and Play) and the device's streaming engine. It owns the
// engine and its work area, the status mappings and event slots of the user-mode clients, and the
// WDM driver's notification tables, and it turns requests into engine operations.
//
// Lifecycle operations and control operations run at PASSIVE_LEVEL; the notification entry points
// run at DISPATCH_LEVEL in the engine's completions and take no lock.
#pragma once

#include "platform/kernel/wdk.h"
#include "shared/engine_status.h"
#include "usbdriver/engine/engine_notifications.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407 {

inline constexpr ULONG kWorkAreaBytes = 688224;
inline constexpr ULONG kStatusBlockOffset = 688128;
static_assert(kWorkAreaBytes == kSharedBlockBytes && kStatusBlockOffset == kSharedStatusOffset);

inline constexpr LONG kEventSlotCount = 16;
inline constexpr LONG kPanelEventSlot = 0;    // held, never signalled
inline constexpr LONG kAsioEventSlot = 1;     // one signal per ASIO period
inline constexpr LONG kRemovalEventSlot = 3;  // signalled by the removal notice

inline constexpr LONG kMidiPortCount = 16;
inline constexpr LONG kNotifyStreamCount = 16;
inline constexpr LONG kNotifyCodeCount = 16;
inline constexpr LONG kNotifiedStreams = 9;  // stream numbers 0..8 are notified each period

inline constexpr ULONG kTraceComponent = 79;

// Called with (direction, code, context).
using StreamNotifyCallback = void (*)(LONG direction, LONG code, PVOID context);
// Called with (1, 0, context, argument): argument 0 for MIDI input, 1 for the device going away.
using MidiInNotifyCallback = void (*)(LONG direction, LONG code, PVOID context, LONG argument);

struct MidiInNotification {
    MidiInNotifyCallback callback;
    PVOID context;
};

struct StreamNotification {
    LONG active;
    StreamNotifyCallback callback;
    PVOID context;
};

// Who holds a status mapping or an event slot: the handle (file object) it came through and the
// process whose view the mapping lives in (referenced), so that it is released in that process's
// context and when that handle is cleaned up.
struct ClientOwner {
    PFILE_OBJECT file;
    PEPROCESS process;
};

enum class MappingSlot : LONG { Panel = 0, Asio = 1 };

struct DeviceFacade {
    PUCHAR workArea;
    ULONG workAreaSize;
    PMDL panelMappingMdl;
    EngineStatus* statusBlock;
    PVOID panelMappingAddress;
    PMDL asioMappingMdl;
    PVOID asioMappingAddress;
    MidiInNotification midiInTable[kMidiPortCount];
    StreamNotification streamTable[2][kNotifyStreamCount][kNotifyCodeCount];
    PKEVENT eventSlots[kEventSlotCount];
    PDEVICE_OBJECT deviceObject;
    StreamEngine* engine;

    // Beyond the record's public fields: what the clean-up of a client needs and the engine's
    // notification table, which must outlive the engine.
    ClientOwner panelMappingOwner;
    ClientOwner asioMappingOwner;
    PFILE_OBJECT eventOwners[kEventSlotCount];
    volatile LONG eventSignallers;  // notification entry points inside an event slot read
    KEVENT attachmentLock;          // synchronisation event: mapping and event slot updates
    EngineNotifications notifications;
    PKTHREAD settingsThread;  // referenced while the settings-apply thread may run
};

// --- Lifecycle (PASSIVE_LEVEL) ---------------------------------------------------------------
// Allocates the record and initialises it; on any failure the partial facade is destroyed and
// *facade stays null. STATUS_INSUFFICIENT_RESOURCES when the record or the engine cannot be had.
NTSTATUS CreateFacade(PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT lowerDevice,
                      DeviceFacade** facade);
NTSTATUS InitializeFacade(DeviceFacade* facade, PDEVICE_OBJECT deviceObject,
                          PDEVICE_OBJECT lowerDevice);
// The removal notice: the WDM MIDI port is told, the settings saved, the panel's mapping released
// and its removal event signalled.
void NotifyRemoval(DeviceFacade* facade);
// Stops streaming, releases both mappings and every event reference, releases the engine and the
// work area, and frees the record.
void DestroyFacade(DeviceFacade* facade);

// --- Notification entry points (DISPATCH_LEVEL, no lock) ---------------------------------------
LONG SignalAsioPeriod(DeviceFacade* facade);
void NotifyInputPeriod(DeviceFacade* facade);
void NotifyOutputPeriod(DeviceFacade* facade);
void NotifyMidiIn(DeviceFacade* facade);

// --- Registration by the WDM audio driver's link -----------------------------------------------
// A null context makes the entry inactive. Out-of-range indexes give STATUS_INVALID_PARAMETER.
NTSTATUS RegisterStreamNotification(DeviceFacade* facade, LONG direction, LONG stream, LONG code,
                                    StreamNotifyCallback callback, PVOID context);
NTSTATUS RegisterMidiInNotification(DeviceFacade* facade, LONG port, MidiInNotifyCallback callback,
                                    PVOID context);

// --- Operations behind the control messages ----------------------------------------------------
// Counts the channels 0..7 open in all four client slots and both directions; when the flag is 0
// or 1 and none is open, EnableStreaming(flag).
void GateStreaming(DeviceFacade* facade, LONG flag);
// 1 when any client slot has any channel 0..15 open in either direction.
LONG AnyChannelOpen(const DeviceFacade* facade);
// 1 when the MME or DOLBY slot has an input channel open (a WDM recording runs).
LONG WdmRecordingRuns(const DeviceFacade* facade);

// --- Settings-apply thread (link function 17) --------------------------------------------------
// The topology control (subdevice, control index, value, value) is entered into a copy of the
// current settings block, which a short-lived system thread then applies. Ignored while a
// previous thread still runs.
void StartSettingsApply(DeviceFacade* facade, ULONG subdevice, ULONG control, ULONG value,
                        ULONG value2);
// Which settings field a topology control stands for: the playback mute (node 1) of the first
// four subdevices sets the MME group's outputs-off switch; other controls change nothing.
void EnterTopologyControl(MixerSettings* block, ULONG subdevice, ULONG control, ULONG value);

}  // namespace q407
