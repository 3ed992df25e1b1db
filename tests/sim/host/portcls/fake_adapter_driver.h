// A port-class adapter driver for the tests of the port-class emulation, loaded on the child
// device like the real one: it registers through the real entry points a wave subdevice (a
// wave-cyclic miniport with a render, a capture and two bridge pins) and a mixer subdevice (a
// topology miniport with volume and mute nodes on a playback and a recording path), connects
// them physically, and notes what each port-class call answered. The knobs let a test make the
// start go differently.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/portcls/portcls.h"

namespace q407::testing {

inline constexpr ULONG kFakeMiniportTag = POOL_TAG("FkMp");
inline constexpr wchar_t kFakeWaveName[] = L"TST_Wave1";
inline constexpr wchar_t kFakeMixerName[] = L"TST_Mixer1";
inline constexpr ULONG kFakeMaxObjects = 4;

NTSTATUS FakeAdapterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

struct FakeAdapterKnobs {
    bool registerMixer = true;
    bool connect = true;
    // Register a third subdevice without Init, under a taken name, and so on (the statuses go
    // to the log).
    bool tryBadRegistrations = false;
    // The mixer miniport's Init fails with this status (success: it does not).
    NTSTATUS mixerInitStatus = STATUS_SUCCESS;
    // Faults the port-class driver must catch: a write into its part of the device extension,
    // and a port initialised twice.
    bool scribbleOnPortClassArea = false;
    bool initWaveTwice = false;
};

// What the driver saw; reset by ResetFakeAdapter.
struct FakeAdapterLog {
    std::atomic<int> starts{0};
    NTSTATUS portEventsQuery = STATUS_PENDING;  // of the wave-cyclic port for IPortEvents
    NTSTATUS unknownClass = STATUS_PENDING;     // PcNewPort with an unknown class
    NTSTATUS wrongDirection = STATUS_PENDING;   // a connection from an input pin
    NTSTATUS pinOutOfRange = STATUS_PENDING;
    NTSTATUS duplicateName = STATUS_PENDING;
    NTSTATUS uninitialisedPort = STATUS_PENDING;
    NTSTATUS badName = STATUS_PENDING;
    NTSTATUS beyondMaxObjects = STATUS_PENDING;
    NTSTATUS startStatus = STATUS_PENDING;
    std::atomic<int> liveMiniports{0};
    // Power states the miniports were told, in order.
    std::vector<DEVICE_POWER_STATE> wavePower;
    std::vector<DEVICE_POWER_STATE> mixerPower;
    // The last property request the mute handler received.
    ULONG lastInstanceSize = 0;
    ULONG lastValueSize = 0;
    ULONG lastNode = 0;
    ULONG lastVerb = 0;
    bool lastMajorTargetIsMiniport = false;
    KIRQL lastHandlerIrql = HIGH_LEVEL;
};

FakeAdapterKnobs& FakeKnobs();
FakeAdapterLog& FakeLog();
void ResetFakeAdapter();

// The mixer's mute state of a node (1 and 3 have mute controls).
bool FakeMuted(ULONG node);

}  // namespace q407::testing
