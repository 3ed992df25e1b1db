// The panel's own settings record, kept between runs beside a copy of the device's settings
// block: its defaults, its validation, and the two binary values of the program's profile that
// hold them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "panel/app/version_info.h"
#include "platform/framework/profile_store.h"
#include "shared/mixer_settings.h"

namespace q407::panel {

class USBDevice;

inline constexpr int32_t kPanelOutputs = 8;
inline constexpr int32_t kPanelOutputPairs = 4;

// Little-endian and stored byte for byte: the layout is a storage format.
struct PanelConfig {
    uint8_t volume[kPanelOutputs];         // 0: 0..127 per output
    uint8_t mute[kPanelOutputs];           // 8: 1 = muted
    uint8_t pairLink[kPanelOutputPairs];   // 16: 1 = the pair's volumes move together
    int32_t spdifInput;                    // 20: inputs 15/16 from 1 = S/PDIF, 0 = analog
    int32_t autoClock;                     // 24: 1 = clock follows the digital input, 0 = internal
    int32_t sampleRate;                    // 28: Hz
    int32_t levelMode[kPanelOutputPairs];  // 32: per pair, 0 balanced, 1 unbalanced
    int32_t digitalFormat;                 // 48: 1 professional, 0 consumer
    int32_t usbBufferCount;                // 52: 2..7
    VersionInfo firmwareVersion;           // 56
    uint8_t reserved[100];                 // 156: not interpreted
    VersionInfo driverVersion;             // 256
    int32_t latency;                       // 356: ASIO buffer size in samples
};

static_assert(sizeof(PanelConfig) == 360);
static_assert(offsetof(PanelConfig, volume) == 0);
static_assert(offsetof(PanelConfig, mute) == 8);
static_assert(offsetof(PanelConfig, pairLink) == 16);
static_assert(offsetof(PanelConfig, spdifInput) == 20);
static_assert(offsetof(PanelConfig, autoClock) == 24);
static_assert(offsetof(PanelConfig, sampleRate) == 28);
static_assert(offsetof(PanelConfig, levelMode) == 32);
static_assert(offsetof(PanelConfig, digitalFormat) == 48);
static_assert(offsetof(PanelConfig, usbBufferCount) == 52);
static_assert(offsetof(PanelConfig, firmwareVersion) == 56);
static_assert(offsetof(PanelConfig, reserved) == 156);
static_assert(offsetof(PanelConfig, driverVersion) == 256);
static_assert(offsetof(PanelConfig, latency) == 356);

inline constexpr char kProfileSection[] = "Q407LXPan";
inline constexpr char kConfigEntry[] = "Q407LXConfig";
inline constexpr char kMixerEntry[] = "Q407LXMixer";

// Zero, then the factory defaults; with a device (non-null, units open) the driver and firmware
// versions are read from it.
void makeDefaultConfig(PanelConfig* record, USBDevice* device);
// Brings every field into range; a record of all 0xFF comes out as the defaults' ranges allow.
void validateConfig(PanelConfig* record);
// The record "holds no settings": every byte 0xFF.
void fillInvalid(PanelConfig* record);
// None of the fields the removal path checks holds 0xFFFFFFFF.
bool holdsSettings(const PanelConfig& record);

// Output i fed by client channel i.
void resetOutputMap(MixerSettings* block);
// Every route record's fields 0 to 5 become 0; field 6 keeps its value.
void clearRouteTable(MixerSettings* block);

// Exactly one argument after the program's name, and it is "/default" (case-sensitive).
bool defaultRequested(int argc, const wchar_t* const* argv);

// Zero the record or block, then copy the stored value in when it has exactly the right size;
// whether it did.
bool loadConfig(framework::ProfileStore& profile, PanelConfig* record);
bool loadMixer(framework::ProfileStore& profile, MixerSettings* block);
// Both values, whole; write failures are not reported.
void saveSettings(framework::ProfileStore& profile, const PanelConfig& record,
                  const MixerSettings& block);

}  // namespace q407::panel
