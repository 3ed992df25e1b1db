// "q407 record FILE --device ZEL_WaveN --seconds S": records a stereo stream from Q407WDM's wave
// subdevice N (1..8: inputs 2N-1 and 2N) of a virtual Q407 LX into a 16- or 32-bit WAV file, as
// an application does through the audio stack. The device's inputs carry a ramp of their own by
// default, which the report checks sample by sample (none lost, repeated or altered); with
// --input loopback they carry the outputs, with --input silence nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace q407::tools {

class WdmMachine;

struct RecordReport {
    std::string device;
    int firstInput = 0;  // device input of the first channel, 0-based
    uint32_t rate = 0;
    int bits = 0;
    uint64_t frames = 0;                         // recorded
    int32_t status = 0;                          // of the open or the run that failed
    std::vector<std::vector<int32_t>> channels;  // full-scale samples
};

// Records `seconds` of stereo `bits`-bit audio at `rate` from `device` on a booted machine; one
// of the WdmExit statuses, with the message when it is not 0.
int RunRecord(WdmMachine& machine, const std::string& device, uint32_t rate, int bits,
              double seconds, RecordReport* report, std::string* error,
              const std::function<void(double done, double total)>& progress = {});

// Whether a recorded channel is the ramp of device input `input` (RampInputSample) from some
// frame on, every sample in turn; the count of samples that break it.
uint64_t RampBreaks(const std::vector<int32_t>& recorded, int input, int bits);

int RecordCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace q407::tools
