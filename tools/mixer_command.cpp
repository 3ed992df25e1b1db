#include "tools/mixer_command.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>

#include "sim/host/portcls/audio_client.h"
#include "tools/cli_parse.h"
#include "tools/machine_choice.h"
#include "tools/subdevice_listing.h"
#include "tools/subdevice_names.h"
#include "tools/wdm_machine.h"

namespace q407::tools {
namespace {

struct MixerView {
    std::string name;
    int32_t status = 0;
    std::vector<sim::audio::MixerLine> lines;
};

}  // namespace

int MixerCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    CLI::App app{"The port-class driver's mixers on a virtual Q407 LX: lines and mute states.",
                 "q407 mixer"};
    std::string device, mute;
    int node = -1;
    bool list = false, json = false, realTime = false;
    app.add_option("--device", device, "one mixer subdevice, ZEL_Mixer1..9 (default: all)");
    app.add_option("--set", node, "the node to change (needs --device and --mute)");
    app.add_option("--mute", mute, "the new mute state")->check(CLI::IsMember({"on", "off"}));
    app.add_flag("--list", list, "list the subdevices and exit");
    app.add_flag("--json", json, "print one JSON object instead of the report");
    app.add_flag("--realtime", realTime, "run against the wall clock (default: virtual time)");
    MachineOptions machineOptions;
    AddMachineOptions(app, &machineOptions);
    if (const std::optional<int> exit = ParseCommandLine(app, argc, argv, out, err)) return *exit;
    const bool setting = node >= 0 || !mute.empty();
    if (setting && (node < 0 || mute.empty() || device.empty())) {
        err << "q407 mixer: --set needs --device, a node number and --mute on|off\n";
        return kWdmExitUsage;
    }
    MachineChoice choice;
    if (const std::optional<int> exit = choice.Choose(machineOptions, "q407 mixer",
                                                      GivenOptions(app, {"--realtime"}), true, err))
        return *exit;
    WdmMachineOptions options;
    options.realTime = realTime;
    WdmMachine machine;
    std::string error;
    if (choice.Linked() ? !machine.UseLinked(&error) : !machine.Boot(options, &error)) {
        err << "q407 mixer: " << error << "\n";
        return kWdmExitFailed;
    }
    ClientScope scope(machine);
    const auto subdevices = sim::audio::ListSubdevices();
    if (list) {
        PrintSubdeviceListing(out, subdevices, json);
        return kWdmExitOk;
    }
    std::vector<std::string> mixers;
    for (const sim::audio::SubdeviceInfo& info : subdevices) {
        if (info.unit != 0 || info.kind != sim::audio::SubdeviceKind::Topology) continue;
        if (device.empty() || Widen(device) == info.name) mixers.push_back(Narrow(info.name));
    }
    if (mixers.empty()) {
        err << "q407 mixer: '" << device << "' is not a mixer subdevice (see --list)\n";
        return kWdmExitUsage;
    }
    int32_t setStatus = 0;
    bool confirmed = false;
    if (setting) {
        const bool on = mute == "on";
        setStatus = sim::audio::SetMute(Widen(device), node, on);
        if (setStatus < 0) {
            err << "q407 mixer: " << device << " refused mute " << mute << " on node " << node
                << ": status " << StatusText(setStatus) << "\n";
            if (json)
                out << nlohmann::json{{"device", device},
                                      {"node", node},
                                      {"status", StatusText(setStatus)},
                                      {"passed", false}}
                           .dump()
                    << "\n";
            return setStatus == kStatusPinBusy ? kWdmExitBusy : kWdmExitRefused;
        }
        bool now = !on;
        confirmed = sim::audio::GetMute(Widen(device), node, &now) >= 0 && now == on;
    }
    std::vector<MixerView> views;
    for (const std::string& name : mixers) {
        MixerView view;
        view.name = name;
        view.status = sim::audio::ListMixerLines(Widen(name), &view.lines);
        views.push_back(view);
    }
    bool allListed = true;
    for (const MixerView& v : views) allListed = allListed && v.status >= 0;
    const bool passed = allListed && (!setting || confirmed);
    if (json) {
        nlohmann::json array = nlohmann::json::array();
        for (const MixerView& v : views) {
            nlohmann::json lines = nlohmann::json::array();
            for (const sim::audio::MixerLine& l : v.lines)
                lines.push_back({{"node", l.node},
                                 {"path", l.playbackPath ? "playback" : "recording"},
                                 {"has_mute", l.hasMute},
                                 {"muted", l.muted}});
            array.push_back({{"name", v.name},
                             {"display_name", std::string(DisplayNameOf(Widen(v.name)))},
                             {"status", StatusText(v.status)},
                             {"lines", lines}});
        }
        nlohmann::json j = {{"mixers", array}, {"machine", choice.Describe()}, {"passed", passed}};
        if (setting)
            j["set"] = {
                {"device", device}, {"node", node}, {"mute", mute}, {"confirmed", confirmed}};
        out << j.dump() << "\n";
    } else {
        out << "Q407 LX mixers (" << (realTime || choice.Linked() ? "real" : "virtual")
            << " time)\n";
        if (choice.Linked()) out << "  machine " << choice.Describe() << "\n";
        if (setting)
            out << "  set " << device << " node " << node << " mute " << mute
                << (confirmed ? " (read back)" : " (NOT read back)") << "\n";
        char line[160];
        for (const MixerView& v : views) {
            out << "  " << v.name << "  " << DisplayNameOf(Widen(v.name)) << "\n";
            if (v.status < 0) {
                out << "    lines not listed: status " << StatusText(v.status) << "\n";
                continue;
            }
            for (const sim::audio::MixerLine& l : v.lines) {
                std::snprintf(line, sizeof(line), "    node %d  %-9s  %s\n", l.node,
                              l.playbackPath ? "playback" : "recording",
                              !l.hasMute ? "no mute control"
                              : l.muted  ? "muted"
                                         : "not muted");
                out << line;
            }
        }
        out << (passed ? "PASSED" : "FAILED") << "\n";
    }
    return passed ? kWdmExitOk : kWdmExitFailed;
}

}  // namespace q407::tools
