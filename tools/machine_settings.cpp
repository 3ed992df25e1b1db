#include "tools/machine_settings.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "shared/mixer_settings.h"
#include "sim/device/usb_bus.h"
#include "sim/host/registry_store.h"
#include "tools/device_rig.h"

namespace q407::tools {
namespace {

const wchar_t kSettingsValueName[] = L"MixerQ40714";

std::wstring SettingsKeyOf(DeviceRig& rig, int unit) {
    return sim::DeviceRegistryKeyPath(rig.VirtualDevice(unit).Pdo(),
                                      PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
}

}  // namespace

std::string DefaultMachineSettingsPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return std::string(state) + "/q407/machine-registry.txt";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.local/state/q407/machine-registry.txt";
    return "machine-registry.txt";
}

bool LoadMachineSettings(DeviceRig& rig, const std::string& path, uint32_t rate, bool forceRate,
                         std::string* error) {
    sim::RegistryStore& registry = sim::RegistryStore::Instance();
    std::error_code ec;
    if (std::filesystem::exists(path, ec) && !registry.LoadFromFile(path)) {
        *error = "cannot read the settings file '" + path + "' (not a registry file?)";
        return false;
    }
    bool anyMissing = false;
    for (int unit = 0; unit < rig.Units(); ++unit) {
        const std::wstring key = SettingsKeyOf(rig, unit);
        std::optional<sim::RegistryValue> stored = registry.QueryValue(key, kSettingsValueName);
        // A value of another size is another version's record: the engine would ignore it.
        if (!stored || stored->type != REG_BINARY || stored->data.size() != sizeof(MixerSettings)) {
            anyMissing = true;
            continue;
        }
        if (forceRate) {
            MixerSettings settings{};
            std::memcpy(&settings, stored->data.data(), sizeof(settings));
            settings.sampleRate = static_cast<int32_t>(rate);
            const auto* bytes = reinterpret_cast<const UCHAR*>(&settings);
            registry.SetValue(key, kSettingsValueName, REG_BINARY,
                              std::vector<UCHAR>(bytes, bytes + sizeof(settings)));
        }
    }
    if (anyMissing) {
        // Defaults for the units without a value; the others keep theirs.
        std::vector<std::optional<sim::RegistryValue>> kept;
        for (int unit = 0; unit < rig.Units(); ++unit)
            kept.push_back(registry.QueryValue(SettingsKeyOf(rig, unit), kSettingsValueName));
        MixerSettings defaults = DefaultMixerSettings();
        defaults.sampleRate = static_cast<int32_t>(rate);
        rig.StoreSettings(defaults);
        for (int unit = 0; unit < rig.Units(); ++unit) {
            const auto& value = kept[static_cast<size_t>(unit)];
            if (value && value->type == REG_BINARY && value->data.size() == sizeof(MixerSettings))
                registry.SetValue(SettingsKeyOf(rig, unit), kSettingsValueName, value->type,
                                  value->data);
        }
    }
    return true;
}

bool SaveMachineSettings(const std::string& path, std::string* error) {
    const std::filesystem::path file(path);
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    if (ec || !sim::RegistryStore::Instance().SaveToFile(path)) {
        *error = "cannot write the settings file '" + path + "'";
        return false;
    }
    return true;
}

}  // namespace q407::tools
