// "q407 play FILE --device ZEL_WaveN": plays a WAV file (16- or 32-bit PCM, plain or
// WAVE_FORMAT_EXTENSIBLE; 24-bit files are widened to 32 bits) through Q407WDM's wave subdevice,
// as an application does through the audio stack, on a virtual Q407 LX. The device's outputs
// are compared with the file: the report says, per channel, whether every sample came out
// bit-exact (the device's converters keep 24 bits, so 32-bit samples are compared in their upper
// 24 bits). --list lists the subdevices.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/wav_io.h"
#include "tools/wave_streams.h"

namespace q407::tools {

class WdmMachine;

struct PlayReport {
    std::string device;
    int firstOutput = 0;  // device output of the first channel, 0-based
    uint32_t rate = 0;
    int channels = 0;
    int bits = 0;  // as sent to the device
    bool extensible = false;
    uint64_t frames = 0;  // in the file
    uint64_t bytesQueued = 0;
    uint64_t position = 0;             // the driver's position before the stream closed
    int32_t status = 0;                // of the open or the run that failed
    std::vector<DelayedCheck> checks;  // per file channel, against the device's output
    // False on a running machine, whose outputs the command cannot see: then it played all.
    bool outputsChecked = true;
    bool AllBitExact() const;
    bool Passed() const { return outputsChecked ? AllBitExact() : true; }
};

// Plays the clip (full-scale samples) as `bits`-bit samples through `device` on a booted machine
// that keeps its outputs (or a linked machine, unchecked); one of the WdmExit statuses, with the
// message when it is not 0.
int RunPlay(WdmMachine& machine, const AudioClip& clip, int bits, bool extensible,
            const std::string& device, PlayReport* report, std::string* error,
            const std::function<void(double done, double total)>& progress = {});

int PlayCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace q407::tools
