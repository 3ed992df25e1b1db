#include "sim/host/portcls/pin_intersection.h"

#include "sim/host/portcls/port_pool_tags.h"

#ifndef STATUS_NOT_FOUND
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#endif

namespace q407::sim::portcls {
namespace {

// More pins or ranges than any audio filter has: a description beyond this is corrupt.
constexpr ULONG kMaxPins = 256;
constexpr ULONG kMaxRanges = 64;

bool Matches(const GUID& own, const GUID& wanted) {
    return IsEqualGUID(own, wanted) || IsEqualGUID(own, GUID_NULL);
}

}  // namespace

const PCPIN_DESCRIPTOR* PinDescriptorAt(const PCFILTER_DESCRIPTOR* filter, ULONG pinId) {
    if (filter == nullptr || filter->Pins == nullptr || filter->PinCount > kMaxPins ||
        pinId >= filter->PinCount || filter->PinSize < sizeof(PCPIN_DESCRIPTOR))
        return nullptr;
    // Pins are PinSize apart: a miniport may append its own fields to each.
    return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(filter->Pins) +
                                                     SIZE_T(pinId) * filter->PinSize);
}

NTSTATUS FindStreamingPin(const PCFILTER_DESCRIPTOR* filter, bool capture, PinMajor major,
                          ULONG* pinId) {
    if (filter == nullptr || filter->PinCount > kMaxPins ||
        (filter->PinCount != 0 &&
         (filter->Pins == nullptr || filter->PinSize < sizeof(PCPIN_DESCRIPTOR))))
        return STATUS_INVALID_PARAMETER;
    const GUID& wanted =
        major == PinMajor::Audio ? KSDATAFORMAT_TYPE_AUDIO : KSDATAFORMAT_TYPE_MUSIC;
    const KSPIN_DATAFLOW flow = capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    for (ULONG i = 0; i < filter->PinCount; ++i) {
        const KSPIN_DESCRIPTOR& pin = PinDescriptorAt(filter, i)->KsPinDescriptor;
        if (pin.DataFlow != flow) continue;
        if (pin.Communication != KSPIN_COMMUNICATION_SINK &&
            pin.Communication != KSPIN_COMMUNICATION_BOTH)
            continue;
        if (pin.DataRangesCount == 0 || pin.DataRangesCount > kMaxRanges ||
            pin.DataRanges == nullptr || pin.DataRanges[0] == nullptr)
            continue;
        if (!IsEqualGUID(pin.DataRanges[0]->MajorFormat, wanted)) continue;
        *pinId = i;
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_FOUND;
}

KSDATARANGE_AUDIO WaveClientRange(const WavePinFormat& format) {
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range.DataRange.SampleSize = ULONG(format.channels) * (format.bitsPerSample / 8);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = format.channels;
    range.MinimumBitsPerSample = format.bitsPerSample;
    range.MaximumBitsPerSample = format.bitsPerSample;
    range.MinimumSampleFrequency = format.rate;
    range.MaximumSampleFrequency = format.rate;
    return range;
}

bool AudioRangeCovers(const KSDATARANGE* own, const WavePinFormat& format) {
    if (own == nullptr || !Matches(own->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
        !Matches(own->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ||
        !Matches(own->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
        return false;
    if (own->FormatSize < sizeof(KSDATARANGE_AUDIO)) return true;  // no limits given
    const auto* audio = reinterpret_cast<const KSDATARANGE_AUDIO*>(own);
    return format.channels <= audio->MaximumChannels &&
           format.bitsPerSample >= audio->MinimumBitsPerSample &&
           format.bitsPerSample <= audio->MaximumBitsPerSample &&
           format.rate >= audio->MinimumSampleFrequency &&
           format.rate <= audio->MaximumSampleFrequency;
}

NTSTATUS IntersectWaveFormat(PMINIPORT miniport, const PCFILTER_DESCRIPTOR* filter, ULONG pinId,
                             const WavePinFormat& format) {
    const PCPIN_DESCRIPTOR* pin = PinDescriptorAt(filter, pinId);
    if (pin == nullptr) return STATUS_INVALID_PARAMETER;
    const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
    if (ks.DataRangesCount > kMaxRanges || (ks.DataRangesCount != 0 && ks.DataRanges == nullptr))
        return STATUS_INVALID_PARAMETER;
    KSDATARANGE_AUDIO client = WaveClientRange(format);
    NTSTATUS refusal = STATUS_NO_MATCH;
    for (ULONG i = 0; i < ks.DataRangesCount; ++i) {
        PKSDATARANGE own = ks.DataRanges[i];
        if (own == nullptr) continue;
        ULONG size = 0;
        NTSTATUS status = miniport->DataRangeIntersection(
            pinId, reinterpret_cast<PKSDATARANGE>(&client), own, 0, nullptr, &size);
        if (status == STATUS_NOT_IMPLEMENTED) {
            if (AudioRangeCovers(own, format)) return STATUS_SUCCESS;
            continue;
        }
        if (status == STATUS_BUFFER_OVERFLOW && size != 0 && size <= 0x10000) {
            PVOID result = ExAllocatePoolWithTag(NonPagedPool, size, kWavePciPoolTag);
            if (result == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
            ULONG written = 0;
            status = miniport->DataRangeIntersection(pinId, reinterpret_cast<PKSDATARANGE>(&client),
                                                     own, size, result, &written);
            ExFreePoolWithTag(result, kWavePciPoolTag);
            if (NT_SUCCESS(status) && written > size) return STATUS_BUFFER_OVERFLOW;
        }
        if (NT_SUCCESS(status)) return STATUS_SUCCESS;
        refusal = status;
    }
    return refusal;
}

}  // namespace q407::sim::portcls
