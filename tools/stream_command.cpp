#include "tools/stream_command.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ostream>
#include <string_view>

#include "sim/host/pnp_manager.h"
#include "tools/command_line.h"
#include "tools/device_rig.h"
#include "tools/engine_rig.h"
#include "usbdriver/control/device_facade.h"

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
           "                   [--unplug-after S] [--replug-after S] [--sleep-after S]\n"
           "  Brings the streaming engine up on a virtual Q407 LX and streams for S seconds\n"
           "  (default 10) at HZ (44100, 48000, 88200 or 96000; default 48000) with N USB\n"
           "  buffers (2..5; default 4), in virtual time unless --real-time is given.\n"
           "  Prints the pipe counters as one JSON object; --pcap writes the USB traffic as a\n"
           "  usbmon pcap file.\n"
           "  With --unplug-after or --sleep-after the device is plugged through the Plug and\n"
           "  Play manager with Q407DRV, pulled out that many seconds into the stream (and\n"
           "  plugged in again --replug-after seconds later), or the machine sleeps then and\n"
           "  wakes a second later; the report lists these events, and its counters add up\n"
           "  every instance of the device.\n";
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
        bool timed = false;
        for (auto [name, target] : {std::pair{"--unplug-after", &options.unplugAfter},
                                    std::pair{"--replug-after", &options.replugAfter},
                                    std::pair{"--sleep-after", &options.sleepAfter}}) {
            auto v = TakeOptionValue(argc, argv, &i, name, error);
            if (!error->empty()) return std::nullopt;
            if (!v) continue;
            *target = ParsePositiveNumber(*v, 86400.0);
            if (!*target) {
                *error = std::string(name) + " needs a number of seconds above 0, not '" + *v + "'";
                return std::nullopt;
            }
            timed = true;
            break;
        }
        if (timed) continue;
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
    if (options.replugAfter && !options.unplugAfter) {
        *error = "--replug-after needs --unplug-after";
        return std::nullopt;
    }
    for (auto [name, value] : {std::pair{"--unplug-after", options.unplugAfter},
                               std::pair{"--sleep-after", options.sleepAfter}})
        if (value && *value >= options.seconds) {
            *error = std::string(name) + " must fall inside the run (--seconds)";
            return std::nullopt;
        }
    if (options.UsesPnp() && options.realTime) {
        *error = "the Plug and Play options run in virtual time only";
        return std::nullopt;
    }
    return options;
}

