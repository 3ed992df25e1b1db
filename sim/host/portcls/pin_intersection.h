// How a port picks and checks a streaming pin before it creates one: the pin of the wanted
// direction in the filter's description, and the data-range intersection that the miniport
// answers (or the port's own, when the miniport leaves it to the port).
//
// Everything in the description comes from the miniport: counts and sizes are checked before
// they are followed.
#pragma once

#include "platform/portcls/portcls.h"
#include "sim/host/portcls/wave_pci_pin.h"

#ifndef STATUS_NO_MATCH
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)
#endif

namespace q407::sim::portcls {

enum class PinMajor { Audio, Music };

// The first streaming pin (sink or both, not a bridge) whose data flows in (render/playback) or
// out (capture/recording) and whose first data range has the major format. STATUS_NOT_FOUND when
// there is none; STATUS_INVALID_PARAMETER for a description that is malformed.
NTSTATUS FindStreamingPin(const PCFILTER_DESCRIPTOR* filter, bool capture, PinMajor major,
                          ULONG* pinId);

// The pin's descriptor, or null when pinId is out of range or the description malformed.
const PCPIN_DESCRIPTOR* PinDescriptorAt(const PCFILTER_DESCRIPTOR* filter, ULONG pinId);

// The client's range for a wave format: exactly the format's channels, bits and rate.
KSDATARANGE_AUDIO WaveClientRange(const WavePinFormat& format);

// The port's own intersection when the miniport has none: the audio range covers the format.
bool AudioRangeCovers(const KSDATARANGE* own, const WavePinFormat& format);

// Asks the miniport to intersect the client's range with each of the pin's ranges, as the
// audio stack does before it creates a pin: the size first, then the format. STATUS_SUCCESS when
// one matches; the miniport's refusal (or STATUS_NO_MATCH) when none does. A miniport that
// leaves intersection to the port (STATUS_NOT_IMPLEMENTED) gets the port's own.
NTSTATUS IntersectWaveFormat(PMINIPORT miniport, const PCFILTER_DESCRIPTOR* filter, ULONG pinId,
                             const WavePinFormat& format);

}  // namespace q407::sim::portcls
