// "q407 stream": brings the engine up on a virtual Q407 LX, streams for a while and reports what
// moved through the pipes as one JSON object.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "sim/host/machine_clock.h"
#include "tools/command_line.h"

namespace q407::tools {

struct StreamOptions : RunOptions {
    bool realTime = false;
    std::string pcapPath;
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
