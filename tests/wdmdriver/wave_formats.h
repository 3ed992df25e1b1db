// Data formats and ranges as a client's audio stack sends them, built byte by byte.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/portcls/portcls.h"

namespace q407::testing {

struct WaveFormatRequest {
    uint16_t tag = 1;
    uint16_t channels = 2;
    uint32_t rate = 48000;
    uint16_t bits = 16;
    int blockAlign = -1;      // -1: channels x bits / 8
    bool extensible = false;  // KSDATAFORMAT + WAVEFORMATEXTENSIBLE (tag 0xFFFE unless set)
    GUID extensibleSubformat = KSDATAFORMAT_SUBTYPE_PCM;
    GUID subformat = KSDATAFORMAT_SUBTYPE_PCM;
    GUID major = KSDATAFORMAT_TYPE_AUDIO;
    GUID specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    bool directSound = false;  // specifier DSOUND, 8 bytes before the wave format
};

inline std::vector<uint8_t> MakeFormat(const WaveFormatRequest& wanted) {
    const size_t waveOffset = sizeof(KSDATAFORMAT) + (wanted.directSound ? 8 : 0);
    const size_t waveBytes = wanted.extensible ? 40 : 18;
    std::vector<uint8_t> bytes(waveOffset + waveBytes, 0);
    KSDATAFORMAT header{};
    header.FormatSize = static_cast<ULONG>(bytes.size());
    header.MajorFormat = wanted.major;
    header.SubFormat = wanted.subformat;
    header.Specifier = wanted.directSound ? KSDATAFORMAT_SPECIFIER_DSOUND : wanted.specifier;
    std::memcpy(bytes.data(), &header, sizeof(header));
    WAVEFORMATEXTENSIBLE wave{};
    wave.Format.wFormatTag = wanted.extensible && wanted.tag == 1 ? 0xFFFE : wanted.tag;
    wave.Format.nChannels = wanted.channels;
    wave.Format.nSamplesPerSec = wanted.rate;
    const int block =
        wanted.blockAlign >= 0 ? wanted.blockAlign : wanted.channels * (wanted.bits / 8);
    wave.Format.nBlockAlign = static_cast<WORD>(block);
    wave.Format.nAvgBytesPerSec = wanted.rate * static_cast<DWORD>(block);
    wave.Format.wBitsPerSample = wanted.bits;
    wave.Format.cbSize = wanted.extensible ? 22 : 0;
    wave.Samples.wValidBitsPerSample = wanted.bits;
    wave.dwChannelMask = 0x3;
    wave.SubFormat = wanted.extensibleSubformat;
    std::memcpy(bytes.data() + waveOffset, &wave, waveBytes);
    return bytes;
}

inline PKSDATAFORMAT AsFormat(std::vector<uint8_t>& bytes) {
    return reinterpret_cast<PKSDATAFORMAT>(bytes.data());
}

inline KSDATARANGE_AUDIO MakeAudioRange(ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate,
                                        ULONG maxRate) {
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = channels;
    range.MinimumBitsPerSample = minBits;
    range.MaximumBitsPerSample = maxBits;
    range.MinimumSampleFrequency = minRate;
    range.MaximumSampleFrequency = maxRate;
    return range;
}

}  // namespace q407::testing
