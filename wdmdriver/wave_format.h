// The wave formats a stream accepts. A data format comes from a client through the audio stack:
// every field is read only after the bytes behind it are known to be there.
//
// Accepted: audio with the standard subformat GUID tail and a WAVEFORMATEX or DirectSound
// specifier, then by format tag
//   - PCM (1): 2 channels, 16 to 32 bits but not 24, one of the four device rates;
//   - extensible (0xFFFE) with PCM subformat: 2 to 8 channels, the same bits and rates;
//   - 0x92 and 0x164 (compressed pass-through): 1 or 2 channels, 16 to 24 bits, 44.1 to 96 kHz.
// Integer PCM samples travel in containers of bits / 8 bytes, and the block alignment must say
// so: the stream steps through the client's bytes by it.
#pragma once

#include "platform/portcls/portcls.h"

namespace q407::wdm {

inline constexpr ULONG kDataFormatBytes = sizeof(KSDATAFORMAT);
static_assert(kDataFormatBytes == 64);
inline constexpr ULONG kWaveFormatExBytes = 18;          // WAVEFORMATEX without padding
inline constexpr ULONG kWaveFormatExtensibleBytes = 40;  // WAVEFORMATEXTENSIBLE
inline constexpr ULONG kDirectSoundDescHeaderBytes = 8;  // Flags, Control before the format
inline constexpr USHORT kExtensibleExtraBytes = 22;
inline constexpr USHORT kFormatTagPcm = 1;
inline constexpr USHORT kFormatTagExtensible = 0xFFFE;
inline constexpr USHORT kFormatTagAc3Spdif = 0x92;
inline constexpr USHORT kFormatTagWmaSpdif = 0x164;

// What a stream needs of a format.
struct WaveFormatFacts {
    USHORT formatTag;
    USHORT channels;
    ULONG rate;
    USHORT bitsPerSample;
    USHORT blockAlign;
    ULONG subformatWord;    // the data format's subformat, first word
    BOOLEAN extensiblePcm;  // extensible with the PCM subformat
    ULONG channelMask;      // extensible only
};

// The four rates of the device.
BOOLEAN IsDeviceRate(ULONG rate);

// Locates and reads the wave format inside formatBytes bytes at format. FALSE when the bytes do
// not hold an audio data format with a readable WAVEFORMATEX.
BOOLEAN ReadWaveFormat(const KSDATAFORMAT* format, ULONG formatBytes, WaveFormatFacts* facts);

// The value checks above; maxChannels is 2 for the stereo subdevices and 8 for the multichannel
// one. STATUS_SUCCESS or STATUS_INVALID_PARAMETER.
NTSTATUS CheckWaveFormat(const WaveFormatFacts& facts, ULONG maxChannels);

// Both: read, then check. STATUS_INVALID_PARAMETER for anything not accepted.
NTSTATUS ValidateWaveFormat(const KSDATAFORMAT* format, ULONG formatBytes, ULONG maxChannels,
                            WaveFormatFacts* facts);

// Pass-through formats whose rate change the engine handles differently.
BOOLEAN IsCompressedSubformat(ULONG subformatWord);

}  // namespace q407::wdm
