// "q407 stream": brings the engine up on a virtual Q407 LX, streams for a while and reports what
// moved through the pipes as one JSON object.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "sim/host/machine_clock.h"
#include "tools/command_line.h"

namespace q407::tools {

struct StreamOptions : RunOptions {
    bool realTime = false;
    std::string pcapPath;
    // Plug and Play during the stream, in seconds from its start: the device pulled out; plugged
    // in again this long after being pulled out; the machine put to sleep (and woken a second
    // later, or at the end of the run).
    std::optional<double> unplugAfter;
    std::optional<double> replugAfter;
    std::optional<double> sleepAfter;
    bool UsesPnp() const { return unplugAfter || sleepAfter; }
};

// A Plug and Play event during a stream: when, what, and the system's status for it.
struct StreamEvent {
    double at = 0;
    std::string what;  // "unplug", "replug", "sleep", "wake"
    uint32_t status = 0;
};

struct StreamReport {
    uint32_t rate = 0;
    uint32_t buffers = 0;
    double seconds = 0;
    uint64_t playbackTransfers = 0;  // completions the engine processed
    uint64_t captureTransfers = 0;
    uint64_t midiInTransfers = 0;
    uint64_t deviceUnderruns = 0;
    uint64_t deviceOverruns = 0;
    uint64_t captureUnitsDropped = 0;
    uint64_t midiOutBytes = 0;
    uint64_t midiInBytes = 0;
    uint64_t inputPeriods = 0;
    uint64_t outputPeriods = 0;
    uint64_t playbackUnitsPlayed = 0;
    uint64_t captureUnitsCaptured = 0;
    std::vector<StreamEvent> events;  // with the Plug and Play options only
};

// Parses the arguments after "stream"; an error message when they are not usable.
std::optional<StreamOptions> ParseStreamOptions(int argc, char** argv, std::string* error);
std::string StreamUsage();
// Runs the stream; status of the engine start when it fails.
bool RunStream(const StreamOptions& options, StreamReport* report, std::string* error);
std::string FormatStreamReport(const StreamReport& report);

// The subcommand: 0 on success, 2 for bad arguments, 1 when the run fails.
int StreamCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace q407::tools
