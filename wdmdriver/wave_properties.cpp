// Property handlers of the wave filters.
#include "wdmdriver/wave_properties.h"

#include "wdmdriver/wave_miniport.h"

namespace q407::wdm {

ULONG SpeakerMaskChannels(ULONG mask) {
    switch (mask) {
        case 0xFF:
        case 0x63F:
            return 8;
        case 0x70F:
            return 7;
        case 0x3F:
        case 0x60F:
            return 6;
        case 0x33:
        case 0x107:
            return 4;
        case 0x3:
            return 2;
        default:
            return 0;
    }
}

NTSTATUS NTAPI PropertyHandlerComponentId(PPCPROPERTY_REQUEST request) {
    if (request == nullptr) return STATUS_INVALID_PARAMETER;
    if ((request->Verb & KSPROPERTY_TYPE_GET) == 0) return STATUS_INVALID_DEVICE_REQUEST;
    if (request->ValueSize == 0) {
        request->ValueSize = sizeof(KSCOMPONENTID);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < sizeof(KSCOMPONENTID) || request->Value == nullptr)
        return STATUS_BUFFER_TOO_SMALL;
    KSCOMPONENTID id;
    RtlZeroMemory(&id, sizeof(id));
    id.Manufacturer = kComponentManufacturer;
    id.Product = kComponentProduct;
    id.Name = kComponentName;
    id.Version = kComponentVersion;
    id.Revision = kComponentRevision;
    RtlCopyMemory(request->Value, &id, sizeof(id));
    request->ValueSize = sizeof(KSCOMPONENTID);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PropertyHandlerChannelConfig(PPCPROPERTY_REQUEST request) {
    if (request == nullptr || request->MajorTarget == nullptr) return STATUS_INVALID_PARAMETER;
    if ((request->Verb & KSPROPERTY_TYPE_SET) == 0) return STATUS_INVALID_PARAMETER;
    if (request->ValueSize < sizeof(ULONG) || request->Value == nullptr)
        return STATUS_INVALID_PARAMETER;
    ULONG mask = 0;
    RtlCopyMemory(&mask, request->Value, sizeof(mask));
    const ULONG channels = SpeakerMaskChannels(mask);
    if (channels == 0) return STATUS_INVALID_PARAMETER;
    // The target is the miniport's unknown; the interface leads to the object.
    PVOID miniport = nullptr;
    NTSTATUS status = request->MajorTarget->QueryInterface(IID_IMiniportWavePci, &miniport);
    if (!NT_SUCCESS(status) || miniport == nullptr) return STATUS_INVALID_PARAMETER;
    WaveMiniport* wave = WaveMiniport::FromInterface(static_cast<PMINIPORTWAVEPCI>(miniport));
    wave->SetSpeakerConfiguration(mask, channels);
    wave->Release();
    return STATUS_SUCCESS;
}

}  // namespace q407::wdm
