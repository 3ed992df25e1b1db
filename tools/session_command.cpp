#include "tools/session_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "tools/asio_device_session.h"
#include "tools/asio_host.h"
#include "tools/asio_module.h"
#include "tools/cli_parse.h"
#include "tools/command_line.h"
#include "tools/latency_sweep.h"
#include "tools/machine_choice.h"
#include "tools/round_trip_analysis.h"
#include "tools/test_signal.h"
#include "tools/wav_io.h"

namespace q407::tools {
namespace {

constexpr long kOutputs = 8;
constexpr long kInputs = 16;

std::string ChannelText(const std::vector<long>& channels) {
    std::string text;
    for (size_t i = 0; i < channels.size(); ++i)
        text += (i ? "," : "") + std::to_string(channels[i] + 1);
    return text;
}

int FailureExit(AsioSessionFailure failure) {
    return failure == AsioSessionFailure::BadRequest ? 2 : 1;
}

// What a host's "settings" button does: the driver's controlPanel, which shows the control panel
// running on the machine or starts one there.
int ShowControlPanel(const std::string& driverPath, std::ostream& out, std::ostream& err) {
    AsioModule module(driverPath.empty() ? DefaultAsioModulePath() : driverPath);
    if (!module.Loaded()) {
        err << "q407 session: cannot load the ASIO driver: " << module.Error() << "\n";
        return 1;
    }
    IASIO* driver = module.CreateDriver(kQ407AsioClassId);
    if (driver == nullptr) {
        err << "q407 session: the ASIO driver did not create its object\n";
        return 1;
    }
    const ASIOError shown = driver->controlPanel();
    driver->Release();
    if (shown != ASE_OK) {
        err << "q407 session: controlPanel failed with " << shown << "\n";
        return 1;
    }
    out << "q407 session: asked the ASIO driver for its control panel\n";
    return 0;
}

}  // namespace

int SessionCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    CLI::App app{
        "The ASIO test host on a virtual Q407 LX whose outputs are looped back to its inputs: "
        "loads the ASIO driver as hosts do, plays a WAV file or the test signal to the chosen "
        "outputs and records the chosen inputs. Virtual time unless --real-time.",
        "q407 session"};
    std::string playPath, recordPath, outputsText, inputsText = "1-16", driverPath;
    double seconds = 0;
    uint32_t rate = 48000, latency = 256, buffers = 4, starts = 100;
    bool json = false, realTime = false, sweep = false, controlPanel = false;
    app.add_option("--play", playPath, "WAV file to play (default: the test signal)");
    app.add_option("--outputs", outputsText,
                   "outputs to play, e.g. 1-8 or 1,2 (default: all 8, or as many as the file has)");
    app.add_option("--inputs", inputsText, "inputs to record (default 1-16)");
    app.add_option("--record", recordPath, "WAV file to write the recorded inputs to");
    app.add_option("--seconds", seconds, "how long to stream (default: the file, or 2 s)")
        ->check(CLI::Range(0.01, 3600.0));
    app.add_option("--rate", rate, "sample rate")
        ->check(CLI::IsMember({44100, 48000, 88200, 96000}));
    app.add_option("--latency", latency, "ASIO buffer size in frames (32..1024)")
        ->check(CLI::Range(32, 1024));
    app.add_option("--buffers", buffers, "USB buffers (2..5)")->check(CLI::Range(2, 5));
    app.add_option("--driver", driverPath, "the ASIO driver library to load");
    app.add_flag("--real-time", realTime, "run against the wall clock");
    app.add_flag("--json", json, "print one JSON object instead of the report");
    app.add_flag("--latency-sweep", sweep,
                 "measure the round trip over many starts at every rate, L = 32, 256, 1024 and "
                 "n = 2, 5 (virtual time)");
    app.add_option("--starts", starts, "starts per setting in the sweep (default 100)")
        ->check(CLI::Range(1, 10000));
    app.add_flag("--control-panel", controlPanel,
                 "only ask the ASIO driver to show the control panel (needs a running machine)");
    MachineOptions machineOptions;
    AddMachineOptions(app, &machineOptions);
    if (const std::optional<int> exit = ParseCommandLine(app, argc, argv, out, err)) return *exit;
    // The device's settings and virtual time belong to a machine of the command's own.
    MachineChoice choice;
    if (const std::optional<int> exit = choice.Choose(
            machineOptions, "q407 session",
            GivenOptions(app,
                         {"--latency", "--buffers", "--real-time", "--latency-sweep", "--starts"}),
            true, err))
        return *exit;

