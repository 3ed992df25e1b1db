// The synthesizer properties of the MIDI filter's two nodes: what the synthesizer is (an external
// MPU-401-style port), its port parameters, its one channel group and the latency clock.
#include "wdmdriver/midi_miniport_object.h"

namespace q407::wdm {
namespace {

constexpr char kSynthOutDescription[] = "DMusic MPU-401 Out";
constexpr char kSynthInDescription[] = "DMusic MPU-401 In";
constexpr ULONG kUnlimited = 0xFFFFFFFF;
constexpr ULONG kChannelGroups = 1;

constexpr ULONG kAccessGet = KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET;  // 0x201
constexpr ULONG kAccessGetSet = kAccessGet | KSPROPERTY_TYPE_SET;                 // 0x203
constexpr ULONG kAccessNone = KSPROPERTY_TYPE_BASICSUPPORT;                       // 0x200

// A value buffer of `needed` bytes: length 0 asks for the size.
NTSTATUS CheckValue(PPCPROPERTY_REQUEST request, ULONG needed) {
    if (request->ValueSize == 0) {
        request->ValueSize = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < needed || request->Value == nullptr) return STATUS_BUFFER_TOO_SMALL;
    return STATUS_SUCCESS;
}

NTSTATUS AnswerAccess(PPCPROPERTY_REQUEST request, ULONG access) {
    NTSTATUS status = CheckValue(request, sizeof(ULONG));
    if (!NT_SUCCESS(status)) return status;
    *static_cast<PULONG>(request->Value) = access;
    request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS GetCaps(PPCPROPERTY_REQUEST request) {
    if (request->Node != kMidiNodeSynthOut && request->Node != kMidiNodeSynthIn)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = CheckValue(request, sizeof(SYNTHCAPS));
    if (!NT_SUCCESS(status)) return status;
    const BOOLEAN input = request->Node == kMidiNodeSynthIn;
    auto* caps = static_cast<SYNTHCAPS*>(request->Value);
    RtlZeroMemory(caps, sizeof(*caps));
    caps->Guid = input ? CLSID_MiniportDriverDMusUARTCapture : CLSID_MiniportDriverDMusUART;
    caps->Flags = SYNTH_PC_EXTERNAL;
    caps->MemorySize = 0;
    caps->MaxChannelGroups = kChannelGroups;
    caps->MaxVoices = kUnlimited;
    caps->MaxAudioChannels = kUnlimited;
    caps->EffectFlags = 0;
    const char* text = input ? kSynthInDescription : kSynthOutDescription;
    // ASCII into the UTF-16 description; the record was zeroed, so it stays terminated.
    const ULONG units = sizeof(caps->Description) / sizeof(caps->Description[0]);
    for (ULONG i = 0; text[i] != '\0' && i + 1 < units; ++i) caps->Description[i] = UCHAR(text[i]);
    request->ValueSize = sizeof(SYNTHCAPS);
    return STATUS_SUCCESS;
}

// The caller's wishes come back with only the channel groups honoured, and only one of them.
NTSTATUS GetPortParameters(PPCPROPERTY_REQUEST request) {
    NTSTATUS status = CheckValue(request, sizeof(SYNTH_PORTPARAMS));
    if (!NT_SUCCESS(status)) return status;
    if (request->InstanceSize < sizeof(SYNTH_PORTPARAMS) || request->Instance == nullptr)
        return STATUS_INVALID_PARAMETER;
    SYNTH_PORTPARAMS params;
    RtlCopyMemory(&params, request->Instance, sizeof(params));
    params.ValidParams &= SYNTH_PORTPARAMS_CHANNELGROUPS;
    params.ChannelGroups = kChannelGroups;
    RtlCopyMemory(request->Value, &params, sizeof(params));
    request->ValueSize = sizeof(SYNTH_PORTPARAMS);
    return STATUS_SUCCESS;
}

NTSTATUS ChannelGroups(PPCPROPERTY_REQUEST request) {
    NTSTATUS status = CheckValue(request, sizeof(ULONG));
    if (!NT_SUCCESS(status)) return status;
    if (request->Verb & KSPROPERTY_TYPE_SET) {
        // One channel group is all the port has.
        return *static_cast<const ULONG*>(request->Value) == kChannelGroups
                   ? STATUS_SUCCESS
                   : STATUS_INVALID_PARAMETER;
    }
    *static_cast<PULONG>(request->Value) = kChannelGroups;
    request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS GetLatencyClock(PPCPROPERTY_REQUEST request, MidiMiniport* miniport) {
    if (request->MinorTarget == nullptr || miniport == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;  // a stream's property
    NTSTATUS status = CheckValue(request, sizeof(REFERENCE_TIME));
    if (!NT_SUCCESS(status)) return status;
    REFERENCE_TIME now = 0;
    status = miniport->CurrentTime(&now);
    if (!NT_SUCCESS(status)) return status;
    RtlCopyMemory(request->Value, &now, sizeof(now));
    request->ValueSize = sizeof(REFERENCE_TIME);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI SynthPropertyHandler(PPCPROPERTY_REQUEST request) {
    if (request == nullptr || request->PropertyItem == nullptr) return STATUS_INVALID_PARAMETER;
    MidiMiniport* miniport =
        request->MajorTarget != nullptr ? MidiMiniport::FromUnknown(request->MajorTarget) : nullptr;
    const ULONG id = request->PropertyItem->Id;
    const BOOLEAN stream = request->MinorTarget != nullptr;

    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        switch (id) {
            case KSPROPERTY_SYNTH_CAPS:
                return AnswerAccess(request, kAccessGet);
            case KSPROPERTY_SYNTH_PORTPARAMETERS:
                if (!stream) return STATUS_INVALID_DEVICE_REQUEST;
                return AnswerAccess(request, kAccessGet);
            case KSPROPERTY_SYNTH_CHANNELGROUPS:
                return AnswerAccess(request, kAccessGetSet);
            case KSPROPERTY_SYNTH_LATENCYCLOCK:
                return AnswerAccess(request, kAccessNone);
            default:
                return STATUS_INVALID_DEVICE_REQUEST;
        }
    }

    const BOOLEAN set = (request->Verb & KSPROPERTY_TYPE_SET) != 0;
    switch (id) {
        case KSPROPERTY_SYNTH_CAPS:
            return set ? STATUS_INVALID_DEVICE_REQUEST : GetCaps(request);
        case KSPROPERTY_SYNTH_PORTPARAMETERS:
            return set ? STATUS_INVALID_DEVICE_REQUEST : GetPortParameters(request);
        case KSPROPERTY_SYNTH_CHANNELGROUPS:
            return ChannelGroups(request);
        case KSPROPERTY_SYNTH_LATENCYCLOCK:
            return set ? STATUS_INVALID_DEVICE_REQUEST : GetLatencyClock(request, miniport);
        default:
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

}  // namespace q407::wdm
