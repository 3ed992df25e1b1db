// The engine's 1,868-byte settings block: kept by the USB driver as a registry binary value, read
// and written whole by the control panel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "output_map.h"
#include "route_record.h"

namespace q407 {

inline constexpr int32_t kDeviceInfoByteCount = 3;

// 32-bit little-endian integers unless stated.
struct MixerSettings {
    int32_t sampleRate;      // 0: Hz
    int32_t latency;         // 4: L in frames
    int32_t usbBufferCount;  // 8: n
    int32_t unused12;        // 12
    int32_t autoClock;       // 16: 1 = clock follows the digital input, 0 = internal (bit 7 of
                             //     the digital options)
    int32_t spdifInput;      // 20: inputs 15/16 from 1 = S/PDIF, 0 = analog (bit 0 of the
                             //     digital options)
    int32_t unused24;        // 24
    int32_t unused28[3];     // 28..39
    uint8_t deviceInfo[kDeviceInfoByteCount];  // 40..42: refreshed from the device
    uint8_t unused43;                          // 43
    OutputMap outputMap;                       // 44..75
    RouteTable routeTable;                     // 76..1867
};

static_assert(sizeof(MixerSettings) == 1868);
static_assert(offsetof(MixerSettings, sampleRate) == 0);
static_assert(offsetof(MixerSettings, latency) == 4);
static_assert(offsetof(MixerSettings, usbBufferCount) == 8);
static_assert(offsetof(MixerSettings, unused12) == 12);
static_assert(offsetof(MixerSettings, autoClock) == 16);
static_assert(offsetof(MixerSettings, spdifInput) == 20);
static_assert(offsetof(MixerSettings, unused24) == 24);
static_assert(offsetof(MixerSettings, unused28) == 28);
static_assert(offsetof(MixerSettings, deviceInfo) == 40);
static_assert(offsetof(MixerSettings, unused43) == 43);
static_assert(offsetof(MixerSettings, outputMap) == 44);
static_assert(offsetof(MixerSettings, routeTable) == 76);

inline constexpr uint32_t kMixerSettingsSize = sizeof(MixerSettings);
inline constexpr uint32_t kOutputMapOffset = offsetof(MixerSettings, outputMap);
inline constexpr uint32_t kRouteTableOffset = offsetof(MixerSettings, routeTable);

// The engine's block before any stored value is applied.
constexpr MixerSettings DefaultMixerSettings() {
    MixerSettings s{};
    s.sampleRate = 44100;
    s.latency = 256;
    s.usbBufferCount = 4;
    s.unused12 = 1;
    s.autoClock = 0;
    s.spdifInput = 0;
    s.unused24 = 1;
    for (int32_t j = 0; j < kOutputChannelCount; ++j) s.outputMap.entries[j] = j;
    return s;
}

}  // namespace q407
