// The mixer subdevices' miniport: each of the nine describes the analog side of its wave
// subdevice (a line-out fed by the wave filter's playback, a line-in feeding its recording, with a
// volume and a mute node on each path). Mixers 1 to 4 let the system operate their mute nodes;
// a change goes to Q407DRV over the stream link.
//
// Every subdevice has description tables of its own (nothing is patched between subdevices), so
// the port may read them at any time.
#pragma once

#include "platform/portcls/portcls.h"

namespace q407::wdm {

inline constexpr ULONG kTopologySubdevices = 9;
inline constexpr ULONG kTopologyNodes = 4;

// Pins of every mixer filter.
inline constexpr ULONG kTopologyPinFromWave = 0;  // fed by the wave filter's playback
inline constexpr ULONG kTopologyPinLineOut = 1;
inline constexpr ULONG kTopologyPinLineIn = 2;
inline constexpr ULONG kTopologyPinToWave = 3;  // feeds the wave filter's recording

// Creates a mixer miniport from the driver's non-paged pool; *unknown receives one counted
// reference to its IUnknown. Its Init takes the stream link record as the adapter object and
// copies the record's index as its subdevice number.
NTSTATUS CreateTopologyMiniport(PUNKNOWN* unknown);

// The physical connections between wave subdevice `index` and its mixer, four pin numbers:
// [0] mixer pin fed by the wave filter, [1] mixer pin feeding the wave filter, [2] wave pin fed
// by the mixer, [3] wave pin feeding the mixer: wave pin [3] -> mixer pin [0] and mixer pin [1] ->
// wave pin [2], each made only when both of its pins are non-negative. Null for an index above 8.
inline constexpr ULONG kTopologyConnectionEntries = 4;
inline constexpr ULONG kTopologyConnectionMixerFromWave = 0;
inline constexpr ULONG kTopologyConnectionMixerToWave = 1;
inline constexpr ULONG kTopologyConnectionWaveFromMixer = 2;
inline constexpr ULONG kTopologyConnectionWaveToMixer = 3;
const int* TopologyConnectionTable(ULONG index);

// The driver-global mute table (9 subdevices x 4 nodes, 0 or 1), not persisted. Driver entry
// clears it so that a reload starts unmuted.
void ResetTopologyMutes();
ULONG TopologyMute(ULONG subdevice, ULONG node);  // 0 outside the table

}  // namespace q407::wdm
