#include "tools/demo_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "tools/asio_device_session.h"
#include "tools/cli_parse.h"
#include "tools/demo_companion.h"
#include "tools/device_report.h"
#include "tools/latency_plot.h"
#include "tools/round_trip_analysis.h"
#include "tools/test_signal.h"
#include "tools/wav_io.h"

namespace q407::tools {
namespace {

std::string FirmwareText(const DeviceReport& r) {
    const char letter =
        r.firmwareLetter >= 0x20 && r.firmwareLetter < 0x7F ? r.firmwareLetter : '?';
    return std::string(1, letter) + " " + std::to_string(r.firmwareMajor) + "." +
           std::to_string(r.firmwareMinor);
}

// The ASIO outputs the demo's WDM stream (ZEL_Wave1) is mixed into.
constexpr long kWdmOutputs = 2;

struct OutputVerdict {
    long output = 0;
    bool bitExact = false;  // on both inputs that carry it
    int64_t roundTrip = -1;
};

// The progress bar of a real-time run: one line redrawn in place.
void DrawBar(std::ostream& err, uint64_t done, uint64_t total, uint32_t rate) {
    constexpr int kWidth = 40;
    const int filled = total != 0 ? int(kWidth * done / total) : kWidth;
    char line[128];
    std::snprintf(line, sizeof(line), "\rq407 demo: [%-*s] %5.1f / %.1f s", kWidth,
                  std::string(size_t(filled), '#').c_str(), double(done) / rate,
                  double(total) / rate);
    err << line << std::flush;
}

}  // namespace

int DemoCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    CLI::App app{
        "The main job: an ASIO session through the ASIO driver on a virtual Q407 LX whose "
        "outputs are looped back to its inputs. Plays the test signal on all 8 outputs, records "
        "all 16 inputs, and reports the round trip beside the driver's reported latencies, "
        "bit-exactness per channel and dropouts. Meanwhile a WDM stream plays through ZEL_Wave1 "
        "(mixed into outputs 1/2) and MIDI loops through ZEL_Midi1. Real time with a progress "
        "bar unless --fast.",
        "q407 demo"};
    std::string recordPath = "q407-demo.wav", plotPath, driverPath;
    double seconds = 5;
    uint32_t rate = 48000, latency = 256, buffers = 4;
    bool json = false, fast = false;
    app.add_flag("--fast", fast, "run in virtual time (as fast as the machine allows)");
    app.add_flag("--json", json, "print one JSON object instead of the report");
    app.add_option("--plot", plotPath, "draw the first impulse's round trip into this PNG file");
    app.add_option("--record", recordPath, "WAV file for the 16 recorded inputs")
        ->capture_default_str();
    app.add_option("--seconds", seconds, "how long to stream")
        ->check(CLI::Range(0.2, 3600.0))
        ->capture_default_str();
    app.add_option("--rate", rate, "sample rate")
        ->check(CLI::IsMember({44100, 48000, 88200, 96000}))
        ->capture_default_str();
    app.add_option("--latency", latency, "ASIO buffer size in frames (32..1024)")
        ->check(CLI::Range(32, 1024))
        ->capture_default_str();
    app.add_option("--buffers", buffers, "USB buffers (2..5)")
        ->check(CLI::Range(2, 5))
        ->capture_default_str();
    app.add_option("--driver", driverPath, "the ASIO driver library to load");
    if (const std::optional<int> exit = ParseCommandLine(app, argc, argv, out, err)) return *exit;

    AsioSessionRequest request;
    request.sampleRate = rate;
    for (long c = 0; c < 8; ++c) request.outputs.push_back(c);
    for (long c = 0; c < 16; ++c) request.inputs.push_back(c);
    request.frames = static_cast<uint64_t>(seconds * rate);
    request.keepPlayed = true;
    request.signal = [](size_t o, uint64_t f) { return TestSignalSample(f, int(o)); };
    int lastStep = -1;
    request.progress = [&](uint64_t done, uint64_t total) {
        if (!fast) {
            DrawBar(err, done, total, rate);
            return;
        }
        const int step = int(4 * done / total);
        if (step == lastStep) return;
        lastStep = step;
        char line[96];
        std::snprintf(line, sizeof(line), "q407 demo: %.1f of %.1f s streamed\n",
                      double(done) / rate, double(total) / rate);
        err << line << std::flush;
    };
    DeviceSessionOptions options;
    options.rate = rate;
    options.latency = latency;
    options.buffers = buffers;
    options.realTime = !fast;
    options.libraryPath = driverPath;
    options.wdmDriver = true;
    options.midiLoopback = true;
    DeviceSessionResult result;
    std::string error;
    DeviceSession session;
    if (!session.Boot(options, &error)) {
        err << "q407 demo: " << error << "\n";
        return 1;
    }
    // Another application plays through the port-class driver meanwhile and loops MIDI.
    DemoCompanion companion(session.Rig(), rate, seconds);
    request.started = [&companion] { companion.Start(); };
    request.advance = [&companion](double s) { companion.Advance(s); };
    const AsioSessionFailure failure =
        session.Run(request, &result, &error, [&companion] { companion.Finish(); });
    if (!fast) err << "\n";
    if (failure != AsioSessionFailure::None) {
        err << "q407 demo: " << error << "\n";
        return 1;
    }
    const CompanionReport& companionReport = companion.Report();
    const AsioSessionResult& asio = result.asio;

