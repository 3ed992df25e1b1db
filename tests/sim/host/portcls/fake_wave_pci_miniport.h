// A small wave-PCI miniport for the port's tests: one playback and one recording streaming pin,
// streams that consume (playback) or fill (recording) a fixed number of bytes per service through
// the port's mappings, and a log of everything the port asked of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/portcls/portcls.h"

namespace q407::testing {

inline constexpr ULONG kFakePlaybackPin = 0;
inline constexpr ULONG kFakeRecordingPin = 2;

// What the streams did, shared with the test.
struct FakeWaveLog {
    std::mutex mutex;
    std::vector<KSSTATE> states;          // every SetState, in order
    std::vector<uint8_t> played;          // bytes taken from playback mappings
    std::vector<uintptr_t> tagsReleased;  // in release order
    std::vector<uint32_t> mappingBytes;   // size of each mapping received
    uint64_t recorded = 0;                // bytes written into recording mappings
    int services = 0;
    KIRQL lowestServiceIrql = HIGH_LEVEL;
    int mappingAvailable = 0;
    int revokes = 0;
    int streamsAlive = 0;
    int initCalls = 0;
    NTSTATUS dmaStatus = STATUS_PENDING;  // NewMasterDmaChannel's answer at init
    // Settings
    ULONG bytesPerService = 64;
    NTSTATUS newStreamStatus = STATUS_SUCCESS;  // what NewStream answers
    NTSTATUS refuseState = STATUS_SUCCESS;      // answered to a SetState(refusedState)
    KSSTATE refusedState = KSSTATE_RUN;
    bool implementIntersection = true;
    ULONG framingBytes = 1024;
};

// One counted reference to the miniport's IUnknown.
NTSTATUS CreateFakeWavePciMiniport(FakeWaveLog* log, PUNKNOWN* unknown);

// The service group the miniport's streams were given for the pin (null when none is open);
// not referenced.
PSERVICEGROUP FakeWaveStreamServiceGroup(PUNKNOWN miniport, ULONG pin);

}  // namespace q407::testing
