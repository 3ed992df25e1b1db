// Client kinds and stream directions: how the engine, the control protocol and the panel's
// routing views number the parties that exchange audio.
#pragma once

#include <cstdint>

namespace q407 {

// Order matters: it is the order of the engine's channel-mask slots and of the routing table.
enum class ClientKind : int32_t {
    MME = 0,    // WDM wave streams addressed as stereo pairs
    DOLBY = 1,  // the WDM 8-channel playback stream (labelled WDM by the panel)
    ASIO = 2,   // the ASIO client
    INPUT = 3,  // the device's own inputs; a routing source only
};
inline constexpr int32_t kClientKindCount = 4;

enum class Direction : int32_t {
    Output = 0,  // playback, 8 device channels
    Input = 1,   // capture (recording), 16 device channels
};
inline constexpr int32_t kDirectionCount = 2;

inline constexpr int32_t kOutputChannelCount = 8;
inline constexpr int32_t kInputChannelCount = 16;
// Per-kind channel slots are sized for the wider direction.
inline constexpr int32_t kChannelSlotCount = 16;

}  // namespace q407
