// The round trip through the looped-back device, measured over many starts of the ASIO driver at
// every rate, at buffer sizes 32, 256 and 1024 and with 2 and 5 USB buffers, beside the latencies
// the driver reports. Each start plays the test signal's impulse on output 1 and finds it on
// input 1.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace q407::tools {

struct LatencySweepOptions {
    uint32_t starts = 100;
    std::vector<uint32_t> rates = {44100, 48000, 88200, 96000};
    std::vector<uint32_t> latencies = {32, 256, 1024};
    std::vector<uint32_t> bufferCounts = {2, 5};
    std::string libraryPath;
};

struct LatencySweepRow {
    uint32_t rate = 0;
    uint32_t latency = 0;
    uint32_t buffers = 0;
    uint32_t starts = 0;    // starts that brought the impulse back
    uint32_t lost = 0;      // starts whose impulse did not come back
    uint32_t notExact = 0;  // starts whose signal did not come back bit-exact
    int64_t minFrames = -1;
    int64_t maxFrames = -1;
    long reportedInput = 0;
    long reportedOutput = 0;
    long reportedFrames = 0;  // input + output
    bool Agrees() const {
        return starts != 0 && lost == 0 && notExact == 0 && minFrames == maxFrames &&
               maxFrames == reportedFrames;
    }
};

// False, with the message, when a session cannot run.
bool RunLatencySweep(const LatencySweepOptions& options, std::vector<LatencySweepRow>* rows,
                     std::string* error,
                     const std::function<void(const LatencySweepRow&)>& progress = {});
// One setting: `starts` starts on one machine.
bool MeasureRoundTrips(uint32_t rate, uint32_t latency, uint32_t buffers, uint32_t starts,
                       const std::string& libraryPath, LatencySweepRow* row, std::string* error);

bool LatencySweepAgrees(const std::vector<LatencySweepRow>& rows);
std::string LatencySweepTable(const std::vector<LatencySweepRow>& rows);
std::string LatencySweepJson(const std::vector<LatencySweepRow>& rows);

}  // namespace q407::tools