    AudioClip recording;
    recording.rate = rate;
    recording.channels = asio.recorded;
    size_t frames = SIZE_MAX;
    for (const auto& c : recording.channels) frames = std::min(frames, c.size());
    for (auto& c : recording.channels) c.resize(frames);
    const bool recordingWritten = WriteWavFile(recordPath, recording, &error);
    if (!recordingWritten) err << "q407 demo: " << error << "\n";

    const auto checks = CheckLoopback(request.inputs, asio.recorded, request.outputs, asio.played);
    std::vector<OutputVerdict> verdicts;
    int64_t roundTrip = -1;
    bool allSame = true;
    // Outputs 1/2 carry the WDM stream too: they are checked as the mix, below.
    for (long o = kWdmOutputs; o < 8; ++o) {
        OutputVerdict v{o, true, -1};
        int seen = 0;
        for (const LoopbackCheck& c : checks) {
            if (c.source != o) continue;
            ++seen;
            v.bitExact = v.bitExact && c.comparison.BitExact();
            if (v.roundTrip < 0) v.roundTrip = c.comparison.delayFrames;
            if (c.comparison.delayFrames != v.roundTrip) v.bitExact = false;
        }
        v.bitExact = v.bitExact && seen == 2;
        if (roundTrip < 0) roundTrip = v.roundTrip;
        if (v.roundTrip != roundTrip) allSame = false;
        verdicts.push_back(v);
    }
    // Outputs 1/2 also carry the WDM stream: each of their inputs is checked as the mix.
    std::vector<MixCheck> mixes;  // inputs 1, 9, 2, 10
    std::vector<OutputVerdict> mixed;
    for (long o = 0; o < kWdmOutputs; ++o) {
        OutputVerdict v{o, true, roundTrip};
        for (size_t input : {size_t(o), size_t(o) + 8}) {
            mixes.push_back(companion.CheckMix(int(o), asio.played.at(size_t(o)),
                                               asio.recorded.at(input), roundTrip));
            v.bitExact = v.bitExact && mixes.back().BitExact();
        }
        mixed.push_back(v);
    }
    verdicts.insert(verdicts.begin(), mixed.begin(), mixed.end());
    const bool wdmPlayed = companionReport.wdmStatus >= 0 &&
                           companionReport.wdmFramesQueued == companionReport.wdmFramesTotal;
    const bool midiIntact = companionReport.MidiIntact();
    const long reported = asio.inputLatency + asio.outputLatency;
    bool allExact = true;
    for (const OutputVerdict& v : verdicts) allExact = allExact && v.bitExact;
    const bool passed = allExact && allSame && roundTrip >= 0 && roundTrip == reported &&
                        result.Dropouts() == 0 && recordingWritten && wdmPlayed && midiIntact;

    bool plotted = false;
    if (!plotPath.empty()) {
        LatencyPlot plot;
        plot.played = asio.played.at(0);
        plot.recorded = asio.recorded.at(0);
        plot.impulseFrame = static_cast<int64_t>(kImpulseFrame);
        plot.latencyFrames = verdicts[0].roundTrip;
        plot.reportedFrames = reported;
        plot.rate = rate;
        char title[160];
        std::snprintf(title, sizeof(title),
                      "Q407 LX round trip, output 1 to input 1: %u Hz, buffer %ld, %u USB buffers",
                      rate, asio.bufferFrames, buffers);
        plot.title = title;
        plotted = WriteLatencyPlot(plot, plotPath, &error);
        if (!plotted) err << "q407 demo: " << error << "\n";
    }

