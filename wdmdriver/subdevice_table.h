// The adapter's subdevices: the names of each wave/mixer pair and the physical connections
// between the pair's filters.
#pragma once

#include "platform/kernel/wdk.h"

namespace q407::wdm {

// Pins a wave/mixer pair connects, in the order {mixer pin fed by the wave filter, mixer pin
// feeding the wave filter, wave pin fed by the mixer, wave pin feeding the mixer}; a negative
// entry makes no connection.
struct PairConnections {
    LONG mixerPinFromWave;
    LONG mixerPinToWave;
    LONG wavePinFromMixer;
    LONG wavePinToMixer;
};

// Playback and recording (0..3): both ways; recording only (4..7): mixer to wave; the
// multichannel playback (8): wave to mixer.
inline PairConnections ConnectionsOfPair(ULONG index) {
    if (index < 4) return {0, 3, 3, 1};
    if (index < 8) return {-1, 3, 3, -1};
    return {0, -1, -1, 1};
}

inline constexpr WCHAR kWaveNameFormat[] = L"ZEL_Wave%d";
inline constexpr WCHAR kMixerNameFormat[] = L"ZEL_Mixer%d";
inline constexpr WCHAR kMidiNameFormat[] = L"ZEL_Midi%d";
// Room for any subdevice name.
inline constexpr ULONG kSubdeviceNameChars = 32;

}  // namespace q407::wdm
