#include "tools/machine_devices.h"

#include "sim/device/q407_device.h"
#include "sim/device/usb_bus.h"
#include "sim/host/pool.h"
#include "sim/host/verifier.h"
#include "tools/device_rig.h"
#include "tools/wdm_machine.h"

namespace q407::tools {
namespace {

nlohmann::json Refused(const std::string& error) {
    return {{"ok", false}, {"error", error}};
}

}  // namespace

std::vector<DriverPoolTag> DriverPoolNow() {
    std::vector<DriverPoolTag> tags;
    for (const sim::PoolTagUsage& u : sim::Pool::Outstanding()) {
        std::string tag = sim::TagText(u.tag);
        if (tag.rfind("Zel", 0) == 0 || tag == "None" || tag == "Mdl " || tag == "Irp " ||
            tag == "IoSb")
            tags.push_back({std::move(tag), u.allocations, u.bytes});
    }
    return tags;
}

MachineDevices::MachineDevices(DeviceRig& rig) : rig_(rig) {}

void MachineDevices::OnPlugged(std::function<void(int unit)> callback) {
    onPlugged_ = std::move(callback);
}

void MachineDevices::CountClients(std::function<size_t()> counter) {
    clients_ = std::move(counter);
}

std::string MachineDevices::StateOf(int unit) const {
    if (!rig_.VirtualDevice(unit).Bus().Plugged())
        return rig_.Removed(unit) ? "removed" : "removing";
    if (rig_.Removed(unit)) return "removed";
    return asleep_ ? "asleep" : "plugged";
}

bool MachineDevices::Asleep() const {
    std::lock_guard lock(mutex_);
    return asleep_;
}

nlohmann::json MachineDevices::Run(const nlohmann::json& request) {
    if (!request.is_object() || !request.contains("action") || !request["action"].is_string())
        return Refused("the request names no action");
    const std::string action = request["action"].get<std::string>();
    std::lock_guard lock(mutex_);
    if (action == "list") return List();
    if (action == "sleep" || action == "wake") return Power(action == "sleep");
    if (action == "unplug" || action == "plug") {
        const auto unit = request.find("unit");
        if (unit == request.end() || !unit->is_number_integer())
            return Refused(action + " needs a unit number");
        const long long n = unit->get<long long>();
        if (n < 0 || n >= rig_.Units())
            return Refused("no unit " + std::to_string(n) + " (the machine has " +
                           std::to_string(rig_.Units()) + ")");
        return action == "unplug" ? Unplug(static_cast<int>(n)) : Plug(static_cast<int>(n));
    }
    return Refused("unknown action '" + action + "'");
}

std::string MachineDevices::RunText(const std::string& request) {
    const nlohmann::json parsed = nlohmann::json::parse(request, nullptr, false);
    if (parsed.is_discarded()) return Refused("the request is not JSON").dump();
    return Run(parsed).dump();
}

nlohmann::json MachineDevices::List() const {
    nlohmann::json units = nlohmann::json::array();
    for (int unit = 0; unit < rig_.Units(); ++unit) {
        nlohmann::json u = {{"unit", unit},
                            {"serial", "Q407LX-" + std::to_string(unit + 1)},
                            {"state", StateOf(unit)}};
        if (rig_.Facade(unit) != nullptr) u["rate"] = rig_.Device(unit).ClockRate();
        if (rig_.VirtualDevice(unit).Bus().Plugged()) {
            // What the codec and the digital options hold, as a listener on the outputs finds it:
            // each output's level (127 full, half a decibel a step), the clock mode (0 follows
            // the S/PDIF input) and whether inputs 15/16 come from S/PDIF.
            const sim::Q407Device& device = rig_.Device(unit);
            nlohmann::json levels = nlohmann::json::array();
            for (int channel = 0; channel < 8; ++channel)
                levels.push_back(static_cast<int>(127.0 + 2.0 * device.OutputGainDb(channel)));
            u["outputLevels"] = std::move(levels);
            u["clockMode"] = device.Mode();
            u["spdifInputs"] = device.InputsFromSpdif();
        }
        units.push_back(std::move(u));
    }
    size_t allocations = 0;
    size_t bytes = 0;
    for (const DriverPoolTag& t : DriverPoolNow()) {
        allocations += t.allocations;
        bytes += t.bytes;
    }
    nlohmann::json answer = {{"ok", true},
                             {"units", std::move(units)},
                             {"asleep", asleep_},
                             {"driverPool", {{"allocations", allocations}, {"bytes", bytes}}}};
    if (clients_) answer["clients"] = clients_();
    return answer;
}

nlohmann::json MachineDevices::Unplug(int unit) {
    if (!rig_.VirtualDevice(unit).Bus().Plugged())
        return Refused("unit " + std::to_string(unit) + " is not plugged in");
    rig_.Unplug(unit);
    return {{"ok", true}, {"unit", unit}, {"state", StateOf(unit)}};
}

nlohmann::json MachineDevices::Plug(int unit) {
    if (rig_.VirtualDevice(unit).Bus().Plugged())
        return Refused("unit " + std::to_string(unit) + " is already plugged in");
    if (asleep_) return Refused("the machine is asleep; wake it first");
    const NTSTATUS status = rig_.Replug(unit);
    if (status == STATUS_DELETE_PENDING)
        return Refused("unit " + std::to_string(unit) +
                       " is still being removed: a client holds a handle on it");
    // The new device carries the unit's feeds whether or not its drivers started.
    if (rig_.VirtualDevice(unit).Bus().Plugged() && onPlugged_) onPlugged_(unit);
    if (!NT_SUCCESS(status))
        return Refused("unit " + std::to_string(unit) + " did not start: status " +
                       StatusText(status));
    return {{"ok", true}, {"unit", unit}, {"state", StateOf(unit)}};
}

nlohmann::json MachineDevices::Power(bool sleep) {
    if (sleep == asleep_)
        return Refused(sleep ? "the machine is asleep already" : "the machine is awake");
    const NTSTATUS status = sleep ? rig_.Sleep() : rig_.Wake();
    if (!NT_SUCCESS(status))
        return Refused(std::string(sleep ? "sleep" : "wake") + " failed: status " +
                       StatusText(status));
    asleep_ = sleep;
    return {{"ok", true}, {"asleep", asleep_}};
}

}  // namespace q407::tools