    if (controlPanel) {
        if (!choice.Linked()) {
            err << "q407 session: --control-panel needs a running machine (--machine SOCKET)\n";
            return 2;
        }
        return ShowControlPanel(driverPath, out, err);
    }

    if (sweep) {
        LatencySweepOptions options;
        options.starts = starts;
        options.libraryPath = driverPath;
        std::vector<LatencySweepRow> rows;
        std::string error;
        const auto progress = [&err](const LatencySweepRow& row) {
            char line[160];
            std::snprintf(line, sizeof(line),
                          "q407 session: %u Hz L=%u n=%u: round trip %lld..%lld, reported %ld\n",
                          row.rate, row.latency, row.buffers, static_cast<long long>(row.minFrames),
                          static_cast<long long>(row.maxFrames), row.reportedFrames);
            err << line << std::flush;
        };
        if (!RunLatencySweep(options, &rows, &error, progress)) {
            err << "q407 session: " << error << "\n";
            return 1;
        }
        if (json)
            out << LatencySweepJson(rows) << "\n";
        else
            out << LatencySweepTable(rows);
        return LatencySweepAgrees(rows) ? 0 : 3;
    }

    std::string error;
    AudioClip clip;
    if (!playPath.empty()) {
        if (!ReadWavFile(playPath, &clip, &error)) {
            err << "q407 session: " << error << "\n";
            return 2;
        }
        if (clip.rate != rate && app.count("--rate") != 0) {
            err << "q407 session: '" << playPath << "' is at " << clip.rate
                << " Hz, not the --rate " << rate << " Hz\n";
            return 2;
        }
        rate = clip.rate;
        if (rate != 44100 && rate != 48000 && rate != 88200 && rate != 96000) {
            err << "q407 session: '" << playPath << "' is at " << rate
                << " Hz; the device runs at 44100, 48000, 88200 or 96000 Hz\n";
            return 2;
        }
    }
    if (outputsText.empty())
        outputsText = playPath.empty()
                          ? "1-8"
                          : "1-" + std::to_string(std::min<size_t>(clip.channels.size(), kOutputs));
    const std::vector<long> outputs = ParseChannelList(outputsText, kOutputs, &error);
    if (outputs.empty()) {
        err << "q407 session: --outputs: " << error << "\n";
        return 2;
    }
    const std::vector<long> inputs = ParseChannelList(inputsText, kInputs, &error);
    if (inputs.empty()) {
        err << "q407 session: --inputs: " << error << "\n";
        return 2;
    }
    if (!playPath.empty() && outputs.size() > clip.channels.size()) {
        err << "q407 session: '" << playPath << "' has " << clip.channels.size()
            << " channels, fewer than the " << outputs.size() << " outputs chosen\n";
        return 2;
    }

    AsioSessionRequest request;
    request.sampleRate = rate;
    request.outputs = outputs;
    request.inputs = inputs;
    if (seconds == 0) seconds = playPath.empty() ? 2.0 : double(clip.Frames()) / rate;
    request.frames = static_cast<uint64_t>(seconds * rate);
    request.keepPlayed = true;
    if (playPath.empty()) {
        request.signal = [&outputs](size_t o, uint64_t f) {
            return TestSignalSample(f, int(outputs[o]));
        };
    } else {
        request.signal = [&clip](size_t o, uint64_t f) {
            return f < clip.channels[o].size() ? clip.channels[o][size_t(f)] : 0;
        };
    }
    int lastTenth = -1;
    request.progress = [&](uint64_t done, uint64_t total) {
        const int tenth = int(10 * done / total);
        if (tenth == lastTenth) return;
        lastTenth = tenth;
        char line[96];
        std::snprintf(line, sizeof(line), "q407 session: %.1f of %.1f s recorded\n",
                      double(done) / rate, double(total) / rate);
        err << line << std::flush;
    };

