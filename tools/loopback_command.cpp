#include "tools/loopback_command.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <string_view>

#include "tools/command_line.h"
#include "tools/engine_rig.h"
#include "tools/path_clients.h"

namespace q407::tools {
// The engine places each ASIO frame the host writes a fixed distance after the input frame of
// the period it answered (usbdriver/engine/asio_alignment.cpp): the round trip is the host's
// period twice, one capture transfer and n + 1 playback transfers, whatever the phase of the
// pipes; the device's own loopback adds nothing.
int64_t DeriveLoopbackRoundTrip(int64_t latency, int64_t buffers) {
    return 2 * latency + 16 * buffers + 20 * buffers * (buffers + 1);
}

std::string LoopbackUsage() {
    return "usage: q407 loopback [--seconds S] [--rate HZ] [--latency L] [--buffers N]\n"
           "  Runs an ASIO stream on a virtual Q407 LX with every output looped back to its\n"
           "  inputs, in virtual time: a test signal plays on all 8 outputs for S seconds\n"
           "  (default 10) at HZ (44100, 48000, 88200 or 96000; default 48000) with ASIO halves\n"
           "  of L frames (32..1024; default 256) and N USB buffers (2..5; default 4).\n"
           "  Prints one JSON object: the measured round trip (latency_frames, latency_ms), the\n"
           "  one the design gives (derived_latency_frames), bit_exact per output, dropouts and\n"
           "  the device's underruns and overruns while it ran.\n";
}

std::optional<LoopbackOptions> ParseLoopbackOptions(int argc, char** argv, std::string* error) {
    LoopbackOptions options;
    int i = 0;
    while (i < argc) {
        const OptionTaken taken = TakeRunOption(argc, argv, &i, &options, error);
        if (taken == OptionTaken::Refused) return std::nullopt;
        if (taken == OptionTaken::Yes) continue;
        if (auto v = TakeOptionValue(argc, argv, &i, "--latency", error)) {
            const auto latency = ParseInteger(*v, 32, 1024);
            if (!latency) {
                *error =
                    "--latency takes an ASIO buffer size of 32 to 1024 frames, not '" + *v + "'";
                return std::nullopt;
            }
            options.latency = static_cast<uint32_t>(*latency);
            continue;
        }
        if (!error->empty()) return std::nullopt;
        *error = "unknown argument '" + std::string(argv[i]) + "'";
        return std::nullopt;
    }
    return options;
}

bool RunLoopback(const LoopbackOptions& options, LoopbackReport* report, std::string* error,
                 const std::function<void(double done, double total)>& progress) {
    EngineRig rig;
    MixerSettings settings = DefaultMixerSettings();
    settings.sampleRate = static_cast<LONG>(options.rate);
    settings.latency = static_cast<LONG>(options.latency);
    settings.usbBufferCount = static_cast<LONG>(options.buffers);
    if (!StartWithSettings(rig, settings, error)) return false;
    rig.Device().LoopbackAllInputs();
    StreamEngine& engine = rig.Engine();
    {
        PathClients clients(rig);
        const NTSTATUS started = clients.StartAsio(TestSignal);
        if (!NT_SUCCESS(started)) {
            *error = "the ASIO channels did not open";
            (void)rig.Release();  // the failure to report is the one above
            return false;
        }
        // The run's own counts: the restart's idle slots before its first transfers are not
        // dropouts.
        const sim::DeviceCounters deviceBefore = rig.Device().Counters();
        const AudioPathCounters pathsBefore = engine.m_PathCounters;
        const uint64_t droppedBefore = engine.m_Counters.captureUnitsDropped;
        // In steps, so that a long run shows its progress.
        const double step = options.seconds > 10.0 ? options.seconds / 10.0 : 1.0;
        double done = 0;
        while (done < options.seconds) {
            const double now = options.seconds - done < step ? options.seconds - done : step;
            rig.RunForSeconds(now);
            done += now;
            if (progress) progress(done, options.seconds);
        }
        const sim::DeviceCounters device = rig.Device().Counters();
        const AudioPathCounters& paths = engine.m_PathCounters;

        report->rate = options.rate;
        report->latency = options.latency;
        report->buffers = options.buffers;
        report->seconds = options.seconds;
        report->asioPeriods = clients.AsioPeriods();
        report->deviceUnderruns = device.underruns - deviceBefore.underruns;
        report->deviceOverruns = device.overruns - deviceBefore.overruns;
        report->dropouts = (paths.asioUnderruns - pathsBefore.asioUnderruns) +
                           (paths.asioHalvesDropped - pathsBefore.asioHalvesDropped) +
                           (engine.m_Counters.captureUnitsDropped - droppedBefore) +
                           report->deviceUnderruns + report->deviceOverruns;
        report->derivedLatencyFrames = DeriveLoopbackRoundTrip(options.latency, options.buffers);
        report->latencyFrames = clients.AsioCheck(0).delay;
        for (int k = 0; k < kOutputChannelCount; ++k) {
            const ChannelCheck direct = clients.AsioCheck(k);
            const ChannelCheck again = clients.AsioCheck(k + kOutputChannelCount);
            report->bitExact[size_t(k)] = direct.BitExact() && again.BitExact() &&
                                          direct.delay == report->latencyFrames &&
                                          again.delay == report->latencyFrames;
        }
    }
    if (!NT_SUCCESS(rig.Release())) {
        *error = "the device's pipes did not stop";
        return false;
    }
    return true;
}

bool LoopbackPassed(const LoopbackReport& r) {
    for (bool exact : r.bitExact)
        if (!exact) return false;
    return r.latencyFrames >= 0 && r.latencyFrames == r.derivedLatencyFrames && r.dropouts == 0;
}

std::string FormatLoopbackReport(const LoopbackReport& r) {
    std::string exact = "[";
    for (size_t k = 0; k < r.bitExact.size(); ++k) {
        if (k != 0) exact += ", ";
        exact += r.bitExact[k] ? "true" : "false";
    }
    exact += "]";
    const double ms = r.latencyFrames >= 0 && r.rate != 0
                          ? double(r.latencyFrames) * 1000.0 / double(r.rate)
                          : -1.0;
    char text[1024];
    std::snprintf(
        text, sizeof(text),
        "{\"rate\": %" PRIu32 ", \"latency\": %" PRIu32 ", \"buffers\": %" PRIu32
        ", \"seconds\": %.3f, \"latency_frames\": %" PRId64 ", \"derived_latency_frames\": %" PRId64
        ", \"latency_ms\": %.3f"
        ", \"bit_exact\": %s, \"asio_periods\": %" PRIu64 ", \"dropouts\": %" PRIu64
        ", \"device_underruns\": %" PRIu64 ", \"device_overruns\": %" PRIu64 "}\n",
        r.rate, r.latency, r.buffers, r.seconds, r.latencyFrames, r.derivedLatencyFrames, ms,
        exact.c_str(), r.asioPeriods, r.dropouts, r.deviceUnderruns, r.deviceOverruns);
    return text;
}

int LoopbackCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    std::string error;
    const auto options = ParseLoopbackOptions(argc, argv, &error);
    if (!options) {
        err << "q407 loopback: " << error << "\n" << LoopbackUsage();
        return 2;
    }
    if (options->help) {
        out << LoopbackUsage();
        return 0;
    }
    LoopbackReport report;
    const auto progress = [&err](double done, double total) {
        char line[96];
        std::snprintf(line, sizeof(line), "q407 loopback: %.1f of %.1f s streamed\n", done, total);
        err << line << std::flush;
    };
    if (!RunLoopback(*options, &report, &error, progress)) {
        err << "q407 loopback: " << error << "\n";
        return 1;
    }
    out << FormatLoopbackReport(report);
    if (!LoopbackPassed(report)) {
        err << "q407 loopback: FAILED: the round trip was not bit-exact at the derived latency "
               "without dropouts\n";
        return 3;
    }
    return 0;
}

}  // namespace q407::tools
