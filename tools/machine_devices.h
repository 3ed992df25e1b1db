// The machine's devices as a running machine's clients act on them: list the units, pull one out,
// plug it in again, put the system to sleep and wake it. Requests and answers are JSON objects,
// so that `q407 device` and any other client read them alike:
//   {"action": "list"}                       -> {"ok": true, "units": [...], "clients": N,
//                                               "driverPool": {"allocations": N, "bytes": N}}
//   {"action": "unplug" | "plug", "unit": N} -> {"ok": true, "unit": N, "state": "..."}
//   {"action": "sleep" | "wake"}             -> {"ok": true, "asleep": bool}
// A refused or malformed request answers {"ok": false, "error": "..."}.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace q407::tools {

class DeviceRig;

// What the drivers hold in pool now (their tags and the I/O manager's on their behalf): tag text,
// allocations, bytes.
struct DriverPoolTag {
    std::string tag;
    size_t allocations = 0;
    size_t bytes = 0;
};
std::vector<DriverPoolTag> DriverPoolNow();

class MachineDevices {
  public:
    explicit MachineDevices(DeviceRig& rig);

    // Run after a unit is plugged in again (its inputs, sinks and capture follow the new device).
    void OnPlugged(std::function<void(int unit)> callback);
    // How many client processes the machine serves now (listed with the units).
    void CountClients(std::function<size_t()> counter);

    nlohmann::json Run(const nlohmann::json& request);
    // The same for a request as text; text that is not a JSON object is refused.
    std::string RunText(const std::string& request);

    // "plugged", "removing" (pulled out, its removal waits for a client's handle), "removed" or
    // "asleep".
    std::string StateOf(int unit) const;
    bool Asleep() const;

  private:
    nlohmann::json List() const;
    nlohmann::json Unplug(int unit);
    nlohmann::json Plug(int unit);
    nlohmann::json Power(bool sleep);

    DeviceRig& rig_;
    std::function<void(int)> onPlugged_;
    std::function<size_t()> clients_;
    mutable std::mutex mutex_;  // one device change at a time, whichever client asks
    bool asleep_ = false;
};

}  // namespace q407::tools
