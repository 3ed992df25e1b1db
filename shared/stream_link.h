// The stream link between the USB driver and the WDM audio driver on its child device: the record
// the child hands out on a query-interface request for GUID_DEVINTERFACE_Q407, the dispatch
// routine's function numbers and the parameter block of each function.
//
// Everything crosses as plain pointers inside one kernel address space. A parameter block is owned
// by the caller; the USB driver reads it and writes results back into it. Blocks carry no size:
// each function reads and writes only the bytes of its own block below, none more than 32.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shared/device_interface.h"

namespace q407 {

// The private interface's GUID is the device interface class.
inline constexpr DeviceInterfaceGuid GUID_Q407_STREAM_LINK = GUID_DEVINTERFACE_Q407;

using StreamLinkReferenceRoutine = void (*)(void* context);
using StreamLinkDispatchRoutine = void (*)(void* deviceContext, uint32_t function, void* block);

// The first 32 bytes are the system's INTERFACE header, so the record can be requested with it.
struct StreamLinkInterface {
    uint16_t size;     // 56
    uint16_t version;  // 1
    uint32_t reserved;
    void* context;  // the USB driver's function device extension
    StreamLinkReferenceRoutine reference;
    StreamLinkReferenceRoutine dereference;
    StreamLinkDispatchRoutine dispatch;
    void* deviceContext;  // the device's facade; valid from the USB driver's start to its stop
    uint32_t index;       // the child's index; the WDM side reuses it for its subdevice number
    uint32_t reserved2;
};
inline constexpr uint16_t kStreamLinkSize = 56;
inline constexpr uint16_t kStreamLinkVersion = 1;
static_assert(sizeof(StreamLinkInterface) == kStreamLinkSize);
static_assert(offsetof(StreamLinkInterface, size) == 0);
static_assert(offsetof(StreamLinkInterface, version) == 2);
static_assert(offsetof(StreamLinkInterface, context) == 8);
static_assert(offsetof(StreamLinkInterface, reference) == 16);
static_assert(offsetof(StreamLinkInterface, dereference) == 24);
static_assert(offsetof(StreamLinkInterface, dispatch) == 32);
static_assert(offsetof(StreamLinkInterface, deviceContext) == 40);
static_assert(offsetof(StreamLinkInterface, index) == 48);

// Function numbers of the dispatch routine. Numbers not listed (13 to 16, 21, above 23) do
// nothing.
enum StreamLinkFunction : uint32_t {
    kLinkRegisterStreamNotify = 0,
    kLinkRegisterMidiInNotify = 1,
    kLinkSetStreamBuffer = 2,
    kLinkOpenStreamChannels = 3,
    kLinkCloseStreamChannels = 4,
    kLinkSetStreamFormat = 5,
    kLinkGetStreamRate = 6,
    kLinkReserved7 = 7,
    kLinkReserved8 = 8,
    kLinkWriteMidiByte = 9,
    kLinkReadMidiByte = 10,
    kLinkOpenMidiInput = 11,
    kLinkGetLatency = 12,
    kLinkApplyTopologyChange = 17,
    kLinkReserved18 = 18,
    kLinkQueryChannelCounts = 19,
    kLinkReserved20 = 20,
    kLinkSetStreamRing = 22,
    kLinkQueryChannelsOpen = 23,
};
inline constexpr uint32_t kLinkFunctionCount = 24;

// Channel groups of functions 2, 3, 4 and 22: groups 0..7 are stereo pairs of the MME slot
// (channels 2 x group + i), group 8 is the DOLBY slot (channels i from 0).
inline constexpr uint32_t kLinkMmeGroups = 8;
inline constexpr uint32_t kLinkDolbyGroup = 8;
// Direction value of function 4 that only stops streaming.
inline constexpr uint32_t kLinkStopStreamingDirection = 4;
// Function 10's answer when no MIDI input byte waits.
inline constexpr uint32_t kLinkNoMidiByte = 0xFFFF;

// Callback and context values are 64-bit pointers in the blocks.
struct LinkStreamNotifyBlock {  // function 0
    uint32_t direction;
    uint32_t subdevice;
    uint32_t pin;
    uint32_t reserved;
    uint64_t callback;
    uint64_t context;
};
static_assert(sizeof(LinkStreamNotifyBlock) == 32);
static_assert(offsetof(LinkStreamNotifyBlock, subdevice) == 4);
static_assert(offsetof(LinkStreamNotifyBlock, pin) == 8);
static_assert(offsetof(LinkStreamNotifyBlock, callback) == 16);
static_assert(offsetof(LinkStreamNotifyBlock, context) == 24);

struct LinkMidiInNotifyBlock {  // function 1
    uint32_t port;
    uint32_t reserved;
    uint64_t callback;
    uint64_t context;
};
static_assert(sizeof(LinkMidiInNotifyBlock) == 24);
static_assert(offsetof(LinkMidiInNotifyBlock, callback) == 8);
static_assert(offsetof(LinkMidiInNotifyBlock, context) == 16);

struct LinkStreamBufferBlock {  // function 2
    uint32_t direction;
    uint32_t group;
    uint32_t pin;  // not used
    uint32_t count;
    uint64_t buffer;  // interleaved 32-bit samples; 0 detaches
    uint32_t reserved;
    uint32_t stride;  // samples per frame
};
static_assert(sizeof(LinkStreamBufferBlock) == 32);
static_assert(offsetof(LinkStreamBufferBlock, count) == 12);
static_assert(offsetof(LinkStreamBufferBlock, buffer) == 16);
static_assert(offsetof(LinkStreamBufferBlock, stride) == 28);

struct LinkStreamChannelsBlock {  // functions 3 and 4
    uint32_t direction;
    uint32_t group;
    uint32_t pin;  // not used
    uint32_t count;
};
static_assert(sizeof(LinkStreamChannelsBlock) == 16);
static_assert(offsetof(LinkStreamChannelsBlock, group) == 4);
static_assert(offsetof(LinkStreamChannelsBlock, count) == 12);

struct LinkStreamFormatBlock {  // function 5
    uint32_t group;             // not used
    uint32_t rate;
    uint32_t channels;  // not used
    uint32_t bitsPerSample;
    uint32_t compressed;
    uint32_t result;  // 0
};
static_assert(sizeof(LinkStreamFormatBlock) == 24);
static_assert(offsetof(LinkStreamFormatBlock, rate) == 4);
static_assert(offsetof(LinkStreamFormatBlock, bitsPerSample) == 12);
static_assert(offsetof(LinkStreamFormatBlock, compressed) == 16);
static_assert(offsetof(LinkStreamFormatBlock, result) == 20);

struct LinkStreamRateBlock {  // function 6
    uint32_t fallback;        // answered when the device has no rate yet
    uint32_t rate;
};
static_assert(sizeof(LinkStreamRateBlock) == 8);
static_assert(offsetof(LinkStreamRateBlock, rate) == 4);

struct LinkMidiByteBlock {  // functions 9 and 10
    uint8_t port;
    uint8_t value;  // function 9's byte
    uint8_t reserved[2];
    uint32_t result;  // 9: 1 written, 0 not; 10: the byte or kLinkNoMidiByte
};
static_assert(sizeof(LinkMidiByteBlock) == 8);
static_assert(offsetof(LinkMidiByteBlock, value) == 1);
static_assert(offsetof(LinkMidiByteBlock, result) == 4);

struct LinkMidiInputBlock {  // function 11
    uint8_t port;
    uint8_t reserved[3];
    uint32_t action;  // 1 open, 0 close, anything else nothing
    uint32_t input;   // the input flag of the engine's MIDI port calls
};
static_assert(sizeof(LinkMidiInputBlock) == 12);
static_assert(offsetof(LinkMidiInputBlock, action) == 4);
static_assert(offsetof(LinkMidiInputBlock, input) == 8);

struct LinkLatencyBlock {  // function 12
    uint32_t latency;      // samples
};
static_assert(sizeof(LinkLatencyBlock) == 4);

struct LinkTopologyChangeBlock {  // function 17
    uint32_t subdevice;
    uint32_t control;
    uint32_t value;
    uint32_t value2;
};
static_assert(sizeof(LinkTopologyChangeBlock) == 16);
static_assert(offsetof(LinkTopologyChangeBlock, value2) == 12);

struct LinkChannelCountsBlock {  // function 19
    uint32_t inputs;             // 16
    uint32_t outputs;            // 8
};
static_assert(sizeof(LinkChannelCountsBlock) == 8);
static_assert(offsetof(LinkChannelCountsBlock, outputs) == 4);

struct LinkStreamRingBlock {  // function 22
    uint32_t direction;
    uint32_t group;
    uint32_t pin;  // not used
    uint32_t count;
    uint64_t ring;  // the stream's interleaved RingBuffer; 0 detaches
};
static_assert(sizeof(LinkStreamRingBlock) == 24);
static_assert(offsetof(LinkStreamRingBlock, count) == 12);
static_assert(offsetof(LinkStreamRingBlock, ring) == 16);

struct LinkChannelsOpenBlock {  // function 23
    int32_t slot;               // negative: any slot
    int32_t direction;          // negative: any direction
    uint32_t result;            // 1 open, 0 not
};
static_assert(sizeof(LinkChannelsOpenBlock) == 12);
static_assert(offsetof(LinkChannelsOpenBlock, direction) == 4);
static_assert(offsetof(LinkChannelsOpenBlock, result) == 8);

// The reserved functions' answers.
struct LinkReservedBlock {  // functions 7, 18 and 20
    uint32_t word0;         // 7: 0; 20: 32
    uint32_t word1;         // 20: 32
    uint32_t word2;         // 18: 0
};
static_assert(sizeof(LinkReservedBlock) == 12);
static_assert(offsetof(LinkReservedBlock, word2) == 8);

}  // namespace q407
