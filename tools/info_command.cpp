#include "tools/info_command.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "sim/host/process.h"
#include "tools/cli_parse.h"
#include "tools/device_report.h"
#include "tools/device_rig.h"
#include "tools/machine_choice.h"

namespace q407::tools {
namespace {

std::string FirmwareText(const DeviceReport& r) {
    const char letter =
        r.firmwareLetter >= 0x20 && r.firmwareLetter < 0x7F ? r.firmwareLetter : '?';
    return std::to_string(r.firmwareMajor) + "." + std::to_string(r.firmwareMinor) + " (" + letter +
           ")";
}

std::string ClockText(const DeviceReport& r) {
    return r.autoClock ? "automatic (follows S/PDIF)" : "internal";
}

double LatencyMs(const DeviceReport& r) {
    return r.sampleRate != 0 ? 1000.0 * r.latency / r.sampleRate : 0.0;
}

nlohmann::json ToJson(const DeviceReport& r) {
    char statusText[8];
    std::snprintf(statusText, sizeof(statusText), "0x%02X", r.statusByte & 0xFFu);
    return {
        {"device", PrintablePath(r.path)},
        {"driverVersion", std::to_string(r.driverMajor) + "." + std::to_string(r.driverMinor)},
        {"driverMajor", r.driverMajor},
        {"driverMinor", r.driverMinor},
        {"inputs", r.inputChannels},
        {"outputs", r.outputChannels},
        {"firmware",
         {{"letter", std::string(1, r.firmwareLetter)},
          {"major", r.firmwareMajor},
          {"minor", r.firmwareMinor}}},
        {"statusByte", r.statusByte},
        {"statusByteHex", statusText},
        {"sampleRate", r.sampleRate},
        {"latencyFrames", r.latency},
        {"latencyMs", LatencyMs(r)},
        {"usbBuffers", r.usbBufferCount},
        {"clockMode", r.autoClock ? "automatic" : "internal"},
        {"inputs15And16", r.spdifInput ? "S/PDIF" : "analog"},
    };
}

void PrintText(const DeviceReport& r, std::ostream& out) {
    char line[160];
    out << "Q407 LX at " << PrintablePath(r.path) << "\n";
    std::snprintf(line, sizeof(line), "  driver version     %u.%u\n", r.driverMajor, r.driverMinor);
    out << line;
    std::snprintf(line, sizeof(line), "  channels           %u inputs, %u outputs\n",
                  r.inputChannels, r.outputChannels);
    out << line;
    out << "  firmware           " << FirmwareText(r) << "\n";
    std::snprintf(line, sizeof(line), "  device status      0x%02X\n", r.statusByte & 0xFFu);
    out << line;
    std::snprintf(line, sizeof(line), "  sample rate        %u Hz\n", r.sampleRate);
    out << line;
    std::snprintf(line, sizeof(line), "  latency            %u frames (%.2f ms)\n", r.latency,
                  LatencyMs(r));
    out << line;
    std::snprintf(line, sizeof(line), "  USB buffers        %u\n", r.usbBufferCount);
    out << line;
    out << "  clock              " << ClockText(r) << "\n";
    out << "  inputs 15/16       " << (r.spdifInput ? "S/PDIF" : "analog") << "\n";
}

}  // namespace

int InfoCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    CLI::App app{
        "Reports the driver and the device, read by a client process through the "
        "device interface of a virtual Q407 LX.",
        "q407 info"};
    bool json = false;
    app.add_flag("--json", json, "print one JSON object instead of the report");
    MachineOptions machineOptions;
    AddMachineOptions(app, &machineOptions);
    if (const std::optional<int> exit = ParseCommandLine(app, argc, argv, out, err)) return *exit;

    MachineChoice choice;
    if (const std::optional<int> exit = choice.Choose(machineOptions, "q407 info", {}, true, err))
        return *exit;
    std::string error;
    DeviceReport report;
    bool ok = false;
    if (choice.Linked()) {
        ok = QueryDeviceReport(&report, &error);  // this program's own thread, as on Windows
    } else {
        DeviceRig rig;
        if (!StartDeviceWithSettings(rig, DefaultMixerSettings(), &error)) {
            err << "q407 info: " << error << "\n";
            return 1;
        }
        sim::Process client("q407 info");
        sim::Process::Scope scope(client);
        ok = QueryDeviceReport(&report, &error);
    }
    if (!ok) {
        err << "q407 info: " << error << "\n";
        return 1;
    }
    if (json) {
        nlohmann::json j = ToJson(report);
        j["machine"] = choice.Describe();
        out << j.dump() << "\n";
    } else {
        PrintText(report, out);
        out << "  machine            " << choice.Describe() << "\n";
    }
    return 0;
}

}  // namespace q407::tools