namespace {

// Counters of one device instance and its engine since it started streaming.
struct Span {
    EngineCounters engine{};
    sim::DeviceCounters device{};
};

EngineCounters EngineNow(DeviceRig& rig) {
    DeviceFacade* facade = rig.Facade();
    return facade != nullptr ? facade->engine->m_Counters : EngineCounters{};
}

// Adds what moved between two readings of one instance.
void Accumulate(StreamReport* r, const Span& from, const Span& to) {
    r->playbackTransfers += to.engine.playbackCompletions - from.engine.playbackCompletions;
    r->captureTransfers += to.engine.captureCompletions - from.engine.captureCompletions;
    r->midiInTransfers += to.engine.midiInCompletions - from.engine.midiInCompletions;
    r->captureUnitsDropped += to.engine.captureUnitsDropped - from.engine.captureUnitsDropped;
    r->midiOutBytes += to.engine.midiOutBytes - from.engine.midiOutBytes;
    r->midiInBytes += to.engine.midiInBytes - from.engine.midiInBytes;
    r->inputPeriods += to.engine.inputPeriods - from.engine.inputPeriods;
    r->outputPeriods += to.engine.outputPeriods - from.engine.outputPeriods;
    r->deviceUnderruns += to.device.underruns - from.device.underruns;
    r->deviceOverruns += to.device.overruns - from.device.overruns;
    r->playbackUnitsPlayed += to.device.playbackUnits - from.device.playbackUnits;
    r->captureUnitsCaptured += to.device.captureUnits - from.device.captureUnits;
}

// The stream on the whole machine: Q407DRV plugged through Plug and Play, with the timed
// events of the options.
bool RunStreamWithPnp(const StreamOptions& options, StreamReport* report, std::string* error) {
    DeviceRig rig;
    MixerSettings settings = DefaultMixerSettings();
    settings.sampleRate = static_cast<LONG>(options.rate);
    settings.usbBufferCount = static_cast<LONG>(options.buffers);
    if (!StartDeviceWithSettings(rig, settings, error)) return false;

    struct Timed {
        double at;
        const char* what;
    };
    std::vector<Timed> timeline;
    if (options.unplugAfter) {
        timeline.push_back({*options.unplugAfter, "unplug"});
        if (options.replugAfter)
            timeline.push_back({*options.unplugAfter + *options.replugAfter, "replug"});
    }
    if (options.sleepAfter) {
        timeline.push_back({*options.sleepAfter, "sleep"});
        timeline.push_back({std::min(*options.sleepAfter + 1.0, options.seconds), "wake"});
    }
    std::stable_sort(timeline.begin(), timeline.end(),
                     [](const Timed& a, const Timed& b) { return a.at < b.at; });

    Span start{EngineNow(rig), rig.Device().Counters()};
    bool live = true;  // an engine and device instance is being counted
    auto close = [&] {
        if (live) Accumulate(report, start, Span{EngineNow(rig), rig.Device().Counters()});
        live = false;
    };
    double now = 0;
    size_t next = 0;
    uint64_t second = 0;
    while (now < options.seconds) {
        while (next < timeline.size() && timeline[next].at <= now) {
            const std::string what = timeline[next].what;
            NTSTATUS status = STATUS_SUCCESS;
            if (what == "unplug") {
                close();
                rig.Unplug();
                rig.FinishRemove();
            } else if (what == "replug") {
                status = rig.Replug();
                if (NT_SUCCESS(status)) {
                    start = Span{EngineNow(rig), rig.Device().Counters()};
                    live = rig.Started();
                }
            } else if (what == "sleep") {
                status = rig.Sleep();
            } else {
                status = rig.Wake();
            }
            report->events.push_back({now, what, static_cast<uint32_t>(status)});
            ++next;
        }
        double step = std::min(1.0, options.seconds - now);
        if (next < timeline.size()) step = std::min(step, timeline[next].at - now);
        if (DeviceFacade* facade = rig.Facade()) {
            const UCHAR note = static_cast<UCHAR>(0x30 + second % 24);
            for (UCHAR b : {UCHAR(0x90), note, UCHAR(0x64), UCHAR(0x80), note, UCHAR(0)})
                (void)facade->engine->WriteMidiOutByte(0, b);
        }
        ++second;
        rig.RunForSeconds(step);
        if (DeviceFacade* facade = rig.Facade())
            while (facade->engine->ReadMidiInByte(0) != 0xFFFFFFFFu) {
            }
        now += step;
    }
    if (rig.Pnp().Asleep()) {
        const NTSTATUS status = rig.Wake();
        report->events.push_back({now, "wake", static_cast<uint32_t>(status)});
    }
    close();
    report->rate = options.rate;
    report->buffers = options.buffers;
    report->seconds = options.seconds;
    return true;
}

}  // namespace

bool RunStream(const StreamOptions& options, StreamReport* report, std::string* error) {
    if (options.UsesPnp()) return RunStreamWithPnp(options, report, error);
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
    std::snprintf(text, sizeof(text),
                  "{\"rate\": %" PRIu32 ", \"buffers\": %" PRIu32
                  ", \"seconds\": %.3f, "
                  "\"playback_transfers\": %" PRIu64 ", \"capture_transfers\": %" PRIu64
                  ", \"midi_in_transfers\": %" PRIu64 ", \"device_underruns\": %" PRIu64
                  ", \"device_overruns\": %" PRIu64 ", \"capture_units_dropped\": %" PRIu64
                  ", \"midi_out_bytes\": %" PRIu64 ", \"midi_in_bytes\": %" PRIu64
                  ", \"input_periods\": %" PRIu64 ", \"output_periods\": %" PRIu64
                  ", \"device_playback_units\": %" PRIu64 ", \"device_capture_units\": %" PRIu64,
                  r.rate, r.buffers, r.seconds, r.playbackTransfers, r.captureTransfers,
                  r.midiInTransfers, r.deviceUnderruns, r.deviceOverruns, r.captureUnitsDropped,
                  r.midiOutBytes, r.midiInBytes, r.inputPeriods, r.outputPeriods,
                  r.playbackUnitsPlayed, r.captureUnitsCaptured);
    std::string json = text;
    if (!r.events.empty()) {
        json += ", \"events\": [";
        for (size_t i = 0; i < r.events.size(); ++i) {
            char event[128];
            std::snprintf(event, sizeof(event),
                          "%s{\"at\": %.3f, \"event\": \"%s\", \"status\": \"0x%08" PRIX32 "\"}",
                          i == 0 ? "" : ", ", r.events[i].at, r.events[i].what.c_str(),
                          r.events[i].status);
            json += event;
        }
        json += "]";
    }
    return json + "}\n";
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
