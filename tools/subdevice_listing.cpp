#include "tools/subdevice_listing.h"

#include <cstdio>
#include <ostream>

#include "tools/subdevice_names.h"

namespace q407::tools {
namespace {

const char* KindText(sim::audio::SubdeviceKind kind) {
    switch (kind) {
        case sim::audio::SubdeviceKind::Wave:
            return "wave";
        case sim::audio::SubdeviceKind::Topology:
            return "mixer";
        case sim::audio::SubdeviceKind::Midi:
            return "midi";
    }
    return "?";
}

std::string Directions(const sim::audio::SubdeviceInfo& info) {
    if (info.kind == sim::audio::SubdeviceKind::Topology) return "";
    if (info.playback && info.recording) return "play, record";
    if (info.playback) return "play";
    if (info.recording) return "record";
    return "";
}

}  // namespace

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c >= 0x20 && c < 0x7F ? char(c) : '?');
    return out;
}

void PrintSubdevices(std::ostream& out, const std::vector<sim::audio::SubdeviceInfo>& list) {
    for (const sim::audio::SubdeviceInfo& info : list) {
        if (info.unit != 0) continue;
        const std::string_view shown = DisplayNameOf(info.name);
        char line[160];
        std::snprintf(line, sizeof(line), "  %-11s %-6s %-13s %s\n", Narrow(info.name).c_str(),
                      KindText(info.kind), Directions(info).c_str(),
                      std::string(shown.empty() ? "(no display name)" : shown).c_str());
        out << line;
    }
}

nlohmann::json SubdevicesJson(const std::vector<sim::audio::SubdeviceInfo>& list) {
    nlohmann::json array = nlohmann::json::array();
    for (const sim::audio::SubdeviceInfo& info : list) {
        if (info.unit != 0) continue;
        array.push_back({{"name", Narrow(info.name)},
                         {"display_name", std::string(DisplayNameOf(info.name))},
                         {"kind", KindText(info.kind)},
                         {"playback", info.playback},
                         {"recording", info.recording},
                         {"symbolic_link", Narrow(info.symbolicLink)}});
    }
    return array;
}

WaveSubdevice FindWaveSubdevice(const std::vector<sim::audio::SubdeviceInfo>& list,
                                const std::string& name) {
    WaveSubdevice wave;
    const std::wstring wide = Widen(name);
    for (const sim::audio::SubdeviceInfo& info : list) {
        if (info.unit != 0 || info.kind != sim::audio::SubdeviceKind::Wave || info.name != wide)
            continue;
        wave.found = true;
        wave.playback = info.playback;
        wave.recording = info.recording;
    }
    if (!wave.found) return wave;
    const std::string prefix = "ZEL_Wave";
    const int n = name.size() == prefix.size() + 1 ? name.back() - '0' : 0;
    if (n == 9) {
        wave.firstOutput = 0;
        wave.maxPlaybackChannels = 8;
    } else if (n >= 1 && n <= 8) {
        wave.firstOutput = 2 * (n - 1) % 8;
        wave.firstInput = 2 * (n - 1);
        wave.maxPlaybackChannels = 2;
    } else {
        wave.found = false;  // a wave subdevice of a name this device does not have
    }
    return wave;
}

void PrintSubdeviceListing(std::ostream& out, const std::vector<sim::audio::SubdeviceInfo>& list,
                           bool json) {
    if (json) {
        out << nlohmann::json{{"subdevices", SubdevicesJson(list)}}.dump() << "\n";
        return;
    }
    out << "Q407WDM subdevices on the virtual Q407 LX:\n";
    PrintSubdevices(out, list);
}

}  // namespace q407::tools
