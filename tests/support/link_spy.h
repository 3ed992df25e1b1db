// A spy on the stream link as Q407WDM uses it: a child-driver entry that runs the audio driver's
// own and routes the link record it obtains at start through a counting dispatch routine. The
// removal notice (the MIDI-input routine called with argument 1) is seen on its way to the driver,
// so that a test can tell the link calls made after it. One spied driver per test program at a
// time.
#pragma once

#include <cstdint>

#include "platform/kernel/wdk.h"

namespace q407::test {

// Q407WDM's entry, with its Plug and Play dispatch wrapped to install the spy.
NTSTATUS SpiedWdmDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

class LinkSpy {
  public:
    static void Reset();
    // Link records the spy took over (one per adapter start).
    static uint64_t Installed();
    static uint64_t Calls(uint32_t function);
    static bool NoticeGiven();
    // Calls of the MIDI functions (1, 9, 10, 11) with a device context after the removal notice.
    static uint64_t MidiCallsAfterNotice();
};

}  // namespace q407::test
