// Description tables of the nine mixer filters. Included by topology_miniport.cpp only: the tables
// are its shape, the .cpp its behaviour.
//
// Mixers 1-4 (index 0..3): pin 0 (from the wave filter's playback) -> volume 0 -> mute 1 -> pin 1
// (line-out); pin 2 (line-in) -> volume 2 -> mute 3 -> pin 3 (to the wave filter's recording).
// Both mute nodes carry the mute property.
// Mixers 5-8 (index 4..7): recording only, pin 2 -> volume 0 -> mute 1 -> pin 3; no properties.
// Mixer 9 (index 8): playback only, pin 0 -> mute 1 -> volume 0 -> pin 1; no properties.
//
// Every filter keeps all four pins. The pins a mixer does not use carry what the mixer before it
// shows there (5-8 show line-out as mixer 4 names it, 9 shows line-in as mixer 8 names it), so
// the system lists the same pins as it did when one table was rewritten for each subdevice.
#pragma once

#include "platform/portcls/portcls.h"

namespace q407::wdm {
namespace {

// --- GUIDs ----------------------------------------------------------------------------------

constexpr GUID kTopologyCategoryAudio = {
    0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kTopologyCategoryTopology = {
    0xDDA54A40, 0x1E4C, 0x11D1, {0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1, 0x00, 0x00}};

constexpr GUID kFormatTypeAudio = {
    0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kFormatSubtypeAnalog = {
    0x6DBA3190, 0x67BD, 0x11CF, {0xA0, 0xF7, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
constexpr GUID kFormatSpecifierNone = {
    0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

// Pin categories: the legacy audio connector (the wave filter's side), a line connector, a
// microphone-type input (the wave filter's recording side) and a speaker (mixer 9's output).
constexpr GUID kPinCategoryLegacyConnector = {
    0xDFF21FE4, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kPinCategoryLineConnector = {
    0xDFF21FE3, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kPinCategoryMicrophone = {
    0xDFF21BE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kPinCategorySpeaker = {
    0xDFF21CE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

// The line pins' names, one per device pair, mapped to display names by the installation.
constexpr GUID kLineNames[9] = {
    {0x83207A80, 0x3144, 0x40FB, {0x8F, 0x8D, 0x2F, 0xF6, 0x7C, 0xA6, 0x2F, 0x73}},
    {0xBEDCB5D1, 0xA663, 0x47D5, {0x80, 0xEE, 0xD1, 0x81, 0x3A, 0x62, 0x2E, 0xD3}},
    {0x54298883, 0x557C, 0x4846, {0xAB, 0x7E, 0x7D, 0x65, 0xE1, 0x09, 0xBF, 0xA3}},
    {0xA5BA3BA4, 0x2A2E, 0x48D6, {0x83, 0xB4, 0x5D, 0x81, 0x0D, 0xB2, 0x55, 0x64}},
    {0xEAD27079, 0x38FE, 0x4994, {0xB7, 0xAD, 0xFB, 0x41, 0x63, 0xE8, 0xE9, 0xCD}},
    {0xDA1DC178, 0xD4B0, 0x4F8B, {0xA4, 0x7D, 0xAC, 0xE6, 0xF7, 0x85, 0xCD, 0xC5}},
    {0xED24B2D1, 0x53D1, 0x43B7, {0x90, 0x00, 0x48, 0x54, 0x44, 0xB3, 0xD2, 0xDB}},
    {0x0A1BDD7C, 0x0C3C, 0x419A, {0x93, 0x6E, 0x64, 0xC9, 0x31, 0x8E, 0xEA, 0x3A}},
    {0x766EB1BE, 0x84F1, 0x4F65, {0xAB, 0x21, 0x34, 0xC6, 0xA9, 0xC9, 0xE4, 0xF5}},
};

constexpr GUID kNodeTypeVolume = {
    0x3A5ACC00, 0xC557, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
constexpr GUID kNodeTypeMute = {
    0x02B223C0, 0xC557, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
constexpr GUID kNodeNameMasterVolume = {
    0x185FEDE5, 0x9905, 0x11D1, {0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3}};
constexpr GUID kNodeNameMasterMute = {
    0x185FEDE6, 0x9905, 0x11D1, {0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3}};

constexpr GUID kPropertySetAudio = {
    0x45FFAAA0, 0x6E1B, 0x11D0, {0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr ULONG kPropertyAudioMute = 13;
constexpr GUID kPropertyTypeSetGeneral = {
    0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr ULONG kPropertyTypeBoolean = 11;  // the variant type of a boolean

// --- Data range and automation --------------------------------------------------------------

// Not const: the pin descriptor's range list points at modifiable ranges.
KSDATARANGE g_TopologyAnalogRange = {
    sizeof(KSDATARANGE), 0, 0, 0, kFormatTypeAudio, kFormatSubtypeAnalog, kFormatSpecifierNone};
const PKSDATARANGE g_TopologyRanges[] = {&g_TopologyAnalogRange};

NTSTATUS NTAPI MutePropertyHandler(PPCPROPERTY_REQUEST request);

const PCPROPERTY_ITEM g_MuteProperties[] = {
    {&kPropertySetAudio, kPropertyAudioMute,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     MutePropertyHandler},
};
const PCAUTOMATION_TABLE g_MuteAutomation = {
    sizeof(PCPROPERTY_ITEM), 1, g_MuteProperties, 0, 0, nullptr, 0, 0, nullptr, 0};

// --- Pins -----------------------------------------------------------------------------------

constexpr PCPIN_DESCRIPTOR TopologyPin(KSPIN_DATAFLOW flow, const GUID* category,
                                       const GUID* name) {
    return {0,
            0,
            0,
            nullptr,
            {0,
             nullptr,
             0,
             nullptr,
             1,
             g_TopologyRanges,
             flow,
             KSPIN_COMMUNICATION_BRIDGE,
             category,
             name,
             {}}};
}

// Pins of one filter from the line-out and line-in pins' category and name.
#define Q407_TOPOLOGY_PINS(outCategory, outName, inCategory, inName)           \
    {                                                                          \
        TopologyPin(KSPIN_DATAFLOW_IN, &kPinCategoryLegacyConnector, nullptr), \
            TopologyPin(KSPIN_DATAFLOW_OUT, &(outCategory), &(outName)),       \
            TopologyPin(KSPIN_DATAFLOW_IN, &(inCategory), &(inName)),          \
            TopologyPin(KSPIN_DATAFLOW_OUT, &kPinCategoryMicrophone, nullptr)  \
    }

const PCPIN_DESCRIPTOR g_TopologyPins[9][4] = {
    Q407_TOPOLOGY_PINS(kPinCategoryLineConnector, kLineNames[0], kPinCategoryLineConnector,
                       kLineNames[0]),
    Q407_TOPOLOGY_PINS(kPinCategoryLineConnector, kLineNames[1], kPinCategoryLineConnector,
                       kLineNames[1]),
    Q407_TOPOLOGY_PINS(kPinCategoryLineConnector, kLineNames[2], kPinCategoryLineConnector,
                       kLineNames[2]),
    Q407_TOPOLOGY_PINS(kPinCategoryLineConnector, kLineNames[3], kPinCategoryLineConnector,
                       kLineNames[3]),
    Q407_TOPOLOGY_PINS(kPinCategoryLineConnector, kLineNames[3], kPinCategoryLineConnector,
                       kLineNames[4]),
    Q407_TOPOLOGY_PINS(kPinCategoryLineConnector, kLineNames[3], kPinCategoryLineConnector,
                       kLineNames[5]),
    Q407_TOPOLOGY_PINS(kPinCategoryLineConnector, kLineNames[3], kPinCategoryLineConnector,
                       kLineNames[6]),
    Q407_TOPOLOGY_PINS(kPinCategoryLineConnector, kLineNames[3], kPinCategoryLineConnector,
                       kLineNames[7]),
    Q407_TOPOLOGY_PINS(kPinCategorySpeaker, kLineNames[8], kPinCategoryLineConnector,
                       kLineNames[7]),
};
#undef Q407_TOPOLOGY_PINS

// --- Nodes and connections ------------------------------------------------------------------

constexpr ULONG kNodeInput = 1;   // a node's standard input pin
constexpr ULONG kNodeOutput = 0;  // a node's standard output pin

const PCNODE_DESCRIPTOR g_NodesBothPaths[4] = {
    {0, nullptr, &kNodeTypeVolume, &kNodeNameMasterVolume},
    {0, &g_MuteAutomation, &kNodeTypeMute, &kNodeNameMasterMute},
    {0, nullptr, &kNodeTypeVolume, &kNodeNameMasterVolume},
    {0, &g_MuteAutomation, &kNodeTypeMute, &kNodeNameMasterMute},
};
const PCNODE_DESCRIPTOR g_NodesOnePath[2] = {
    {0, nullptr, &kNodeTypeVolume, &kNodeNameMasterVolume},
    {0, nullptr, &kNodeTypeMute, &kNodeNameMasterMute},
};

const PCCONNECTION_DESCRIPTOR g_ConnectionsBothPaths[] = {
    {PCFILTER_NODE, kTopologyPinFromWave, 0, kNodeInput},
    {0, kNodeOutput, 1, kNodeInput},
    {1, kNodeOutput, PCFILTER_NODE, kTopologyPinLineOut},
    {PCFILTER_NODE, kTopologyPinLineIn, 2, kNodeInput},
    {2, kNodeOutput, 3, kNodeInput},
    {3, kNodeOutput, PCFILTER_NODE, kTopologyPinToWave},
};
const PCCONNECTION_DESCRIPTOR g_ConnectionsRecording[] = {
    {PCFILTER_NODE, kTopologyPinLineIn, 0, kNodeInput},
    {0, kNodeOutput, 1, kNodeInput},
    {1, kNodeOutput, PCFILTER_NODE, kTopologyPinToWave},
};
const PCCONNECTION_DESCRIPTOR g_ConnectionsPlayback[] = {
    {PCFILTER_NODE, kTopologyPinFromWave, 1, kNodeInput},
    {1, kNodeOutput, 0, kNodeInput},
    {0, kNodeOutput, PCFILTER_NODE, kTopologyPinLineOut},
};

const GUID g_TopologyCategories[] = {kTopologyCategoryAudio, kTopologyCategoryTopology};

// --- Filters --------------------------------------------------------------------------------

#define Q407_TOPOLOGY_FILTER(index, nodes, connections)                                            \
    {                                                                                              \
        0, nullptr, sizeof(PCPIN_DESCRIPTOR), 4, g_TopologyPins[index], sizeof(PCNODE_DESCRIPTOR), \
            sizeof(nodes) / sizeof((nodes)[0]), nodes,                                             \
            sizeof(connections) / sizeof((connections)[0]), connections,                           \
            sizeof(g_TopologyCategories) / sizeof(g_TopologyCategories[0]), g_TopologyCategories   \
    }

const PCFILTER_DESCRIPTOR g_TopologyFilters[9] = {
    Q407_TOPOLOGY_FILTER(0, g_NodesBothPaths, g_ConnectionsBothPaths),
    Q407_TOPOLOGY_FILTER(1, g_NodesBothPaths, g_ConnectionsBothPaths),
    Q407_TOPOLOGY_FILTER(2, g_NodesBothPaths, g_ConnectionsBothPaths),
    Q407_TOPOLOGY_FILTER(3, g_NodesBothPaths, g_ConnectionsBothPaths),
    Q407_TOPOLOGY_FILTER(4, g_NodesOnePath, g_ConnectionsRecording),
    Q407_TOPOLOGY_FILTER(5, g_NodesOnePath, g_ConnectionsRecording),
    Q407_TOPOLOGY_FILTER(6, g_NodesOnePath, g_ConnectionsRecording),
    Q407_TOPOLOGY_FILTER(7, g_NodesOnePath, g_ConnectionsRecording),
    Q407_TOPOLOGY_FILTER(8, g_NodesOnePath, g_ConnectionsPlayback),
};
#undef Q407_TOPOLOGY_FILTER

// --- Physical connections to the wave filters -----------------------------------------------

const int g_TopologyConnectionTables[9][4] = {
    {0, 3, 3, 1},   {0, 3, 3, 1},   {0, 3, 3, 1},   {0, 3, 3, 1},   {-1, 3, 3, -1},
    {-1, 3, 3, -1}, {-1, 3, 3, -1}, {-1, 3, 3, -1}, {0, -1, -1, 1},
};

}  // namespace
}  // namespace q407::wdm