    const double msPerFrame = 1000.0 / rate;
    const DeviceReport& d = result.device;
    if (json) {
        nlohmann::json outputs = nlohmann::json::array();
        for (const OutputVerdict& v : verdicts)
            outputs.push_back({{"output", v.output + 1},
                               {"inputs", {v.output + 1, v.output + 9}},
                               {"bit_exact", v.bitExact},
                               {"round_trip_frames", v.roundTrip}});
        nlohmann::json j = {
            {"device", result.deviceKnown ? PrintablePath(d.path) : ""},
            {"firmware", result.deviceKnown ? FirmwareText(d) : ""},
            {"usb_driver_version", result.deviceKnown ? std::to_string(d.driverMajor) + "." +
                                                            std::to_string(d.driverMinor)
                                                      : ""},
            {"asio_driver", asio.driverName},
            {"asio_driver_version", asio.driverVersion},
            {"rate", rate},
            {"buffer_frames", asio.bufferFrames},
            {"usb_buffers", buffers},
            {"seconds", seconds},
            {"time", fast ? "virtual" : "real"},
            {"round_trip_frames", roundTrip},
            {"round_trip_ms", roundTrip >= 0 ? double(roundTrip) * msPerFrame : -1.0},
            {"reported_input_latency", asio.inputLatency},
            {"reported_output_latency", asio.outputLatency},
            {"reported_round_trip_frames", reported},
            {"reported_matches_measured", roundTrip == reported},
            {"outputs", outputs},
            {"all_bit_exact", allExact},
            {"dropouts", result.Dropouts()},
            {"buffer_switches", asio.bufferSwitches},
            {"recording", recordingWritten ? recordPath : ""},
            {"passed", passed},
        };
        nlohmann::json mixJson = nlohmann::json::array();
        for (size_t i = 0; i < mixes.size(); ++i)
            mixJson.push_back({{"input", i % 2 == 0 ? i / 2 + 1 : i / 2 + 9},
                               {"bit_exact", mixes[i].BitExact()},
                               {"wdm_samples", mixes[i].wdmSamples},
                               {"wdm_delay_frames", mixes[i].wdmDelay}});
        j["wdm"] = {{"device", "ZEL_Wave1"},
                    {"outputs", {1, 2}},
                    {"status", companionReport.wdmStatus},
                    {"frames_played", companionReport.wdmFramesQueued},
                    {"frames_total", companionReport.wdmFramesTotal},
                    {"position_bytes", companionReport.wdmPosition},
                    {"mix", mixJson},
                    {"passed", wdmPlayed}};
        j["midi"] = {{"device", "ZEL_Midi1"},
                     {"status", companionReport.midiStatus},
                     {"bytes_sent", companionReport.midiSent},
                     {"bytes_received", companionReport.midiReceived},
                     {"lost", companionReport.midiLost},
                     {"first_out_of_order", companionReport.midiFirstMismatch},
                     {"passed", midiIntact}};
        if (!plotPath.empty()) j["plot"] = plotted ? plotPath : "";
        out << j.dump() << "\n";
    } else {
        char line[200];
        out << "Q407 LX demo: ASIO round trip through a looped-back virtual device ("
            << (fast ? "virtual" : "real") << " time)\n";
        if (result.deviceKnown) {
            out << "  device             " << PrintablePath(d.path) << "\n";
            out << "  firmware           " << FirmwareText(d) << "\n";
            std::snprintf(line, sizeof(line), "  USB driver         %u.%u\n", d.driverMajor,
                          d.driverMinor);
            out << line;
        }
        out << "  ASIO driver        " << asio.driverName << ", version " << asio.driverVersion
            << "\n";
        std::snprintf(line, sizeof(line),
                      "  rate, buffer       %u Hz, %ld frames (%.2f ms), %u USB buffers\n", rate,
                      asio.bufferFrames, double(asio.bufferFrames) * msPerFrame, buffers);
        out << line;
        std::snprintf(line, sizeof(line), "  round trip         %lld frames (%.3f ms) measured\n",
                      static_cast<long long>(roundTrip), double(roundTrip) * msPerFrame);
        out << line;
        std::snprintf(line, sizeof(line),
                      "  reported latency   input %ld + output %ld = %ld frames (%s)\n",
                      asio.inputLatency, asio.outputLatency, reported,
                      roundTrip == reported ? "matches" : "DIFFERS");
        out << line;
        for (const OutputVerdict& v : verdicts) {
            std::snprintf(line, sizeof(line), "  output %ld -> inputs %ld, %-2ld  %s%s\n",
                          v.output + 1, v.output + 1, v.output + 9,
                          v.bitExact ? "bit-exact" : "NOT bit-exact",
                          v.output < kWdmOutputs ? " (mixed with the WDM stream)" : "");
            out << line;
        }
        std::snprintf(
            line, sizeof(line),
            "  WDM stream         ZEL_Wave1 on outputs 1/2: %llu of %llu frames played%s\n",
            static_cast<unsigned long long>(companionReport.wdmFramesQueued),
            static_cast<unsigned long long>(companionReport.wdmFramesTotal),
            companionReport.wdmStatus < 0 ? " (NOT opened)" : "");
        out << line;
        std::snprintf(
            line, sizeof(line),
            "  MIDI loop          ZEL_Midi1: %llu bytes sent, %llu received, %llu lost, %s\n",
            static_cast<unsigned long long>(companionReport.midiSent),
            static_cast<unsigned long long>(companionReport.midiReceived),
            static_cast<unsigned long long>(companionReport.midiLost),
            companionReport.midiFirstMismatch < 0 ? "in order" : "OUT OF ORDER");
        out << line;
        std::snprintf(line, sizeof(line), "  dropouts           %llu in %llu buffer switches\n",
                      static_cast<unsigned long long>(result.Dropouts()),
                      static_cast<unsigned long long>(asio.bufferSwitches));
        out << line;
        if (recordingWritten) out << "  recording          " << recordPath << "\n";
        if (plotted) out << "  plot               " << plotPath << "\n";
        out << (passed ? "PASSED" : "FAILED") << "\n";
    }
    return passed ? 0 : 3;
}

}  // namespace q407::tools
