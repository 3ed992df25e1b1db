// Which client playback channel feeds each device output.
#pragma once

#include <cstdint>

#include "client_kinds.h"

namespace q407 {

// Entry j names the client channel (0..7) that feeds device output j; an entry of 8 or more is
// replaced by j when the engine adopts a settings block.
struct OutputMap {
    int32_t entries[kOutputChannelCount];
};
static_assert(sizeof(OutputMap) == 32);

}  // namespace q407
