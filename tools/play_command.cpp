#include "tools/play_command.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>

#include "tools/cli_parse.h"
#include "tools/machine_choice.h"
#include "tools/subdevice_listing.h"
#include "tools/wdm_machine.h"

namespace q407::tools {
namespace {

bool SupportedRate(uint32_t rate) {
    return rate == 44100 || rate == 48000 || rate == 88200 || rate == 96000;
}

// Once the last byte is queued: the driver's ring and the USB buffers still hold a little audio.
constexpr double kTailSeconds = 0.3;

}  // namespace

bool PlayReport::AllBitExact() const {
    if (checks.empty()) return false;
    for (const DelayedCheck& c : checks)
        if (!c.BitExact()) return false;
    return true;
}

int RunPlay(WdmMachine& machine, const AudioClip& clip, int bits, bool extensible,
            const std::string& device, PlayReport* report, std::string* error,
            const std::function<void(double done, double total)>& progress) {
    ClientScope scope(machine);
    const std::vector<sim::audio::SubdeviceInfo> list = sim::audio::ListSubdevices();
    const WaveSubdevice wave = FindWaveSubdevice(list, device);
    if (!wave.found || !wave.playback) {
        *error = "'" + device + "' is not a wave subdevice that plays (see --list)";
        return kWdmExitUsage;
    }
    report->device = device;
    report->firstOutput = wave.firstOutput;
    report->rate = clip.rate;
    report->channels = static_cast<int>(clip.channels.size());
    report->bits = bits;
    report->frames = clip.Frames();
    const sim::audio::WaveFormat format = PinFormat(clip.rate, report->channels, bits, extensible);
    report->extensible = format.extensible;

    PlaybackStream stream;
    report->status = stream.Open(Widen(device), format, PackSamples(clip.channels, bits));
    if (report->status == kStatusPinBusy) {
        *error = device + " is busy: another client plays through it (status " +
                 StatusText(report->status) + ")";
        return kWdmExitBusy;
    }
    if (report->status < 0) {
        *error = device + " refused " + std::to_string(report->channels) + " channels of " +
                 std::to_string(bits) + "-bit audio at " + std::to_string(clip.rate) +
                 " Hz: status " + StatusText(report->status);
        return kWdmExitRefused;
    }
    report->status = stream.Start();
    if (report->status < 0) {
        stream.Close();
        *error = device + " did not start playing: status " + StatusText(report->status);
        return report->status == kStatusPinBusy ? kWdmExitBusy : kWdmExitRefused;
    }
    const double total = double(clip.Frames()) / clip.rate;
    const double deadline = machine.Now() + total + 5.0;
    const double step = 0.01;
    while (stream.Pump()) {
        if (machine.Now() > deadline) break;
        machine.Advance(step);
        if (progress) {
            const double block = double(report->channels) * (bits / 8);
            progress(std::min(total, double(stream.BytesQueued()) / block / clip.rate), total);
        }
    }
    const bool drained = !stream.Pump();
    machine.Advance(kTailSeconds);
    report->bytesQueued = stream.BytesQueued();
    report->position = stream.Position();
    stream.Close();
    if (!drained) {
        *error = "the driver stopped taking audio: " + std::to_string(report->bytesQueued) +
                 " of " + std::to_string(clip.Frames() * report->channels * (bits / 8)) +
                 " bytes queued";
        return kWdmExitFailed;
    }
    if (machine.Linked()) {
        report->outputsChecked = false;
        return kWdmExitOk;
    }
    for (int c = 0; c < report->channels; ++c) {
        std::vector<int32_t> sent(clip.channels[size_t(c)]);
        for (int32_t& s : sent) {
            if (bits == 16) s &= static_cast<int32_t>(0xFFFF0000U);
            s = DeviceSampleOf(s);
        }
        report->checks.push_back(CheckDelayed(sent, machine.Output(wave.firstOutput + c)));
    }
    return report->AllBitExact() ? kWdmExitOk : kWdmExitNotExact;
}

int PlayCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    CLI::App app{
        "Plays a WAV file through a wave subdevice of the port-class driver on a virtual "
        "Q407 LX and checks the device's outputs against it.",
        "q407 play"};
    std::string path, device = "ZEL_Wave1", outputWav;
    bool list = false, json = false, realTime = false;
    app.add_option("FILE", path, "16- or 32-bit PCM WAV file (24-bit files are sent as 32-bit)");
    app.add_option("--device", device, "wave subdevice: ZEL_Wave1..4 (stereo), ZEL_Wave9 (up to 8)")
        ->capture_default_str();
    app.add_option("--outputs", outputWav, "write the device's 8 outputs to this WAV file");
    app.add_flag("--list", list, "list the subdevices and exit");
    app.add_flag("--json", json, "print one JSON object instead of the report");
    app.add_flag("--realtime", realTime, "run against the wall clock (default: virtual time)");
    MachineOptions machineOptions;
    AddMachineOptions(app, &machineOptions);
    if (const std::optional<int> exit = ParseCommandLine(app, argc, argv, out, err)) return *exit;
    if (!list && path.empty()) {
        err << "q407 play: no FILE given\nRun 'q407 play --help' for the options.\n";
        return kWdmExitUsage;
    }

