// A small DirectMusic miniport for the port's tests: a render pin whose stream records the bytes
// of every event chain (and gives the events back, or holds them when told to), and a capture
// pin whose stream turns bytes the test feeds it into events for the connected sink when the
// port pulls its input.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/portcls/portcls.h"

namespace q407::testing {

inline constexpr ULONG kFakeMidiRenderPin = 0;
inline constexpr ULONG kFakeMidiCapturePin = 1;

struct FakeMidiLog {
    std::mutex mutex;
    std::vector<uint8_t> rendered;  // bytes of render events, in order
    std::vector<USHORT> renderEventSizes;
    std::vector<KSSTATE> renderStates;
    std::vector<KSSTATE> captureStates;
    std::deque<uint8_t> input;  // bytes the capture stream hands out when pulled
    int services = 0;           // the miniport's Service
    int pulls = 0;              // PutMessage(NULL) on the capture stream
    KIRQL lowestPutIrql = HIGH_LEVEL;
    int streamsAlive = 0;
    PMXF connectedSink = nullptr;  // not referenced
    // Settings
    bool holdRenderEvents = false;  // keep render events instead of giving them back
};

NTSTATUS CreateFakeDmusMiniport(FakeMidiLog* log, PUNKNOWN* unknown);

// Gives back the render events the stream holds (holdRenderEvents); the count given back.
size_t ReleaseHeldRenderEvents(PUNKNOWN miniport);

// The miniport's service group (registered with the port at init); not referenced.
PSERVICEGROUP FakeDmusServiceGroup(PUNKNOWN miniport);

}  // namespace q407::testing
