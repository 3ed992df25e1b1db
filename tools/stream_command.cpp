#include "tools/stream_command.h"

#include <cinttypes>
#include <cstdio>
#include <ostream>
#include <string_view>

#include "tools/command_line.h"
#include "tools/engine_rig.h"

namespace q407::tools {
namespace {

// A soft MIDI load so that both MIDI paths carry bytes: one note on and off per second.
void SendMidiTraffic(EngineRig& rig, uint64_t second) {
    const UCHAR note = static_cast<UCHAR>(0x30 + second % 24);
    const UCHAR out[] = {0x90, note, 0x64, 0x80, note, 0x00};
    for (UCHAR b : out) (void)rig.Engine().WriteMidiOutByte(0, b);
    rig.Device().SendMidiIn({0x90, note, 0x40, 0x80, note, 0x00});
}

void DrainMidiIn(EngineRig& rig) {
    while (rig.Engine().ReadMidiInByte(0) != 0xFFFFFFFFu) {
    }
}

}  // namespace

std::string StreamUsage() {
    return "usage: q407 stream [--seconds S] [--rate HZ] [--buffers N] [--real-time] "
           "[--pcap FILE]\n"
           "  Brings the streaming engine up on a virtual Q407 LX and streams for S seconds\n"
           "  (default 10) at HZ (44100, 48000, 88200 or 96000; default 48000) with N USB\n"
           "  buffers (2..5; default 4), in virtual time unless --real-time is given.\n"
           "  Prints the pipe counters as one JSON object; --pcap writes the USB traffic as a\n"
           "  usbmon pcap file.\n";
}

std::optional<StreamOptions> ParseStreamOptions(int argc, char** argv, std::string* error) {
    StreamOptions options;
    int i = 0;
    while (i < argc) {
        const OptionTaken taken = TakeRunOption(argc, argv, &i, &options, error);
        if (taken == OptionTaken::Refused) return std::nullopt;
        if (taken == OptionTaken::Yes) continue;
        if (std::string_view(argv[i]) == "--real-time") {
            options.realTime = true;
            ++i;
            continue;
        }
        if (auto v = TakeOptionValue(argc, argv, &i, "--pcap", error)) {
            if (v->empty()) {
                *error = "--pcap needs a file name";
                return std::nullopt;
            }
            options.pcapPath = *v;
            continue;
        }
        if (!error->empty()) return std::nullopt;
        *error = "unknown argument '" + std::string(argv[i]) + "'";
        return std::nullopt;
    }
    return options;
}

bool RunStream(const StreamOptions& options, StreamReport* report, std::string* error) {
    EngineRigOptions rigOptions;
    rigOptions.clockMode = options.realTime ? sim::ClockMode::Real : sim::ClockMode::Virtual;
    rigOptions.pcapPath = options.pcapPath;
    EngineRig rig(rigOptions);
    if (!rig.CaptureOpen()) {
        *error = "cannot write the capture file '" + options.pcapPath + "'";
        return false;
    }

    MixerSettings settings = DefaultMixerSettings();
    settings.sampleRate = static_cast<LONG>(options.rate);
    settings.usbBufferCount = static_cast<LONG>(options.buffers);
    if (!StartWithSettings(rig, settings, error)) return false;
    StreamEngine& engine = rig.Engine();
    engine.OpenMidiPort(0, 1);

    // Counted from the first completion on, so that the start-up does not count.
    const sim::DeviceCounters deviceBefore = rig.Device().Counters();
    const EngineCounters engineBefore = engine.m_Counters;
    double left = options.seconds;
    uint64_t second = 0;
    while (left > 0) {
        const double step = left < 1.0 ? left : 1.0;
        SendMidiTraffic(rig, second++);
        rig.RunForSeconds(step);
        DrainMidiIn(rig);
        left -= step;
    }
    // Counted before the stop: stopping the pipes one after the other lets the device run on
    // unserved for a few milliseconds, which is not part of the stream.
    const EngineCounters c = engine.m_Counters;
    const sim::DeviceCounters d = rig.Device().Counters();
    (void)engine.UsbStopStreaming();
    engine.CloseMidiPort(0, 1);

    report->rate = options.rate;
    report->buffers = options.buffers;
    report->seconds = options.seconds;
    report->playbackTransfers = c.playbackCompletions - engineBefore.playbackCompletions;
    report->captureTransfers = c.captureCompletions - engineBefore.captureCompletions;
    report->midiInTransfers = c.midiInCompletions - engineBefore.midiInCompletions;
    report->captureUnitsDropped = c.captureUnitsDropped - engineBefore.captureUnitsDropped;
    report->midiOutBytes = c.midiOutBytes - engineBefore.midiOutBytes;
    report->midiInBytes = c.midiInBytes - engineBefore.midiInBytes;
    report->inputPeriods = c.inputPeriods - engineBefore.inputPeriods;
    report->outputPeriods = c.outputPeriods - engineBefore.outputPeriods;
    report->deviceUnderruns = d.underruns - deviceBefore.underruns;
    report->deviceOverruns = d.overruns - deviceBefore.overruns;
    report->playbackUnitsPlayed = d.playbackUnits - deviceBefore.playbackUnits;
    report->captureUnitsCaptured = d.captureUnits - deviceBefore.captureUnits;
    if (!NT_SUCCESS(rig.Release())) {
        *error = "the device's pipes did not stop";
        return false;
    }
    return true;
}

std::string FormatStreamReport(const StreamReport& r) {
    char text[1024];
    std::snprintf(
        text, sizeof(text),
        "{\"rate\": %" PRIu32 ", \"buffers\": %" PRIu32
        ", \"seconds\": %.3f, "
        "\"playback_transfers\": %" PRIu64 ", \"capture_transfers\": %" PRIu64
        ", \"midi_in_transfers\": %" PRIu64 ", \"device_underruns\": %" PRIu64
        ", \"device_overruns\": %" PRIu64 ", \"capture_units_dropped\": %" PRIu64
        ", \"midi_out_bytes\": %" PRIu64 ", \"midi_in_bytes\": %" PRIu64
        ", \"input_periods\": %" PRIu64 ", \"output_periods\": %" PRIu64
        ", \"device_playback_units\": %" PRIu64 ", \"device_capture_units\": %" PRIu64 "}\n",
        r.rate, r.buffers, r.seconds, r.playbackTransfers, r.captureTransfers, r.midiInTransfers,
        r.deviceUnderruns, r.deviceOverruns, r.captureUnitsDropped, r.midiOutBytes, r.midiInBytes,
        r.inputPeriods, r.outputPeriods, r.playbackUnitsPlayed, r.captureUnitsCaptured);
    return text;
}

int StreamCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    std::string error;
    const auto options = ParseStreamOptions(argc, argv, &error);
    if (!options) {
        err << "q407 stream: " << error << "\n" << StreamUsage();
        return 2;
    }
    if (options->help) {
        out << StreamUsage();
        return 0;
    }
    StreamReport report;
    if (!RunStream(*options, &report, &error)) {
        err << "q407 stream: " << error << "\n";
        return 1;
    }
    out << FormatStreamReport(report);
    return 0;
}

}  // namespace q407::tools
