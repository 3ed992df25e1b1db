// The adapter's subdevices: the names of each wave/mixer pair and of the MIDI subdevice.
#pragma once

#include "platform/kernel/wdk.h"

namespace q407::wdm {

inline constexpr WCHAR kWaveNameFormat[] = L"ZEL_Wave%d";
inline constexpr WCHAR kMixerNameFormat[] = L"ZEL_Mixer%d";
inline constexpr WCHAR kMidiNameFormat[] = L"ZEL_Midi%d";
// Room for any subdevice name.
inline constexpr ULONG kSubdeviceNameChars = 32;

}  // namespace q407::wdm
