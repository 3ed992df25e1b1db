// The registry a long-running machine keeps between runs: loaded from a file before its devices
// start (so the engine finds the mixer settings it saved last time) and saved to it once they
// have been removed (after the engine saved them on removal).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace q407::tools {

class DeviceRig;

// $XDG_STATE_HOME/q407/machine-registry.txt, else ~/.local/state/q407/machine-registry.txt, else
// the working directory's machine-registry.txt.
std::string DefaultMachineSettingsPath();

// Loads the file when it exists (a missing file is a first run); every unit without stored
// settings gets the defaults at `rate`; with `forceRate` every unit's rate becomes `rate`. False
// with the message when the file exists but cannot be read as a registry.
bool LoadMachineSettings(DeviceRig& rig, const std::string& path, uint32_t rate, bool forceRate,
                         std::string* error);
// Writes the whole registry (creating the file's folder); false with the message.
bool SaveMachineSettings(const std::string& path, std::string* error);

}  // namespace q407::tools
