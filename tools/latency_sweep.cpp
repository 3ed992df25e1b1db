#include "tools/latency_sweep.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "tools/asio_device_session.h"
#include "tools/round_trip_analysis.h"
#include "tools/test_signal.h"

namespace q407::tools {

bool MeasureRoundTrips(uint32_t rate, uint32_t latency, uint32_t buffers, uint32_t starts,
                       const std::string& libraryPath, LatencySweepRow* row, std::string* error) {
    *row = {};
    row->rate = rate;
    row->latency = latency;
    row->buffers = buffers;
    DeviceSessionOptions options;
    options.rate = rate;
    options.latency = latency;
    options.buffers = buffers;
    options.libraryPath = libraryPath;
    DeviceSession session;
    if (!session.Boot(options, error)) return false;
    AsioSessionRequest request;
    request.sampleRate = rate;
    request.outputs = {0};
    request.inputs = {0};
    // Long enough for the impulse to come back at the largest buffer settings.
    request.frames = kImpulseFrame + 4ull * latency + 1500;
    request.keepPlayed = true;
    request.signal = [](size_t, uint64_t f) { return TestSignalSample(f, 0); };
    for (uint32_t s = 0; s < starts; ++s) {
        DeviceSessionResult result;
        if (session.Run(request, &result, error) != AsioSessionFailure::None) return false;
        const ChannelComparison c =
            CompareChannel(result.asio.played.at(0), result.asio.recorded.at(0));
        row->reportedInput = result.asio.inputLatency;
        row->reportedOutput = result.asio.outputLatency;
        row->reportedFrames = result.asio.inputLatency + result.asio.outputLatency;
        if (c.delayFrames < 0) {
            ++row->lost;
            continue;
        }
        if (!c.BitExact()) ++row->notExact;
        if (row->starts == 0 || c.delayFrames < row->minFrames) row->minFrames = c.delayFrames;
        if (row->starts == 0 || c.delayFrames > row->maxFrames) row->maxFrames = c.delayFrames;
        ++row->starts;
        // A start a few periods after the last one's stop, as a host's next run would be.
        session.RunForSeconds(0.003 * double(s % 7 + 1));
    }
    return true;
}

bool RunLatencySweep(const LatencySweepOptions& options, std::vector<LatencySweepRow>* rows,
                     std::string* error,
                     const std::function<void(const LatencySweepRow&)>& progress) {
    for (uint32_t rate : options.rates) {
        for (uint32_t latency : options.latencies) {
            for (uint32_t buffers : options.bufferCounts) {
                LatencySweepRow row;
                if (!MeasureRoundTrips(rate, latency, buffers, options.starts, options.libraryPath,
                                       &row, error))
                    return false;
                rows->push_back(row);
                if (progress) progress(row);
            }
        }
    }
    return true;
}

bool LatencySweepAgrees(const std::vector<LatencySweepRow>& rows) {
    for (const LatencySweepRow& row : rows)
        if (!row.Agrees()) return false;
    return !rows.empty();
}

std::string LatencySweepTable(const std::vector<LatencySweepRow>& rows) {
    std::string text =
        "  rate      L     n  starts  lost  inexact  round trip (frames)  reported in + out      "
        "ms\n";
    char line[160];
    for (const LatencySweepRow& r : rows) {
        std::snprintf(line, sizeof(line),
                      "%6u %6u %5u %7u %5u %8u  %8lld..%-8lld  %6ld + %-6ld %s %8.3f\n", r.rate,
                      r.latency, r.buffers, r.starts, r.lost, r.notExact,
                      static_cast<long long>(r.minFrames), static_cast<long long>(r.maxFrames),
                      r.reportedInput, r.reportedOutput,
                      r.Agrees() ? "= " : "!=", 1000.0 * double(r.maxFrames) / r.rate);
        text += line;
    }
    return text;
}

std::string LatencySweepJson(const std::vector<LatencySweepRow>& rows) {
    nlohmann::json list = nlohmann::json::array();
    for (const LatencySweepRow& r : rows)
        list.push_back({{"rate", r.rate},
                        {"latency", r.latency},
                        {"buffers", r.buffers},
                        {"starts", r.starts},
                        {"lost", r.lost},
                        {"not_bit_exact", r.notExact},
                        {"min_round_trip_frames", r.minFrames},
                        {"max_round_trip_frames", r.maxFrames},
                        {"reported_input", r.reportedInput},
                        {"reported_output", r.reportedOutput},
                        {"agrees", r.Agrees()}});
    return nlohmann::json{{"settings", list}, {"all_agree", LatencySweepAgrees(rows)}}.dump();
}

}  // namespace q407::tools
