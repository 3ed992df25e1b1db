// A port-class adapter driver for the streaming tests: on start it creates a wave-PCI port with
// the fake wave miniport ("ZEL_Wave1") and a DirectMusic port with the fake MIDI miniport
// ("ZEL_Midi1") and registers both as subdevices, as an audio driver does.
#pragma once

#include "platform/portcls/portcls.h"
#include "tests/sim/host/portcls/fake_dmus_miniport.h"
#include "tests/sim/host/portcls/fake_wave_pci_miniport.h"

namespace q407::testing {

inline constexpr wchar_t kFakeWaveName[] = L"ZEL_Wave1";
inline constexpr wchar_t kFakeMidiName[] = L"ZEL_Midi1";

// The entry the rig loads on the child device.
NTSTATUS FakeAdapterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// What the started adapter's miniports log (reset before each start), and the miniports
// themselves while the subdevices live (not referenced).
FakeWaveLog& FakeAdapterWaveLog();
FakeMidiLog& FakeAdapterMidiLog();
PUNKNOWN FakeAdapterWaveMiniport();
PUNKNOWN FakeAdapterMidiMiniport();
void ResetFakeAdapter();

}  // namespace q407::testing
