// The MIDI subdevice's miniport: the device's MIDI connectors presented to the system as an
// external synthesizer with one output and one input. It owns no hardware: bytes to the device go
// one at a time into the engine's MIDI OUT ring over the stream link, bytes from the device are
// read back from the engine's MIDI IN ring when Q407DRV says that input arrived.
#pragma once

#include "platform/portcls/portcls.h"

namespace q407::wdm {

// Creates the MIDI miniport from the driver's non-paged pool; *unknown receives one counted
// reference to its IUnknown. Its Init takes the stream link record as the adapter object; the
// record's index is the engine's MIDI port number (0).
NTSTATUS CreateMidiMiniport(PUNKNOWN* unknown);

// Pins of the MIDI filter.
inline constexpr ULONG kMidiPinRender = 0;        // MIDI bytes to the device
inline constexpr ULONG kMidiPinRenderDirect = 1;  // DirectMusic events to the device
inline constexpr ULONG kMidiPinBridgeOut = 2;     // the MIDI OUT connector
inline constexpr ULONG kMidiPinBridgeIn = 3;      // the MIDI IN connector
inline constexpr ULONG kMidiPinCapture = 4;       // bytes from the device
inline constexpr ULONG kMidiNodeSynthOut = 0;
inline constexpr ULONG kMidiNodeSynthIn = 1;

inline constexpr ULONG kMidiMaxRenderStreams = 2;
inline constexpr ULONG kMidiMaxCaptureStreams = 1;
inline constexpr ULONG kMidiInputBufferBytes = 1024;  // holds 1,023 bytes
// A MIDI OUT byte the engine's ring refuses is offered again after this long (100 ns units).
inline constexpr LONGLONG kMidiRetryDelay = 20000;

// Argument of the MIDI-input notification that announces the device's removal.
inline constexpr LONG kMidiInputDeviceRemoved = 1;

}  // namespace q407::wdm
