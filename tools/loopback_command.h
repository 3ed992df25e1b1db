// "q407 loopback": an ASIO stream on a virtual Q407 LX whose outputs are looped back to its
// inputs. A test signal plays on all 8 outputs; the command reports the measured round trip beside
// the one the engine's design gives, bit-exactness per output and the dropouts, as one JSON
// object.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include "tools/command_line.h"

namespace q407::tools {

struct LoopbackOptions : RunOptions {
    uint32_t latency = 256;  // L, frames per ASIO half
};

struct LoopbackReport {
    uint32_t rate = 0;
    uint32_t latency = 0;
    uint32_t buffers = 0;
    double seconds = 0;
    int64_t latencyFrames = -1;  // measured round trip; -1 when nothing came back
    int64_t derivedLatencyFrames = -1;
    std::array<bool, 8> bitExact{};
    uint64_t asioPeriods = 0;
    uint64_t dropouts = 0;
    uint64_t deviceUnderruns = 0;
    uint64_t deviceOverruns = 0;
};

// The round trip the design gives for latency L and USB buffer count n.
int64_t DeriveLoopbackRoundTrip(int64_t latency, int64_t buffers);

std::optional<LoopbackOptions> ParseLoopbackOptions(int argc, char** argv, std::string* error);
std::string LoopbackUsage();
// progress, when given, is called after every step of the run with the seconds done so far.
bool RunLoopback(const LoopbackOptions& options, LoopbackReport* report, std::string* error,
                 const std::function<void(double done, double total)>& progress = {});
// True when every output came back bit-exact at the derived round trip with no dropout.
bool LoopbackPassed(const LoopbackReport& report);
std::string FormatLoopbackReport(const LoopbackReport& report);

// The subcommand: 0 when the check passes, 3 when it ran but failed, 2 for bad arguments, 1
// when the run could not be made. Progress goes to err.
int LoopbackCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace q407::tools
