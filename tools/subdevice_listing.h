// Q407WDM's subdevices as the wave, MIDI and mixer commands present them: the listing (--list),
// and where a wave subdevice's channels sit on the device.
#pragma once

#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/host/portcls/audio_client.h"

namespace q407::tools {

// The subdevices of unit 0 as a person reads them (one line each) or as JSON.
void PrintSubdevices(std::ostream& out, const std::vector<sim::audio::SubdeviceInfo>& list);
nlohmann::json SubdevicesJson(const std::vector<sim::audio::SubdeviceInfo>& list);
// What --list prints: a heading and the lines, or one JSON object {"subdevices": [...]}.
void PrintSubdeviceListing(std::ostream& out, const std::vector<sim::audio::SubdeviceInfo>& list,
                           bool json);

// A wave subdevice's place on the device: "ZEL_WaveN" carries outputs and inputs 2(N-1) and
// 2(N-1)+1 for N up to 8 (N up to 4 play), and ZEL_Wave9 outputs 1..8.
struct WaveSubdevice {
    bool found = false;
    bool playback = false;
    bool recording = false;
    int firstOutput = 0;  // 0-based device output of the stream's first channel
    int firstInput = 0;   // 0-based device input of the stream's first channel
    int maxPlaybackChannels = 0;
};
WaveSubdevice FindWaveSubdevice(const std::vector<sim::audio::SubdeviceInfo>& list,
                                const std::string& name);

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

}  // namespace q407::tools
