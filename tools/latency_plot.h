// The picture of a round trip: the played and the recorded signal of one channel around the
// first impulse, with the measured latency marked, drawn by gnuplot into a PNG file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace q407::tools {

struct LatencyPlot {
    std::vector<int32_t> played;    // from frame 0
    std::vector<int32_t> recorded;  // from frame 0 of the same clock
    int64_t impulseFrame = 0;       // where the played impulse is
    int64_t latencyFrames = -1;     // measured round trip; -1: nothing came back
    int64_t reportedFrames = -1;    // what the driver reports; -1: not shown
    uint32_t rate = 0;
    std::string title;
};

// The gnuplot program that draws the plot into `pngPath` (data inline).
std::string LatencyPlotScript(const LatencyPlot& plot, const std::string& pngPath);

// Runs gnuplot; false, with the message, when gnuplot is missing or fails.
bool WriteLatencyPlot(const LatencyPlot& plot, const std::string& pngPath, std::string* error);

}  // namespace q407::tools
