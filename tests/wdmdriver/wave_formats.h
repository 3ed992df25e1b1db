// Data formats and ranges as a client's audio stack sends them, built byte by byte.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/portcls/portcls.h"

namespace q407::testing {

struct FormatSpec {
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

inline std::vector<uint8_t> MakeFormat(const FormatSpec& spec) {
    const size_t waveOffset = sizeof(KSDATAFORMAT) + (spec.directSound ? 8 : 0);
    const size_t waveBytes = spec.extensible ? 40 : 18;
    std::vector<uint8_t> bytes(waveOffset + waveBytes, 0);
    KSDATAFORMAT header{};
    header.FormatSize = static_cast<ULONG>(bytes.size());
    header.MajorFormat = spec.major;
    header.SubFormat = spec.subformat;
    header.Specifier = spec.directSound ? KSDATAFORMAT_SPECIFIER_DSOUND : spec.specifier;
    std::memcpy(bytes.data(), &header, sizeof(header));
    WAVEFORMATEXTENSIBLE wave{};
    wave.Format.wFormatTag = spec.extensible && spec.tag == 1 ? 0xFFFE : spec.tag;
    wave.Format.nChannels = spec.channels;
    wave.Format.nSamplesPerSec = spec.rate;
    const int block = spec.blockAlign >= 0 ? spec.blockAlign : spec.channels * (spec.bits / 8);
    wave.Format.nBlockAlign = static_cast<WORD>(block);
    wave.Format.nAvgBytesPerSec = spec.rate * static_cast<DWORD>(block);
    wave.Format.wBitsPerSample = spec.bits;
    wave.Format.cbSize = spec.extensible ? 22 : 0;
    wave.Samples.wValidBitsPerSample = spec.bits;
    wave.dwChannelMask = 0x3;
    wave.SubFormat = spec.extensibleSubformat;
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
