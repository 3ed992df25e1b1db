// Wave format validation for stream creation and set-format.
#include "wdmdriver/wave_format.h"

namespace q407::wdm {
namespace {

constexpr ULONG kRates[] = {44100, 48000, 88200, 96000};
constexpr ULONG kCompressedMinRate = 44100;
constexpr ULONG kCompressedMaxRate = 96000;

// {xxxxxxxx-0000-0010-8000-00AA00389B71}: the tail every wave-format subtype GUID shares.
BOOLEAN HasStandardTail(const GUID& guid) {
    constexpr UCHAR kTail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    if (guid.Data2 != 0x0000 || guid.Data3 != 0x0010) return FALSE;
    for (ULONG i = 0; i < 8; ++i)
        if (guid.Data4[i] != kTail[i]) return FALSE;
    return TRUE;
}

BOOLEAN PcmBits(USHORT bits) {
    return bits >= 16 && bits <= 32 && bits != 24;
}

}  // namespace

BOOLEAN IsDeviceRate(ULONG rate) {
    for (ULONG r : kRates)
        if (r == rate) return TRUE;
    return FALSE;
}

BOOLEAN IsCompressedSubformat(ULONG subformatWord) {
    return subformatWord == 0x08 || subformatWord == kFormatTagAc3Spdif ||
           subformatWord == kFormatTagWmaSpdif;
}

BOOLEAN ReadWaveFormat(const KSDATAFORMAT* format, ULONG formatBytes, WaveFormatFacts* facts) {
    if (format == nullptr || facts == nullptr || formatBytes < kDataFormatBytes) return FALSE;
    RtlZeroMemory(facts, sizeof(*facts));
    KSDATAFORMAT header;
    RtlCopyMemory(&header, format, kDataFormatBytes);
    // The size the format claims may not reach past the bytes given.
    ULONG bytes = header.FormatSize < formatBytes ? header.FormatSize : formatBytes;
    if (!IsEqualGUID(header.MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) return FALSE;
    if (!HasStandardTail(header.SubFormat)) return FALSE;
    ULONG offset = kDataFormatBytes;
    if (IsEqualGUID(header.Specifier, KSDATAFORMAT_SPECIFIER_DSOUND))
        offset += kDirectSoundDescHeaderBytes;
    else if (!IsEqualGUID(header.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
        return FALSE;
    if (bytes < offset || bytes - offset < kWaveFormatExBytes) return FALSE;

    const auto* base = reinterpret_cast<const UCHAR*>(format) + offset;
    WAVEFORMATEX wave;
    RtlCopyMemory(&wave, base, kWaveFormatExBytes);
    facts->formatTag = wave.wFormatTag;
    facts->channels = wave.nChannels;
    facts->rate = wave.nSamplesPerSec;
    facts->bitsPerSample = wave.wBitsPerSample;
    facts->blockAlign = wave.nBlockAlign;
    facts->subformatWord = header.SubFormat.Data1;
    if (wave.wFormatTag == kFormatTagExtensible) {
        if (wave.cbSize < kExtensibleExtraBytes || bytes - offset < kWaveFormatExtensibleBytes)
            return FALSE;
        WAVEFORMATEXTENSIBLE extensible;
        RtlCopyMemory(&extensible, base, kWaveFormatExtensibleBytes);
        facts->extensiblePcm =
            IsEqualGUID(extensible.SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ? TRUE : FALSE;
        facts->channelMask = extensible.dwChannelMask;
    }
    return TRUE;
}

NTSTATUS CheckWaveFormat(const WaveFormatFacts& facts, ULONG maxChannels) {
    switch (facts.formatTag) {
        case kFormatTagPcm:
        case kFormatTagExtensible: {
            const BOOLEAN extensible = facts.formatTag == kFormatTagExtensible;
            if (extensible && !facts.extensiblePcm) return STATUS_INVALID_PARAMETER;
            const ULONG most = extensible ? (maxChannels < 8 ? maxChannels : 8) : 2;
            if (facts.channels < 2 || facts.channels > most) return STATUS_INVALID_PARAMETER;
            if (!PcmBits(facts.bitsPerSample) || !IsDeviceRate(facts.rate))
                return STATUS_INVALID_PARAMETER;
            if (facts.blockAlign != facts.channels * (facts.bitsPerSample / 8))
                return STATUS_INVALID_PARAMETER;
            return STATUS_SUCCESS;
        }
        case kFormatTagAc3Spdif:
        case kFormatTagWmaSpdif:
            // At least one channel: the stream divides by the count.
            if (facts.channels < 1 || facts.channels > 2 || facts.channels > maxChannels)
                return STATUS_INVALID_PARAMETER;
            if (facts.bitsPerSample < 16 || facts.bitsPerSample > 24)
                return STATUS_INVALID_PARAMETER;
            if (facts.rate < kCompressedMinRate || facts.rate > kCompressedMaxRate)
                return STATUS_INVALID_PARAMETER;
            return STATUS_SUCCESS;
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS ValidateWaveFormat(const KSDATAFORMAT* format, ULONG formatBytes, ULONG maxChannels,
                            WaveFormatFacts* facts) {
    if (!ReadWaveFormat(format, formatBytes, facts)) return STATUS_INVALID_PARAMETER;
    return CheckWaveFormat(*facts, maxChannels);
}

}  // namespace q407::wdm
