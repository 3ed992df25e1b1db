// What the demo runs beside its ASIO session, as another application would: a stereo WDM
// playback stream on ZEL_Wave1, which the engine mixes with the ASIO outputs 1/2, and a MIDI loop
// through the device's MIDI connectors. Both ride on the session's advances of the machine, in
// small steps, from the ASIO host's thread and process.
//
// The mix check: with the round trip R of the ASIO path known, input i (carrying output o) holds
// in frame f the saturated sum of ASIO sample f-R of output o (silence before the ASIO stream's
// first frame) and WDM sample f-R-d of the stream's channel o, kept to the device's 24 bits; d,
// where the WDM stream began (before or after the ASIO stream's first frame came out), is found
// as the first frame whose input differs from the ASIO sample alone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/wave_streams.h"

namespace q407::tools {

class DeviceRig;

struct CompanionReport {
    int32_t wdmStatus = 0;         // of the WDM stream's open or run (0: it played)
    uint64_t wdmFramesQueued = 0;  // frames handed to the driver
    uint64_t wdmFramesTotal = 0;   // frames it had to play
    uint64_t wdmPosition = 0;      // the driver's position in bytes when it closed
    int32_t midiStatus = 0;        // of the MIDI port's open or a send
    uint64_t midiSent = 0;
    uint64_t midiReceived = 0;
    uint64_t midiLost = 0;
    int64_t midiFirstMismatch = -1;  // index of the first received byte out of order, or -1
    bool MidiIntact() const {
        return midiStatus >= 0 && midiSent != 0 && midiReceived == midiSent && midiLost == 0 &&
               midiFirstMismatch < 0;
    }
};

// A recorded input against the mix of an ASIO output and the WDM stream's channel.
struct MixCheck {
    bool found = false;    // the WDM stream was heard at all
    int64_t wdmDelay = 0;  // ASIO output frame beside which its first sample played (may be < 0)
    uint64_t checked = 0;
    uint64_t wdmSamples = 0;  // of those, frames that carried a WDM sample
    uint64_t mismatches = 0;
    bool BitExact() const { return found && wdmSamples != 0 && mismatches == 0; }
};

class DemoCompanion {
  public:
    DemoCompanion(DeviceRig& rig, uint32_t rate, double seconds);
    ~DemoCompanion();
    DemoCompanion(const DemoCompanion&) = delete;
    DemoCompanion& operator=(const DemoCompanion&) = delete;

    // Opens and starts the WDM stream and the MIDI port (once; the host's thread and process).
    void Start();
    // Runs the machine for `seconds`, topping the stream up and moving MIDI in between.
    void Advance(double seconds);
    // Closes both (the host's thread and process, before it ends).
    void Finish();
    const CompanionReport& Report() const { return report_; }

    // The WDM stream's channel (0 or 1), full scale.
    int32_t WdmSample(int channel, uint64_t frame) const;
    MixCheck CheckMix(int channel, const std::vector<int32_t>& asioPlayed,
                      const std::vector<int32_t>& recorded, int64_t roundTrip) const;

  private:
    void Pump();
    DeviceRig& rig_;
    uint32_t rate_;
    uint64_t frames_;
    bool started_ = false;
    PlaybackStream wave_;
    struct Midi;
    std::unique_ptr<Midi> midi_;
    CompanionReport report_;
};

}  // namespace q407::tools
