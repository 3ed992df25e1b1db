#include "tools/record_command.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>

#include "tools/cli_parse.h"
#include "tools/machine_choice.h"
#include "tools/subdevice_listing.h"
#include "tools/wav_io.h"
#include "tools/wave_streams.h"
#include "tools/wdm_machine.h"

namespace q407::tools {

int RunRecord(WdmMachine& machine, const std::string& device, uint32_t rate, int bits,
              double seconds, RecordReport* report, std::string* error,
              const std::function<void(double done, double total)>& progress) {
    ClientScope scope(machine);
    const WaveSubdevice wave = FindWaveSubdevice(sim::audio::ListSubdevices(), device);
    if (!wave.found || !wave.recording) {
        *error = "'" + device + "' is not a wave subdevice that records (see --list)";
        return kWdmExitUsage;
    }
    report->device = device;
    report->firstInput = wave.firstInput;
    report->rate = rate;
    report->bits = bits;
    const int channels = 2;
    const size_t block = size_t(channels) * size_t(bits / 8);
    const size_t wanted = size_t(seconds * rate) * block;

    CaptureStream stream;
    report->status = stream.Open(Widen(device), PinFormat(rate, channels, bits, false));
    if (report->status == kStatusPinBusy) {
        *error = device + " is busy: another client records from it (status " +
                 StatusText(report->status) + ")";
        return kWdmExitBusy;
    }
    if (report->status < 0) {
        *error = device + " refused stereo " + std::to_string(bits) + "-bit recording at " +
                 std::to_string(rate) + " Hz: status " + StatusText(report->status);
        return kWdmExitRefused;
    }
    report->status = stream.Start();
    if (report->status < 0) {
        stream.Close();
        *error = device + " did not start recording: status " + StatusText(report->status);
        return report->status == kStatusPinBusy ? kWdmExitBusy : kWdmExitRefused;
    }
    const double deadline = machine.Now() + seconds + 5.0;
    while (stream.Bytes().size() < wanted && machine.Now() <= deadline) {
        machine.Advance(0.01);
        stream.Pump(wanted);
        if (progress) progress(double(stream.Bytes().size() / block) / rate, seconds);
    }
    stream.Close();
    report->channels = UnpackSamples(stream.Bytes(), channels, bits);
    report->frames = report->channels.front().size();
    if (stream.Bytes().size() < wanted) {
        *error = "the driver delivered " + std::to_string(report->frames) + " of " +
                 std::to_string(wanted / block) + " frames";
        return kWdmExitFailed;
    }
    return kWdmExitOk;
}

uint64_t RampBreaks(const std::vector<int32_t>& recorded, int input, int bits) {
    size_t k = 0;
    while (k < recorded.size() && recorded[k] == 0) ++k;  // before the first period arrived
    if (k == recorded.size()) return recorded.size();
    uint64_t breaks = 0;
    const uint32_t tag = static_cast<uint32_t>(RampInputSample(input, 0)) & 0xFF;
    for (size_t j = k; j < recorded.size(); ++j) {
        const uint32_t s = static_cast<uint32_t>(recorded[j]);
        // 32-bit samples keep the ramp's low byte, which names the input.
        if (bits == 32 && ((s >> 8) & 0xFF) != tag)
            ++breaks;
        else if (j > k && s - static_cast<uint32_t>(recorded[j - 1]) != 0x10000U)
            ++breaks;
    }
    return breaks;
}

int RecordCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    CLI::App app{
        "Records a stereo stream from a wave subdevice of the port-class driver on a "
        "virtual Q407 LX into a WAV file.",
        "q407 record"};
    std::string path, device = "ZEL_Wave1", input = "ramp";
    double seconds = 1.0;
    uint32_t rate = 48000;
    int bits = 16;
    bool list = false, json = false, realTime = false;
    app.add_option("FILE", path, "the WAV file to write");
    app.add_option("--device", device, "wave subdevice: ZEL_Wave1..8")->capture_default_str();
    app.add_option("--seconds", seconds, "how long to record")
        ->check(CLI::Range(0.001, 3600.0))
        ->capture_default_str();
    app.add_option("--rate", rate, "sample rate")
        ->check(CLI::IsMember({44100, 48000, 88200, 96000}))
        ->capture_default_str();
    app.add_option("--bits", bits, "bits per sample")
        ->check(CLI::IsMember({16, 32}))
        ->capture_default_str();
    app.add_option("--input", input, "what the device's inputs carry: ramp, loopback, silence")
        ->check(CLI::IsMember({"ramp", "loopback", "silence"}))
        ->capture_default_str();
    app.add_flag("--list", list, "list the subdevices and exit");
    app.add_flag("--json", json, "print one JSON object instead of the report");
    app.add_flag("--realtime", realTime, "run against the wall clock (default: virtual time)");
    MachineOptions machineOptions;
    AddMachineOptions(app, &machineOptions);
    if (const std::optional<int> exit = ParseCommandLine(app, argc, argv, out, err)) return *exit;
    if (!list && path.empty()) {
        err << "q407 record: no FILE given\nRun 'q407 record --help' for the options.\n";
        return kWdmExitUsage;
    }
    MachineChoice choice;
    if (const std::optional<int> exit = choice.Choose(
            machineOptions, "q407 record", GivenOptions(app, {"--input", "--realtime"}), true, err))
        return *exit;
    // A running machine's inputs carry what it was started with; nothing is known to check.
    if (choice.Linked()) input = "as the running machine feeds them";
    WdmMachineOptions options;
    options.rate = rate;
    options.realTime = realTime;
    options.inputs = input == "ramp"       ? InputFeed::Ramp
                     : input == "loopback" ? InputFeed::Loopback
                                           : InputFeed::Silence;
    WdmMachine machine;
    std::string error;
    if (choice.Linked() ? !machine.UseLinked(&error) : !machine.Boot(options, &error)) {
        err << "q407 record: " << error << "\n";
        return kWdmExitFailed;
    }
    if (list) {
        ClientScope scope(machine);
        const auto subdevices = sim::audio::ListSubdevices();
        PrintSubdeviceListing(out, subdevices, json);
        return kWdmExitOk;
    }
    int lastTenth = -1;
    auto progress = [&](double done, double total) {
        const int tenth = total > 0 ? int(10 * done / total) : 10;
        if (tenth == lastTenth) return;
        lastTenth = tenth;
        char line[96];
        std::snprintf(line, sizeof(line), "q407 record: %.2f of %.2f s recorded\n", done, total);
        err << line << std::flush;
    };
    RecordReport report;
    int status = RunRecord(machine, device, rate, bits, seconds, &report, &error, progress);
    if (status != kWdmExitOk) {
        err << "q407 record: " << error << "\n";
        if (json)
            out << nlohmann::json{{"device", device},
                                  {"error", error},
                                  {"status", StatusText(report.status)},
                                  {"passed", false}}
                       .dump()
                << "\n";
        return status;
    }
    AudioClip clip;
    clip.rate = rate;
    clip.channels = report.channels;
    if (!WriteWavFile(path, clip, &error, bits)) {
        err << "q407 record: " << error << "\n";
        return kWdmExitFile;
    }
    std::vector<int64_t> breaks;
    bool intact = true;
    if (options.inputs == InputFeed::Ramp && !choice.Linked()) {
        for (size_t c = 0; c < report.channels.size(); ++c) {
            breaks.push_back(static_cast<int64_t>(
                RampBreaks(report.channels[c], report.firstInput + int(c), bits)));
            intact = intact && breaks.back() == 0;
        }
        if (!intact) status = kWdmExitNotExact;
    }
    if (json) {
        nlohmann::json j = {{"file", path},
                            {"device", device},
                            {"inputs", {report.firstInput + 1, report.firstInput + 2}},
                            {"rate", rate},
                            {"bits", bits},
                            {"frames", report.frames},
                            {"seconds", double(report.frames) / rate},
                            {"input", input},
                            {"time", realTime || choice.Linked() ? "real" : "virtual"},
                            {"machine", choice.Describe()},
                            {"passed", intact}};
        if (!breaks.empty()) j["ramp_breaks"] = breaks;
        out << j.dump() << "\n";
    } else {
        char line[200];
        out << "Q407 LX record: " << device << " (inputs " << report.firstInput + 1 << " and "
            << report.firstInput + 2 << ") into " << path << " ("
            << (realTime || choice.Linked() ? "real" : "virtual") << " time)\n";
        if (choice.Linked()) out << "  machine       " << choice.Describe() << "\n";
        std::snprintf(line, sizeof(line), "  format        stereo %d-bit PCM at %u Hz\n", bits,
                      rate);
        out << line;
        std::snprintf(line, sizeof(line), "  recorded      %llu frames (%.3f s), inputs: %s\n",
                      static_cast<unsigned long long>(report.frames), double(report.frames) / rate,
                      input.c_str());
        out << line;
        for (size_t c = 0; c < breaks.size(); ++c) {
            std::snprintf(line, sizeof(line), "  channel %zu     ramp %s (%lld breaks)\n", c + 1,
                          breaks[c] == 0 ? "intact" : "BROKEN", static_cast<long long>(breaks[c]));
            out << line;
        }
        out << (intact ? "PASSED" : "FAILED") << "\n";
    }
    return status;
}

}  // namespace q407::tools