    AudioClip clip;
    WavFileFormat file;
    std::string error;
    if (!list) {
        if (!ProbeWavFile(path, &file, &error) || !ReadWavFile(path, &clip, &error)) {
            err << "q407 play: " << error << "\n";
            return kWdmExitFile;
        }
        if (file.bits == 0) {
            err << "q407 play: '" << path << "' holds " << file.encoding
                << " samples; the device takes 16- or 32-bit PCM\n";
            return kWdmExitRefused;
        }
    }
    MachineChoice choice;
    if (const std::optional<int> exit = choice.Choose(
            machineOptions, "q407 play", GivenOptions(app, {"--outputs", "--realtime"}), true, err))
        return *exit;
    WdmMachineOptions options;
    options.rate = SupportedRate(clip.rate) ? clip.rate : 48000;
    options.realTime = realTime;
    options.keepOutputs = !list;
    options.outputWav = outputWav;
    WdmMachine machine;
    if (choice.Linked() ? !machine.UseLinked(&error) : !machine.Boot(options, &error)) {
        err << "q407 play: " << error << "\n";
        return kWdmExitFailed;
    }
    if (list) {
        ClientScope scope(machine);
        const auto subdevices = sim::audio::ListSubdevices();
        PrintSubdeviceListing(out, subdevices, json);
        return kWdmExitOk;
    }

    const int bits = file.bits == 16 ? 16 : 32;
    int lastTenth = -1;
    auto progress = [&](double done, double total) {
        const int tenth = total > 0 ? int(10 * done / total) : 10;
        if (tenth == lastTenth) return;
        lastTenth = tenth;
        char line[96];
        std::snprintf(line, sizeof(line), "q407 play: %.2f of %.2f s queued\n", done, total);
        err << line << std::flush;
    };
    PlayReport report;
    const int status =
        RunPlay(machine, clip, bits, file.extensible, device, &report, &error, progress);
    bool outputsWritten = true;
    if (!machine.CloseOutputWav(&error)) {
        outputsWritten = false;
        err << "q407 play: " << error << "\n";
    }
    if (status != kWdmExitOk && status != kWdmExitNotExact) {
        err << "q407 play: " << error << "\n";
        if (json)
            out << nlohmann::json{{"device", device},
                                  {"error", error},
                                  {"status", StatusText(report.status)},
                                  {"machine", choice.Describe()},
                                  {"passed", false}}
                       .dump()
                << "\n";
        return status;
    }
    if (json) {
        nlohmann::json channels = nlohmann::json::array();
        for (size_t c = 0; c < report.checks.size(); ++c)
            channels.push_back({{"channel", c + 1},
                                {"bit_exact", report.checks[c].BitExact()},
                                {"delay_frames", report.checks[c].delay},
                                {"mismatches", report.checks[c].mismatches}});
        out << nlohmann::json{{"file", path},
                              {"device", device},
                              {"rate", report.rate},
                              {"channels", report.channels},
                              {"file_bits", file.bits},
                              {"bits", report.bits},
                              {"extensible", report.extensible},
                              {"frames", report.frames},
                              {"bytes_queued", report.bytesQueued},
                              {"position_bytes", report.position},
                              {"time", realTime || choice.Linked() ? "real" : "virtual"},
                              {"machine", choice.Describe()},
                              {"outputs_checked", report.outputsChecked},
                              {"outputs", outputWav},
                              {"outputs_written", outputsWritten && !outputWav.empty()},
                              {"channel_checks", channels},
                              {"passed", report.Passed()}}
                   .dump()
            << "\n";
    } else {
        char line[200];
        out << "Q407 LX play: " << path << " through " << device << " ("
            << (realTime || choice.Linked() ? "real" : "virtual") << " time)\n";
        if (choice.Linked()) out << "  machine       " << choice.Describe() << "\n";
        std::snprintf(line, sizeof(line), "  format        %d channels, %d-bit%s at %u Hz%s\n",
                      report.channels, report.bits, report.extensible ? " extensible" : " PCM",
                      report.rate, file.bits == 24 ? " (24-bit file widened)" : "");
        out << line;
        std::snprintf(line, sizeof(line), "  played        %llu frames (%.3f s), %llu bytes\n",
                      static_cast<unsigned long long>(report.frames),
                      double(report.frames) / report.rate,
                      static_cast<unsigned long long>(report.bytesQueued));
        out << line;
        for (size_t c = 0; c < report.checks.size(); ++c) {
            const DelayedCheck& check = report.checks[c];
            std::snprintf(line, sizeof(line), "  channel %zu -> output %zu  %s (%llu samples)\n",
                          c + 1, c + 1 + size_t(report.firstOutput),
                          check.BitExact() ? "bit-exact" : "NOT bit-exact",
                          static_cast<unsigned long long>(check.checked));
            out << line;
        }
        if (!report.outputsChecked)
            out << "  outputs       not checked: they are the running machine's\n";
        if (!outputWav.empty() && outputsWritten) out << "  outputs       " << outputWav << "\n";
        out << (report.Passed() ? "PASSED" : "FAILED") << "\n";
    }
    return status;
}

}  // namespace q407::tools
