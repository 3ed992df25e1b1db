// Description tables of the MIDI filter. Included by midi_miniport.cpp only.
//
//   pin 0 (MIDI render) ------------------------------> pin 2 (MIDI OUT connector)
//   pin 1 (DirectMusic render) -> node 0 (synth out) -> pin 2
//   pin 3 (MIDI IN connector) ---> node 1 (synth in) --> pin 4 (capture)
#pragma once

#include "platform/portcls/portcls.h"
#include "wdmdriver/midi_miniport_object.h"

namespace q407::wdm {
namespace {

constexpr GUID kMidiCategoryAudio = {
    0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kMidiCategoryRender = {
    0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kMidiCategoryCapture = {
    0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

constexpr GUID kFormatTypeMusic = {
    0xE725D360, 0x62CC, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr GUID kFormatSubtypeMidi = {
    0x1D262760, 0xE957, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr GUID kFormatSubtypeDirectMusic = {
    0x1A82F8BC, 0x3F8B, 0x11D2, {0xB7, 0x74, 0x00, 0x60, 0x08, 0x33, 0x16, 0xC1}};
constexpr GUID kFormatSubtypeMidiBus = {
    0x2CA15FA0, 0x6CFE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr GUID kMidiSpecifierNone = {
    0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// The default music technology: an external port.
constexpr GUID kMusicTechnologyPort = {
    0x86C92E60, 0x62E8, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

constexpr GUID kMidiPinNameRender = {
    0x185FEDF8, 0x9905, 0x11D1, {0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3}};
constexpr GUID kMidiPinNameDirectMusicOut = {
    0xA4DF0EB5, 0xBAC9, 0x11D2, {0xB7, 0xA8, 0x00, 0x60, 0x08, 0x33, 0x16, 0xC1}};
constexpr GUID kMidiPinNameDirectMusicIn = {
    0xB2EC0A7D, 0xBAC9, 0x11D2, {0xB7, 0xA8, 0x00, 0x60, 0x08, 0x33, 0x16, 0xC1}};
constexpr GUID kNodeTypeSynthesizer = {
    0xDFF220F3, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

// --- Data ranges ----------------------------------------------------------------------------

// No music technology is offered to set, so the streaming ranges keep the default one.
KSDATARANGE_MUSIC g_MidiRangeMidi = {
    {sizeof(KSDATARANGE_MUSIC), 0, 0, 0, kFormatTypeMusic, kFormatSubtypeMidi, kMidiSpecifierNone},
    kMusicTechnologyPort,
    0,
    0,
    0xFFFF};
KSDATARANGE_MUSIC g_MidiRangeDirectMusic = {{sizeof(KSDATARANGE_MUSIC), 0, 0, 0, kFormatTypeMusic,
                                             kFormatSubtypeDirectMusic, kMidiSpecifierNone},
                                            kMusicTechnologyPort,
                                            0,
                                            0,
                                            0xFFFF};
KSDATARANGE g_MidiRangeBus = {sizeof(KSDATARANGE), 0, 0, 0, kFormatTypeMusic, kFormatSubtypeMidiBus,
                              kMidiSpecifierNone};

const PKSDATARANGE g_MidiRangesMidi[] = {&g_MidiRangeMidi.DataRange};
const PKSDATARANGE g_MidiRangesDirectMusic[] = {&g_MidiRangeDirectMusic.DataRange};
const PKSDATARANGE g_MidiRangesBoth[] = {&g_MidiRangeMidi.DataRange,
                                         &g_MidiRangeDirectMusic.DataRange};
const PKSDATARANGE g_MidiRangesBus[] = {&g_MidiRangeBus};

// --- Synthesizer properties (midi_synth_properties.cpp) -------------------------------------

const PCPROPERTY_ITEM g_SynthProperties[] = {
    {&KSPROPSETID_Synth, KSPROPERTY_SYNTH_CAPS,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, SynthPropertyHandler},
    {&KSPROPSETID_Synth, KSPROPERTY_SYNTH_PORTPARAMETERS,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, SynthPropertyHandler},
    {&KSPROPSETID_Synth, KSPROPERTY_SYNTH_CHANNELGROUPS,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     SynthPropertyHandler},
    {&KSPROPSETID_Synth, KSPROPERTY_SYNTH_LATENCYCLOCK,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, SynthPropertyHandler},
};
const PCAUTOMATION_TABLE g_SynthAutomation = {
    sizeof(PCPROPERTY_ITEM),
    sizeof(g_SynthProperties) / sizeof(g_SynthProperties[0]),
    g_SynthProperties,
    0,
    0,
    nullptr,
    0,
    0,
    nullptr,
    0};

// --- Pins, nodes, connections, filter -------------------------------------------------------

constexpr PCPIN_DESCRIPTOR MidiPin(ULONG instances, ULONG rangeCount, const PKSDATARANGE* ranges,
                                   KSPIN_DATAFLOW flow, KSPIN_COMMUNICATION communication,
                                   const GUID* name) {
    return {instances,
            instances,
            0,
            nullptr,
            {0, nullptr, 0, nullptr, rangeCount, ranges, flow, communication, nullptr, name, {}}};
}

const PCPIN_DESCRIPTOR g_MidiPins[] = {
    MidiPin(1, 1, g_MidiRangesMidi, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK,
            &kMidiPinNameRender),
    MidiPin(1, 1, g_MidiRangesDirectMusic, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK,
            &kMidiPinNameDirectMusicOut),
    MidiPin(0, 1, g_MidiRangesBus, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BRIDGE, nullptr),
    MidiPin(0, 1, g_MidiRangesBus, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BRIDGE, nullptr),
    MidiPin(1, 2, g_MidiRangesBoth, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK,
            &kMidiPinNameDirectMusicIn),
};

const PCNODE_DESCRIPTOR g_MidiNodes[] = {
    {0, &g_SynthAutomation, &kNodeTypeSynthesizer, nullptr},
    {0, &g_SynthAutomation, &kNodeTypeSynthesizer, nullptr},
};

constexpr ULONG kMidiNodeInput = 1;
constexpr ULONG kMidiNodeOutput = 0;
const PCCONNECTION_DESCRIPTOR g_MidiConnections[] = {
    {PCFILTER_NODE, kMidiPinRender, PCFILTER_NODE, kMidiPinBridgeOut},
    {PCFILTER_NODE, kMidiPinRenderDirect, kMidiNodeSynthOut, kMidiNodeInput},
    {kMidiNodeSynthOut, kMidiNodeOutput, PCFILTER_NODE, kMidiPinBridgeOut},
    {PCFILTER_NODE, kMidiPinBridgeIn, kMidiNodeSynthIn, kMidiNodeInput},
    {kMidiNodeSynthIn, kMidiNodeOutput, PCFILTER_NODE, kMidiPinCapture},
};

const GUID g_MidiCategories[] = {kMidiCategoryAudio, kMidiCategoryRender, kMidiCategoryCapture};

const PCFILTER_DESCRIPTOR g_MidiFilter = {0,
                                          nullptr,
                                          sizeof(PCPIN_DESCRIPTOR),
                                          sizeof(g_MidiPins) / sizeof(g_MidiPins[0]),
                                          g_MidiPins,
                                          sizeof(PCNODE_DESCRIPTOR),
                                          sizeof(g_MidiNodes) / sizeof(g_MidiNodes[0]),
                                          g_MidiNodes,
                                          sizeof(g_MidiConnections) / sizeof(g_MidiConnections[0]),
                                          g_MidiConnections,
                                          sizeof(g_MidiCategories) / sizeof(g_MidiCategories[0]),
                                          g_MidiCategories};

}  // namespace
}  // namespace q407::wdm
