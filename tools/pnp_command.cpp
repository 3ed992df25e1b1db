#include "tools/pnp_command.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "shared/control_message.h"
#include "shared/device_interface.h"
#include "sim/host/device_interfaces.h"
#include "sim/host/pool.h"
#include "sim/host/process.h"
#include "sim/host/verifier.h"
#include "tools/cli_parse.h"
#include "tools/device_client.h"
#include "tools/device_rig.h"
#include "usbdriver/control/device_facade.h"

namespace q407::tools {
namespace {

using PoolBook = std::map<std::string, std::pair<size_t, size_t>>;  // tag: allocations, bytes

PoolBook PoolNow() {
    PoolBook book;
    for (const sim::PoolTagUsage& u : sim::Pool::Outstanding())
        book[sim::TagText(u.tag)] = {u.allocations, u.bytes};
    return book;
}

uint64_t PlaybackCompletions(DeviceRig& rig) {
    DeviceFacade* facade = rig.Facade();
    return facade != nullptr ? facade->engine->m_Counters.playbackCompletions : 0;
}

// A client holding the device while it is pulled out: its next request must be refused.
struct Client {
    sim::Process process{"q407 pnp client"};
    HANDLE device = nullptr;
    bool Open() {
        const auto links = sim::EnabledDeviceInterfaces(Q407InterfaceClass());
        return !links.empty() && process.OpenDevice(links.front(), &device) == STATUS_SUCCESS;
    }
    NTSTATUS Request() {
        ControlMessage m = MakeControlMessage(DeviceServicesType::ReadDeviceStatus);
        ULONG returned = 0;
        return process.DeviceIoControl(device, IOCTL_Q407_CONTROL_MESSAGE, &m, kControlMessageSize,
                                       &m, kControlMessageSize, &returned);
    }
};

void Count(PnpEventCount* c, bool ok) {
    ++c->count;
    if (ok) ++c->ok;
}

nlohmann::json ToJson(const PnpEventCount& c) {
    return {{"count", c.count}, {"ok", c.ok}, {"failed", c.count - c.ok}};
}

void PrintLine(std::ostream& out, const char* name, const PnpEventCount& c) {
    char line[128];
    std::snprintf(line, sizeof(line), "  %-18s %8llu, %llu as expected\n", name,
                  static_cast<unsigned long long>(c.count), static_cast<unsigned long long>(c.ok));
    out << line;
}

}  // namespace

bool PnpCycleReport::Clean() const {
    for (const PnpEventCount* c : {&plug, &stream, &surpriseRemoval, &removal})
        if (c->ok != c->count) return false;
    return poolLeftBytes.empty() && plug.count == cycles;
}

PnpCycleReport RunPnpCycles(const PnpCycleOptions& options, std::ostream* progress) {
    PnpCycleReport report;
    report.cycles = options.cycles;
    const auto wallStart = std::chrono::steady_clock::now();
    {
        DeviceRig rig;
        const PoolBook before = PoolNow();
        const sim::ClockTicks virtualStart = sim::MachineClock::Instance().Now();
        const uint32_t every = options.cycles >= 20 ? options.cycles / 20 : 1;
        bool pulled = false;
        for (uint32_t cycle = 0; cycle < options.cycles; ++cycle) {
            // Plug: a pulled device comes back on the bus; a removed one is started anew.
            if (cycle == 0) rig.StoreSettings(DefaultMixerSettings());
            const NTSTATUS plugged = pulled ? rig.Replug() : rig.Start();
            Count(&report.plug, NT_SUCCESS(plugged) && rig.Started());
            if (!rig.Started()) break;
            const uint64_t before0 = PlaybackCompletions(rig);
            rig.RunForSeconds(options.streamSeconds);
            Count(&report.stream, PlaybackCompletions(rig) > before0);
            if (cycle % 2 == 0) {
                Client client;
                const bool opened = client.Open();
                rig.Unplug();
                const bool refused = opened && client.Request() == STATUS_DELETE_PENDING;
                const bool waited = !rig.Removed();  // the client's handle holds the removal
                client.process.End();
                rig.FinishRemove();
                Count(&report.surpriseRemoval, refused && waited && rig.Removed());
                pulled = true;
            } else {
                Count(&report.removal, NT_SUCCESS(rig.Remove()) && rig.Removed());
                pulled = false;
            }
            if (progress != nullptr && ((cycle + 1) % every == 0 || cycle + 1 == options.cycles))
                *progress << "q407 pnp: cycle " << cycle + 1 << "/" << options.cycles << "\n";
        }
        report.virtualSeconds = double(sim::MachineClock::Instance().Now() - virtualStart) /
                                double(sim::kTicksPerSecond);
        // What the cycles left in pool beyond the machine's own books before the first plug.
        for (const auto& [tag, usage] : PoolNow()) {
            auto it = before.find(tag);
            const size_t had = it != before.end() ? it->second.second : 0;
            const size_t hadCount = it != before.end() ? it->second.first : 0;
            if (usage.first > hadCount || usage.second > had)
                report.poolLeftBytes[tag] = usage.second > had ? usage.second - had : 0;
        }
    }
    report.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    return report;
}

int PnpCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    CLI::App app{
        "Plugs a virtual Q407 LX through the Plug and Play manager, streams briefly and takes it "
        "away, alternately pulled out and removed in order, N times; reports each kind of event, "
        "the pool left by tag and the time taken.",
        "q407 pnp"};
    PnpCycleOptions options;
    bool json = false;
    app.add_option("--cycles", options.cycles, "plug and removal cycles (default 10)")
        ->check(CLI::Range(1u, 1000000u));
    app.add_option("--stream-seconds", options.streamSeconds,
                   "virtual seconds streamed per cycle (default 0.05)")
        ->check(CLI::Range(0.001, 60.0));
    app.add_flag("--json", json, "print one JSON object instead of the report");
    if (const std::optional<int> exit = ParseCommandLine(app, argc, argv, out, err)) return *exit;

    const PnpCycleReport r = RunPnpCycles(options, &err);
    if (json) {
        nlohmann::json pool = nlohmann::json::object();
        for (const auto& [tag, bytes] : r.poolLeftBytes) pool[tag] = bytes;
        out << nlohmann::json{{"cycles", r.cycles},
                              {"plug", ToJson(r.plug)},
                              {"stream", ToJson(r.stream)},
                              {"surprise_removal", ToJson(r.surpriseRemoval)},
                              {"removal", ToJson(r.removal)},
                              {"pool_left_bytes", pool},
                              {"wall_seconds", r.wallSeconds},
                              {"virtual_seconds", r.virtualSeconds},
                              {"clean", r.Clean()}}
                   .dump()
            << "\n";
    } else {
        out << "q407 pnp: " << r.cycles << " cycles\n";
        PrintLine(out, "plugged, started", r.plug);
        PrintLine(out, "streamed", r.stream);
        PrintLine(out, "pulled out", r.surpriseRemoval);
        PrintLine(out, "removed in order", r.removal);
        if (r.poolLeftBytes.empty()) {
            out << "  pool left          none\n";
        } else {
            for (const auto& [tag, bytes] : r.poolLeftBytes)
                out << "  pool left          tag " << tag << ": " << bytes << " bytes\n";
        }
        char line[128];
        std::snprintf(line, sizeof(line), "  time               %.2f s (%.2f s of machine time)\n",
                      r.wallSeconds, r.virtualSeconds);
        out << line;
        out << (r.Clean() ? "  result             clean\n" : "  result             NOT clean\n");
    }
    return r.Clean() ? 0 : 3;
}

}  // namespace q407::tools
