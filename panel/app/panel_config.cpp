#include "panel/app/panel_config.h"

#include <cstring>
#include <initializer_list>
#include <vector>

#include "panel/app/usb_device.h"

namespace q407::panel {
namespace {

bool IsOneOf(uint32_t value, std::initializer_list<uint32_t> allowed) {
    for (uint32_t a : allowed) {
        if (value == a) return true;
    }
    return false;
}

// Fields are checked as unsigned words: a negative value is out of range, never below it.
void Clamp(int32_t* field, bool inRange, int32_t replacement) {
    if (!inRange) *field = replacement;
}
uint32_t U(int32_t v) {
    return static_cast<uint32_t>(v);
}

template <class Record>
bool LoadExact(framework::ProfileStore& profile, const char* entry, Record* record) {
    std::memset(record, 0, sizeof(Record));
    std::vector<uint8_t> value;
    if (!profile.ReadBinary(kProfileSection, entry, value)) return false;
    if (value.size() != sizeof(Record)) return false;
    std::memcpy(record, value.data(), sizeof(Record));
    return true;
}

}  // namespace

void makeDefaultConfig(PanelConfig* record, USBDevice* device) {
    std::memset(record, 0, sizeof(*record));
    for (int32_t i = 0; i < kPanelOutputs; ++i) record->volume[i] = 127;
    for (int32_t p = 0; p < kPanelOutputPairs; ++p) record->pairLink[p] = 1;
    record->sampleRate = 44100;
    record->usbBufferCount = 4;
    record->latency = 512;
    if (device != nullptr && device->count() > 0) {
        // A version the device does not give stays zero.
        (void)device->getDriverVersion(&record->driverVersion);
        (void)device->getFirmwareVersion(&record->firmwareVersion);
    }
}

void validateConfig(PanelConfig* r) {
    Clamp(&r->spdifInput, U(r->spdifInput) <= 1, 0);
    Clamp(&r->autoClock, U(r->autoClock) <= 1, 0);
    Clamp(&r->digitalFormat, U(r->digitalFormat) <= 1, 0);
    Clamp(&r->sampleRate, IsOneOf(U(r->sampleRate), {44100, 48000, 88200, 96000}), 44100);
    Clamp(&r->usbBufferCount, U(r->usbBufferCount) >= 2 && U(r->usbBufferCount) <= 7, 4);
    Clamp(&r->latency, IsOneOf(U(r->latency), {32, 64, 128, 256, 512, 1024, 2048}), 512);
    for (int32_t p = 0; p < kPanelOutputPairs; ++p) {
        Clamp(&r->levelMode[p], U(r->levelMode[p]) <= 1, 0);
        if (r->pairLink[p] > 1) r->pairLink[p] = 1;
    }
    for (int32_t i = 0; i < kPanelOutputs; ++i) {
        if (r->mute[i] > 1) r->mute[i] = 0;
        if (r->volume[i] > 127) r->volume[i] = 127;
    }
}

void fillInvalid(PanelConfig* record) {
    std::memset(record, 0xFF, sizeof(*record));
}

bool holdsSettings(const PanelConfig& r) {
    constexpr int32_t kUnset = -1;  // 0xFFFFFFFF
    if (r.spdifInput == kUnset || r.autoClock == kUnset || r.sampleRate == kUnset ||
        r.digitalFormat == kUnset || r.usbBufferCount == kUnset)
        return false;
    for (int32_t p = 0; p < kPanelOutputPairs; ++p) {
        if (r.levelMode[p] == kUnset) return false;
    }
    return true;
}

void resetOutputMap(MixerSettings* block) {
    for (int32_t i = 0; i < kOutputChannelCount; ++i) block->outputMap.entries[i] = i;
}

void clearRouteTable(MixerSettings* block) {
    for (RouteRecord& r : block->routeTable.records) {
        r.routeOut = 0;
        r.routeIn = 0;
        r.targetKind = 0;
        r.targetSide = 0;
        r.targetChannel = 0;
        r.kindMute = 0;
    }
}

bool defaultRequested(int argc, const wchar_t* const* argv) {
    if (argc != 2 || argv == nullptr || argv[1] == nullptr) return false;
    static constexpr wchar_t kSwitch[] = L"/default";
    const wchar_t* a = argv[1];
    size_t i = 0;
    for (; kSwitch[i] != L'\0'; ++i) {
        if (a[i] != kSwitch[i]) return false;
    }
    return a[i] == L'\0';
}

bool loadConfig(framework::ProfileStore& profile, PanelConfig* record) {
    return LoadExact(profile, kConfigEntry, record);
}

bool loadMixer(framework::ProfileStore& profile, MixerSettings* block) {
    return LoadExact(profile, kMixerEntry, block);
}

void saveSettings(framework::ProfileStore& profile, const PanelConfig& record,
                  const MixerSettings& block) {
    // Not reported: the panel goes on with what it has in memory.
    (void)profile.WriteBinary(kProfileSection, kConfigEntry,
                              reinterpret_cast<const uint8_t*>(&record), sizeof(record));
    (void)profile.WriteBinary(kProfileSection, kMixerEntry,
                              reinterpret_cast<const uint8_t*>(&block), sizeof(block));
}

}  // namespace q407::panel
