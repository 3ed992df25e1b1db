// The main window's state and view for tests without windows: a view that records what the
// settings and device operations show, a profile kept in a map, and the dialog's members the
// operations work on.
#pragma once

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "panel/app/device_attachment.h"
#include "panel/app/panel_config.h"
#include "panel/app/panel_view.h"
#include "panel/app/settings_applier.h"
#include "panel/app/usb_device.h"
#include "panel/app/zel_controller.h"
#include "platform/framework/profile_store.h"

namespace q407::panel {

class MapProfile final : public framework::ProfileStore {
  public:
    bool ReadBinary(const char* section, const char* entry, std::vector<uint8_t>& value) override {
        auto it = values.find(Key(section, entry));
        if (it == values.end()) return false;
        value = it->second;
        return true;
    }
    bool WriteBinary(const char* section, const char* entry, const uint8_t* data,
                     size_t size) override {
        ++writes;
        values[Key(section, entry)] = std::vector<uint8_t>(data, data + size);
        return true;
    }
    static std::string Key(const char* section, const char* entry) {
        return std::string(section) + "\\" + entry;
    }
    bool Holds(const char* entry) const { return values.count(Key(kProfileSection, entry)) != 0; }
    template <typename T>
    T Stored(const char* entry) const {
        T out{};
        auto it = values.find(Key(kProfileSection, entry));
        if (it != values.end() && it->second.size() == sizeof(T))
            std::memcpy(&out, it->second.data(), sizeof(T));
        return out;
    }
    template <typename T>
    void Store(const char* entry, const T& value) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
        values[Key(kProfileSection, entry)] = std::vector<uint8_t>(bytes, bytes + sizeof(T));
    }

    std::map<std::string, std::vector<uint8_t>> values;
    int writes = 0;
};

inline std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; *text != 0; ++text) out.push_back(static_cast<char>(*text));
    return out;
}

// Every call in order in `log`, and the state the calls leave.
class RecordingPanelView final : public PanelView {
  public:
    void ApplyConfigToPages(const PanelConfig& config) override {
        log.push_back("pages");
        pagesConfig = config;
    }
    void ShowDigitalFormat(bool professional) override {
        log.push_back(professional ? "format pro" : "format con");
        formatProfessional = professional ? 1 : 0;
    }
    void ShowLevelMode(int pair, bool unbalanced) override {
        log.push_back("level " + std::to_string(pair) + (unbalanced ? " unbal" : " bal"));
        levelUnbalanced[pair] = unbalanced ? 1 : 0;
    }
    void ShowLevelAndFormatButtons(bool visible) override {
        log.push_back(visible ? "buttons shown" : "buttons hidden");
        buttonsVisible = visible;
    }
    void SetRateLabel(const wchar_t* text) override {
        rateLabel = Narrow(text);
        log.push_back("rate " + rateLabel);
    }
    void SetMenuCheck(unsigned command, bool checked) override { checks[command] = checked; }
    void ShowError(const wchar_t* text) override {
        errors.push_back(Narrow(text));
        log.push_back("error " + errors.back());
    }
    void SaveSettings() override {
        log.push_back("save");
        ++saves;
        if (profile != nullptr && current != nullptr && copy != nullptr)
            saveSettings(*profile, *current, *copy);
    }
    void HideRoutingViews() override {
        log.push_back("hide routing");
        ++routingHidden;
    }
    void Wait(unsigned milliseconds) override {
        log.push_back("wait " + std::to_string(milliseconds));
        waitedMs += milliseconds;
    }
    void SetTitle(const wchar_t* text) override {
        titles.push_back(Narrow(text));
        log.push_back("title");
    }
    void PagesShowAll(int flag) override {
        log.push_back("show all " + std::to_string(flag));
        pagesShown = flag;
    }
    void PagesSetDevice(USBDevice* device) override {
        log.push_back("set device");
        pagesDevice = device;
    }
    void StartTimers() override {
        log.push_back("start timers");
        ++timersStarted;
    }
    void StopMeterTimer() override {
        log.push_back("stop meter timer");
        ++meterTimerStopped;
    }
    void ReAddTrayIcon() override { log.push_back("tray"); }

    // Checked menu commands, in ascending order.
    std::vector<unsigned> Checked() const {
        std::vector<unsigned> out;
        for (const auto& [command, on] : checks)
            if (on) out.push_back(command);
        return out;
    }
    size_t Count(const std::string& entry) const {
        size_t n = 0;
        for (const auto& e : log) n += e == entry ? 1 : 0;
        return n;
    }

    // Where SaveSettings writes, as the dialog's does.
    MapProfile* profile = nullptr;
    const PanelConfig* current = nullptr;
    const MixerSettings* copy = nullptr;

    std::vector<std::string> log;
    std::vector<std::string> errors;
    std::vector<std::string> titles;
    std::map<unsigned, bool> checks;
    std::string rateLabel;
    PanelConfig pagesConfig{};
    int formatProfessional = -1;
    int levelUnbalanced[kPanelOutputPairs] = {-1, -1, -1, -1};
    bool buttonsVisible = false;
    int pagesShown = -1;
    USBDevice* pagesDevice = nullptr;
    int saves = 0;
    int routingHidden = 0;
    unsigned waitedMs = 0;
    int timersStarted = 0;
    int meterTimerStopped = 0;
};

// The dialog's members the operations share, wired as the dialog wires them.
struct PanelState {
    PanelState() {
        fillInvalid(&current);
        view.profile = &profile;
        view.current = &current;
        view.copy = &copy;
    }
    PanelState(const PanelState&) = delete;
    PanelState& operator=(const PanelState&) = delete;

    DeviceAttachmentState Attachment(bool defaultRequested = false) {
        return {current,   copy,    device, port,    statusRecord,
                statusKey, profile, view,   applier, defaultRequested};
    }

    PanelConfig current{};
    MixerSettings copy{};
    USBDevice* device = nullptr;
    ZELController port;
    EngineStatus* statusRecord = nullptr;
    uint64_t statusKey = 0;
    MapProfile profile;
    RecordingPanelView view;
    SettingsApplier applier{current, copy, device, port, profile, view};
};

}  // namespace q407::panel
