// q407 pnp: plugs a virtual Q407 LX through the Plug and Play manager, streams briefly and takes
// it away again, alternately pulled out (surprise removal) and removed in order, many times over,
// and reports what each kind of event did, the pool left behind by tag and the time taken.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>

namespace q407::tools {

struct PnpCycleOptions {
    uint32_t cycles = 10;
    double streamSeconds = 0.05;  // streamed per cycle, virtual time
};

// Per kind of event: how often it happened and how often it did what it should.
struct PnpEventCount {
    uint64_t count = 0;
    uint64_t ok = 0;
};

struct PnpCycleReport {
    uint32_t cycles = 0;
    PnpEventCount plug;             // started, facade up
    PnpEventCount stream;           // the engine's transfers moved
    PnpEventCount surpriseRemoval;  // removed once the client let go, its requests refused
    PnpEventCount removal;          // query-remove and remove
    std::map<std::string, uint64_t> poolLeftBytes;  // by tag, beyond what was there before
    double wallSeconds = 0;
    double virtualSeconds = 0;
    bool Clean() const;
};

// Runs the cycles; progress lines go to progress (null: none).
PnpCycleReport RunPnpCycles(const PnpCycleOptions& options, std::ostream* progress);

// Exit status 0 when every event did what it should and no pool was left, 3 when not, 2 for bad
// arguments.
int PnpCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace q407::tools
