// What the engine tells the device facade while it streams. The facade fills the table before it
// constructs the engine and keeps it alive as long as the engine lives. Every entry is called at
// DISPATCH_LEVEL from a pipe completion and must take no lock of its own: the output notice comes
// after the playback lock is released, the input notices under the capture lock, the MIDI notice
// under the MIDI input lock. A null entry is skipped.
#pragma once

#include "platform/kernel/wdk.h"

namespace q407 {

struct EngineNotifications {
    PVOID context;
    // An output half has been queued for the device and cleared: WDM playback streams refill.
    void (*NotifyOutputPeriod)(PVOID context);
    // An input period has been handed to the clients; called before SignalAsioPeriod.
    void (*NotifyInputPeriod)(PVOID context);
    // Sets the ASIO client's event; returns 1 when an event was signalled.
    LONG (*SignalAsioPeriod)(PVOID context);
    // MIDI input bytes arrived in the MIDI input ring.
    void (*NotifyMidiIn)(PVOID context);
};

}  // namespace q407
