// Data-range intersection of the wave pins.
#include "wdmdriver/wave_data_range.h"

#include "wdmdriver/wave_format.h"

namespace q407::wdm {
namespace {

constexpr ULONG kAudioRangeBytes = sizeof(KSDATARANGE_AUDIO);

BOOLEAN ReadAudioRange(const KSDATARANGE* range, ULONG bytes, KSDATARANGE_AUDIO* audio) {
    if (range == nullptr || bytes < kAudioRangeBytes) return FALSE;
    RtlCopyMemory(audio, range, kAudioRangeBytes);
    return audio->DataRange.FormatSize >= kAudioRangeBytes;
}

BOOLEAN AcceptableBits(ULONG bits) {
    return bits != 24;
}

}  // namespace

ULONG ChannelMaskFor(ULONG channels) {
    switch (channels) {
        case 2:
            return 0x3;  // front left and right
        case 4:
            return 0x33;  // quad
        case 6:
            return 0x3F;  // 5.1
        case 7:
            return 0x70F;  // 5.1 with back centre and sides
        case 8:
            return 0x63F;  // 7.1 surround
        default:
            return 0;
    }
}

NTSTATUS IntersectWaveRange(const IntersectionQuery& query, ULONG bufferLength, PVOID result,
                            PULONG resultLength) {
    if (resultLength == nullptr) return STATUS_INVALID_PARAMETER;
    if (bufferLength == 0) {
        *resultLength = kIntersectionFormatBytes;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (bufferLength < kIntersectionFormatBytes || result == nullptr)
        return STATUS_BUFFER_TOO_SMALL;

    KSDATARANGE_AUDIO client;
    KSDATARANGE_AUDIO own;
    if (!ReadAudioRange(query.clientRange, query.clientRangeBytes, &client) ||
        !ReadAudioRange(query.ownRange, query.ownRangeBytes, &own))
        return STATUS_NO_MATCH;
    if (!AcceptableBits(client.MinimumBitsPerSample) ||
        !AcceptableBits(client.MaximumBitsPerSample) || client.MinimumBitsPerSample < 16 ||
        client.MaximumBitsPerSample > 32)
        return STATUS_NO_MATCH;
    // A range whose maximum lies below its minimum names no width at all; taken as given it
    // would answer a width below 16 bits that no stream accepts.
    if (client.MaximumBitsPerSample < client.MinimumBitsPerSample) return STATUS_NO_MATCH;
    if (!IsDeviceRate(client.MinimumSampleFrequency) ||
        !IsDeviceRate(client.MaximumSampleFrequency))
        return STATUS_NO_MATCH;
    const ULONG mostChannels = query.multichannel ? 8 : 2;
    if (client.MaximumChannels < 2 || client.MaximumChannels > mostChannels) return STATUS_NO_MATCH;

    ULONG channels =
        own.MaximumChannels < client.MaximumChannels ? own.MaximumChannels : client.MaximumChannels;
    if (query.pin == kRecordingPin || channels > 8) channels = 2;
    const ULONG mask = ChannelMaskFor(channels);
    if (mask == 0) return STATUS_NO_MATCH;
    const ULONG bits = own.MaximumBitsPerSample < client.MaximumBitsPerSample
                           ? own.MaximumBitsPerSample
                           : client.MaximumBitsPerSample;
    const ULONG blockAlign = channels * bits / 8;

    KSDATAFORMAT header;
    RtlZeroMemory(&header, sizeof(header));
    header.FormatSize = kIntersectionFormatBytes;
    header.SampleSize = blockAlign;
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    WAVEFORMATEXTENSIBLE wave;
    RtlZeroMemory(&wave, sizeof(wave));
    wave.Format.wFormatTag = query.multichannel ? kFormatTagExtensible : kFormatTagPcm;
    wave.Format.nChannels = static_cast<WORD>(channels);
    wave.Format.nSamplesPerSec = query.deviceRate;
    wave.Format.nBlockAlign = static_cast<WORD>(blockAlign);
    wave.Format.nAvgBytesPerSec = query.deviceRate * blockAlign;
    wave.Format.wBitsPerSample = static_cast<WORD>(bits);
    wave.Format.cbSize = kExtensibleExtraBytes;
    wave.Samples.wValidBitsPerSample = static_cast<WORD>(bits);
    wave.dwChannelMask = mask;
    wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;

    auto* out = static_cast<UCHAR*>(result);
    RtlCopyMemory(out, &header, kDataFormatBytes);
    RtlCopyMemory(out + kDataFormatBytes, &wave, kWaveFormatExtensibleBytes);
    *resultLength = kIntersectionFormatBytes;
    return STATUS_SUCCESS;
}

}  // namespace q407::wdm
