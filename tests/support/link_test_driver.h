// A stand-in for the WDM audio driver, loaded on Q407DRV's child device as service "Q407WDM_01".
// It uses the stream link the way the audio driver's adapter and miniports do: at start it asks
// its own stack for the private interface and the standard bus interface (and makes its DMA
// common buffer from the adapter), then the test drives it through the operations below, which
// stand for the miniports' state changes. At its removal it gives back what it took.
//
// The operations run at PASSIVE_LEVEL on an emulated thread; the callbacks the engine calls run at
// DISPATCH_LEVEL and only touch the stream's ring or buffer and the counters.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/kernel/wdk.h"
#include "shared/stream_link.h"
#include "usbdriver/engine/ring_buffer.h"

namespace q407::testing {

inline constexpr wchar_t kLinkTestServiceName[] = L"Q407WDM_01";
inline constexpr ULONG kLinkTestPoolTag = POOL_TAG("LkTs");
inline constexpr uint32_t kLinkTestRenderGroup = 0;   // MME outputs 1/2
inline constexpr uint32_t kLinkTestCaptureGroup = 0;  // MME inputs 1/2
inline constexpr uint32_t kLinkTestRate = 48000;

NTSTATUS LinkTestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// What the stand-in has seen.
struct LinkTestCounters {
    std::atomic<uint64_t> outputPeriods{0};
    std::atomic<uint64_t> inputPeriods{0};
    std::atomic<uint64_t> framesRendered{0};
    std::atomic<int32_t> capturePeak{0};  // largest magnitude seen in the capture buffer
    std::atomic<uint64_t> midiNotices{0};
    std::atomic<uint64_t> removalNotices{0};
};

// The stand-in's device extension.
struct LinkTestDevice {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT physical;
    NTSTATUS queryStatus;  // of the private interface query at start
    StreamLinkInterface link;
    BOOLEAN haveLink;
    volatile LONG deviceGone;  // the removal notice came
    BUS_INTERFACE_STANDARD bus;
    BOOLEAN haveBus;
    PDMA_ADAPTER adapter;
    PVOID commonBuffer;
    ULONG commonBufferBytes;
    RingBuffer renderRing;
    PUCHAR renderStorage;
    int32_t* captureBuffer;
    ULONG captureFrames;
    ULONG latency;  // function 12
    uint32_t renderPhase;
    volatile LONG functionsUsed;  // bit per dispatch function number called
    LinkTestCounters* counters;
};

// The stand-in's device on the driver's one device, or null.
LinkTestDevice* FindLinkTestDevice();

// Calls the link's dispatch with the block, noting the function number as used.
void CallLink(LinkTestDevice* device, uint32_t function, void* block);

// Wave stream creation and format: latency, rate, and a rate change where the device differs.
void PrepareStreams(LinkTestDevice* device);
// Wave streams running: the render ring on the MME outputs, the capture buffer on the MME inputs,
// both callbacks registered, the channels opened.
void RunStreams(LinkTestDevice* device);
// And stopped again: callbacks unregistered, ring and buffer detached, channels closed.
void StopStreams(LinkTestDevice* device);
// Power-down of a wave miniport: streaming stops.
void PowerDownStreams(LinkTestDevice* device);

// MIDI miniport: callback registered and input opened; bytes out one at a time (the number the
// ring took); bytes in until none is left; input closed.
void OpenMidi(LinkTestDevice* device);
uint32_t SendMidi(LinkTestDevice* device, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadMidi(LinkTestDevice* device);
void CloseMidi(LinkTestDevice* device);

// A topology mute control set.
void SetTopologyMute(LinkTestDevice* device, uint32_t subdevice, uint32_t value);
// The remaining functions: channel counts, the reserved ones and the numbers that do nothing.
// True when every answer is the expected one.
bool QueryRemainingFunctions(LinkTestDevice* device);

// True when all 24 function numbers have been called.
bool UsedAllFunctions(const LinkTestDevice* device);

}  // namespace q407::testing