    DeviceSessionOptions options;
    options.rate = rate;
    options.latency = latency;
    options.buffers = buffers;
    options.realTime = realTime;
    options.libraryPath = driverPath;
    DeviceSessionResult result;
    const AsioSessionFailure failure = choice.Linked()
                                           ? RunLinkedSession(driverPath, request, &result, &error)
                                           : RunDeviceSession(options, request, &result, &error);
    if (failure != AsioSessionFailure::None) {
        err << "q407 session: " << error << "\n";
        return FailureExit(failure);
    }
    const AsioSessionResult& asio = result.asio;
    if (!recordPath.empty()) {
        AudioClip recorded;
        recorded.rate = rate;
        recorded.channels = asio.recorded;
        const size_t frames =
            std::min_element(recorded.channels.begin(), recorded.channels.end(),
                             [](const auto& a, const auto& b) { return a.size() < b.size(); })
                ->size();
        for (auto& c : recorded.channels) c.resize(frames);
        if (!WriteWavFile(recordPath, recorded, &error)) {
            err << "q407 session: " << error << "\n";
            return 2;
        }
    }
    const auto checks = CheckLoopback(inputs, asio.recorded, outputs, asio.played);

    if (json) {
        nlohmann::json channels = nlohmann::json::array();
        for (const LoopbackCheck& c : checks)
            channels.push_back({{"input", c.input + 1},
                                {"output", c.source + 1},
                                {"round_trip_frames", c.comparison.delayFrames},
                                {"bit_exact", c.comparison.BitExact()},
                                {"mismatches", c.comparison.mismatches}});
        nlohmann::json j = {
            {"driver", asio.driverName},
            {"driver_version", asio.driverVersion},
            {"rate", asio.sampleRate},
            {"buffer_frames", asio.bufferFrames},
            {"usb_buffers", choice.Linked() ? nlohmann::json() : nlohmann::json(buffers)},
            {"machine", choice.Describe()},
            {"input_latency", asio.inputLatency},
            {"output_latency", asio.outputLatency},
            {"outputs", ChannelText(outputs)},
            {"inputs", ChannelText(inputs)},
            {"played", playPath.empty() ? "test signal" : playPath},
            {"recorded_frames", asio.recorded.empty() ? 0 : asio.recorded.front().size()},
            {"buffer_switches", asio.bufferSwitches},
            {"reset_requests", asio.resetRequests},
            {"dropouts", result.Dropouts()},
            {"channels", channels},
        };
        if (!recordPath.empty()) j["recording"] = recordPath;
        out << j.dump() << "\n";
        return 0;
    }
    char line[200];
    out << "ASIO driver        " << asio.driverName << " (version " << asio.driverVersion << ")\n";
    std::snprintf(line, sizeof(line), "channels           %ld inputs, %ld outputs\n",
                  asio.inputChannels, asio.outputChannels);
    out << line;
    if (choice.Linked()) {
        out << "machine            " << choice.Describe() << "\n";
        std::snprintf(line, sizeof(line), "rate, buffer       %.0f Hz, %ld frames\n",
                      asio.sampleRate, asio.bufferFrames);
    } else {
        std::snprintf(line, sizeof(line),
                      "rate, buffer       %.0f Hz, %ld frames, %u USB buffers\n", asio.sampleRate,
                      asio.bufferFrames, buffers);
    }
    out << line;
    std::snprintf(line, sizeof(line), "reported latency   input %ld + output %ld = %ld frames\n",
                  asio.inputLatency, asio.outputLatency, asio.inputLatency + asio.outputLatency);
    out << line;
    out << "played             " << (playPath.empty() ? "test signal" : playPath) << " on outputs "
        << ChannelText(outputs) << "\n";
    out << "recorded           inputs " << ChannelText(inputs)
        << (recordPath.empty() ? "" : " to " + recordPath) << "\n";
    std::snprintf(line, sizeof(line),
                  "buffer switches    %llu (%llu reset requests), dropouts %llu\n",
                  static_cast<unsigned long long>(asio.bufferSwitches),
                  static_cast<unsigned long long>(asio.resetRequests),
                  static_cast<unsigned long long>(result.Dropouts()));
    out << line;
    for (const LoopbackCheck& c : checks) {
        std::snprintf(line, sizeof(line),
                      "  input %2ld <- output %ld: round trip %lld frames, %s\n", c.input + 1,
                      c.source + 1, static_cast<long long>(c.comparison.delayFrames),
                      c.comparison.BitExact() ? "bit-exact" : "NOT bit-exact");
        out << line;
    }
    return 0;
}

}  // namespace q407::tools
