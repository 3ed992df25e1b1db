// Filter, pin, node and connection tables of the wave subdevices. The tables are constant data
// (a driver runs no global constructors), so GUID values inside them are written as numbers.
#include "wdmdriver/wave_filter_descriptions.h"

#include "wdmdriver/wave_properties.h"

namespace q407::wdm {
namespace {

constexpr GUID kTypeAudio = {
    0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kSubtypePcm = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kSubtypeAnalog = {
    0x6DBA3190, 0x67BD, 0x11CF, {0xA0, 0xF7, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
constexpr GUID kSpecifierWaveFormatEx = {
    0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
constexpr GUID kSpecifierNone = {
    0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

constexpr ULONG kMaxChannels = 8;
constexpr ULONG kMinBits = 16;
constexpr ULONG kMaxBits = 32;
constexpr ULONG kMinRate = 44100;
constexpr ULONG kMaxRate = 96000;

const KSDATARANGE_AUDIO kPcmRange = {
    {sizeof(KSDATARANGE_AUDIO), 0, 0, 0, kTypeAudio, kSubtypePcm, kSpecifierWaveFormatEx},
    kMaxChannels,
    kMinBits,
    kMaxBits,
    kMinRate,
    kMaxRate};
const KSDATARANGE kBridgeRange = {sizeof(KSDATARANGE), 0, 0, 0, kTypeAudio, kSubtypeAnalog,
                                  kSpecifierNone};

const PKSDATARANGE kPcmRanges[] = {const_cast<PKSDATARANGE>(&kPcmRange.DataRange)};
const PKSDATARANGE kBridgeRanges[] = {const_cast<PKSDATARANGE>(&kBridgeRange)};

// --- Automation ------------------------------------------------------------------------------

const PCPROPERTY_ITEM kFilterProperties[] = {{&KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID,
                                              KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT,
                                              PropertyHandlerComponentId}};
const PCAUTOMATION_TABLE kFilterAutomation = {sizeof(PCPROPERTY_ITEM),
                                              SIZEOF_ARRAY(kFilterProperties),
                                              kFilterProperties,
                                              0,
                                              0,
                                              nullptr,
                                              0,
                                              0,
                                              nullptr,
                                              0};

const PCPROPERTY_ITEM kConverterProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG, KSPROPERTY_TYPE_SET,
     PropertyHandlerChannelConfig}};
const PCAUTOMATION_TABLE kConverterAutomation = {sizeof(PCPROPERTY_ITEM),
                                                 SIZEOF_ARRAY(kConverterProperties),
                                                 kConverterProperties,
                                                 0,
                                                 0,
                                                 nullptr,
                                                 0,
                                                 0,
                                                 nullptr,
                                                 0};

// --- Pins ------------------------------------------------------------------------------------

constexpr PCPIN_DESCRIPTOR StreamingPin(KSPIN_DATAFLOW flow, const GUID* name) {
    return {1,
            1,
            0,
            nullptr,
            {0,
             nullptr,
             0,
             nullptr,
             SIZEOF_ARRAY(kPcmRanges),
             kPcmRanges,
             flow,
             KSPIN_COMMUNICATION_SINK,
             &KSCATEGORY_AUDIO,
             name,
             {0}}};
}
constexpr PCPIN_DESCRIPTOR BridgePin(KSPIN_DATAFLOW flow) {
    return {0,
            0,
            0,
            nullptr,
            {0,
             nullptr,
             0,
             nullptr,
             SIZEOF_ARRAY(kBridgeRanges),
             kBridgeRanges,
             flow,
             KSPIN_COMMUNICATION_NONE,
             &KSCATEGORY_AUDIO,
             nullptr,
             {0}}};
}

const PCPIN_DESCRIPTOR kDuplexPins[kWavePinCount] = {
    StreamingPin(KSPIN_DATAFLOW_IN, &kPlaybackPinName), BridgePin(KSPIN_DATAFLOW_OUT),
    StreamingPin(KSPIN_DATAFLOW_OUT, &kRecordingPinName), BridgePin(KSPIN_DATAFLOW_IN)};
// A direction the kind does not carry keeps its pin number with a pin that cannot stream, so that
// the audio stack offers no such endpoint.
const PCPIN_DESCRIPTOR kRecordingPins[kWavePinCount] = {
    BridgePin(KSPIN_DATAFLOW_IN), BridgePin(KSPIN_DATAFLOW_OUT),
    StreamingPin(KSPIN_DATAFLOW_OUT, &kRecordingPinName), BridgePin(KSPIN_DATAFLOW_IN)};
const PCPIN_DESCRIPTOR kMultichannelPins[kWavePinCount] = {
    StreamingPin(KSPIN_DATAFLOW_IN, &kPlaybackPinName), BridgePin(KSPIN_DATAFLOW_OUT),
    BridgePin(KSPIN_DATAFLOW_OUT), BridgePin(KSPIN_DATAFLOW_IN)};

// --- Nodes and connections ------------------------------------------------------------------

const PCNODE_DESCRIPTOR kDuplexNodes[] = {{0, &kConverterAutomation, &KSNODETYPE_DAC, nullptr},
                                          {0, &kConverterAutomation, &KSNODETYPE_ADC, nullptr}};
const PCNODE_DESCRIPTOR kAdcNode[] = {{0, &kConverterAutomation, &KSNODETYPE_ADC, nullptr}};
const PCNODE_DESCRIPTOR kDacNode[] = {{0, &kConverterAutomation, &KSNODETYPE_DAC, nullptr}};

// Node pins: 1 is a node's input, 0 its output.
const PCCONNECTION_DESCRIPTOR kDuplexConnections[] = {
    {PCFILTER_NODE, kWavePinPlayback, 0, 1},
    {0, 0, PCFILTER_NODE, kWavePinPlaybackBridge},
    {PCFILTER_NODE, kWavePinRecordingBridge, 1, 1},
    {1, 0, PCFILTER_NODE, kWavePinRecording}};
const PCCONNECTION_DESCRIPTOR kRecordingConnections[] = {
    {PCFILTER_NODE, kWavePinRecordingBridge, 0, 1}, {0, 0, PCFILTER_NODE, kWavePinRecording}};
const PCCONNECTION_DESCRIPTOR kMultichannelConnections[] = {
    {PCFILTER_NODE, kWavePinPlayback, 0, 1}, {0, 0, PCFILTER_NODE, kWavePinPlaybackBridge}};

const PCFILTER_DESCRIPTOR kDuplexFilter = {0,
                                           &kFilterAutomation,
                                           sizeof(PCPIN_DESCRIPTOR),
                                           kWavePinCount,
                                           kDuplexPins,
                                           sizeof(PCNODE_DESCRIPTOR),
                                           SIZEOF_ARRAY(kDuplexNodes),
                                           kDuplexNodes,
                                           SIZEOF_ARRAY(kDuplexConnections),
                                           kDuplexConnections,
                                           0,
                                           nullptr};
const PCFILTER_DESCRIPTOR kRecordingFilter = {0,
                                              &kFilterAutomation,
                                              sizeof(PCPIN_DESCRIPTOR),
                                              kWavePinCount,
                                              kRecordingPins,
                                              sizeof(PCNODE_DESCRIPTOR),
                                              SIZEOF_ARRAY(kAdcNode),
                                              kAdcNode,
                                              SIZEOF_ARRAY(kRecordingConnections),
                                              kRecordingConnections,
                                              0,
                                              nullptr};
const PCFILTER_DESCRIPTOR kMultichannelFilter = {0,
                                                 &kFilterAutomation,
                                                 sizeof(PCPIN_DESCRIPTOR),
                                                 kWavePinCount,
                                                 kMultichannelPins,
                                                 sizeof(PCNODE_DESCRIPTOR),
                                                 SIZEOF_ARRAY(kDacNode),
                                                 kDacNode,
                                                 SIZEOF_ARRAY(kMultichannelConnections),
                                                 kMultichannelConnections,
                                                 0,
                                                 nullptr};

}  // namespace

WaveKind WaveKindOf(ULONG subdeviceIndex) {
    if (subdeviceIndex < 4) return WaveKind::PlaybackAndRecording;
    if (subdeviceIndex < kMultichannelIndex) return WaveKind::RecordingOnly;
    return WaveKind::Multichannel;
}

const PCFILTER_DESCRIPTOR* WaveFilterDescription(WaveKind kind) {
    switch (kind) {
        case WaveKind::PlaybackAndRecording:
            return &kDuplexFilter;
        case WaveKind::RecordingOnly:
            return &kRecordingFilter;
        case WaveKind::Multichannel:
            return &kMultichannelFilter;
    }
    return &kDuplexFilter;
}

BOOLEAN WaveKindCarries(WaveKind kind, BOOLEAN capture) {
    switch (kind) {
        case WaveKind::PlaybackAndRecording:
            return TRUE;
        case WaveKind::RecordingOnly:
            return capture ? TRUE : FALSE;
        case WaveKind::Multichannel:
            return capture ? FALSE : TRUE;
    }
    return FALSE;
}

ULONG WaveKindMaxChannels(WaveKind kind) {
    return kind == WaveKind::Multichannel ? kMaxChannels : 2;
}

const KSDATARANGE_AUDIO* WavePinDataRange() {
    return &kPcmRange;
}

}  // namespace q407::wdm
