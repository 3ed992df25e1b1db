// What a long-running machine's devices carry, unit by unit: what feeds their inputs (their own
// outputs looped back, a ramp, the test signal, silence or a looped WAV file), a WAV file of their
// outputs and a capture of their USB traffic. A unit plugged in again is a new device: Apply gives
// it the same feeds, and its outputs and traffic go on into the same files.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace q407::sim {
struct WavData;
class WavOutputSink;
}  // namespace q407::sim

namespace q407::tools {

class DeviceRig;

struct MachineFeedOptions {
    // "loopback", "ramp", "signal", "silence", or the path of a WAV file (input c carries the
    // file's channel c modulo its channel count, looped).
    std::string input = "loopback";
    std::string outputsWav;  // empty: none
    std::string pcapPath;    // empty: none
};

// Unit 0 writes to the path as given, unit n > 0 to the path with "-n" before its extension.
std::string UnitFilePath(const std::string& path, int unit);

class MachineFeeds {
  public:
    // Checks the options and reads the input file; false with the message.
    bool Prepare(const MachineFeedOptions& options, std::string* error);
    // Gives the unit's device on the bus now its inputs, output file and capture.
    bool Apply(DeviceRig& rig, int unit, std::string* error);
    // Takes the output files off the devices and finishes them, ends the captures; false with
    // the message when a file could not be written.
    bool Finish(DeviceRig& rig, std::string* error);

  private:
    MachineFeedOptions options_;
    std::shared_ptr<const sim::WavData> inputWav_;
    std::vector<std::shared_ptr<sim::WavOutputSink>> sinks_;  // by unit
    std::vector<bool> captureStarted_;                        // by unit
};

}  // namespace q407::tools
