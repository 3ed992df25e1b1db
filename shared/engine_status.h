// The engine's 96-byte status record. It lives at the end of the engine's shared block and is
// mapped into the panel's and the ASIO host's processes, so its layout is an external format.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q407 {

inline constexpr int32_t kPeakMeterCount = 16;

// Little-endian. Offset 0x30 once held the record's own kernel address; the record is mapped into
// client processes, so it is written as 0 (no client reads it) and kept only to hold the layout.
struct EngineStatus {
    uint32_t latency;         // 0x00: L in frames (ASIO buffer size), 32..1024
    uint32_t lastInputHalf;   // 0x04: input half most recently completed, 0 or 1
    uint32_t sampleRate;      // 0x08: 44100, 48000, 88200 or 96000
    uint32_t initialised;     // 0x0C: 0 once the engine is initialised
    uint32_t errorCounter;    // 0x10: ASIO path reported as not running while 10 or more
    uint32_t usbBufferCount;  // 0x14: n, 2..5
    uint8_t unused18[16];     // 0x18
    uint32_t statusWord;      // 0x28: bits per sample of the last WDM stream format
    uint32_t unused2C;        // 0x2C
    uint32_t unused30;        // 0x30: always 0
    uint32_t unused34;        // 0x34: always 0
    uint8_t unused38[8];      // 0x38
    uint8_t outputPeak[kPeakMeterCount];  // 0x40: output peak per channel
    uint8_t inputPeak[kPeakMeterCount];   // 0x50: input peak per channel
};

static_assert(sizeof(EngineStatus) == 96);
static_assert(offsetof(EngineStatus, latency) == 0x00);
static_assert(offsetof(EngineStatus, lastInputHalf) == 0x04);
static_assert(offsetof(EngineStatus, sampleRate) == 0x08);
static_assert(offsetof(EngineStatus, initialised) == 0x0C);
static_assert(offsetof(EngineStatus, errorCounter) == 0x10);
static_assert(offsetof(EngineStatus, usbBufferCount) == 0x14);
static_assert(offsetof(EngineStatus, unused18) == 0x18);
static_assert(offsetof(EngineStatus, statusWord) == 0x28);
static_assert(offsetof(EngineStatus, unused2C) == 0x2C);
static_assert(offsetof(EngineStatus, unused30) == 0x30);
static_assert(offsetof(EngineStatus, unused34) == 0x34);
static_assert(offsetof(EngineStatus, unused38) == 0x38);
static_assert(offsetof(EngineStatus, outputPeak) == 0x40);
static_assert(offsetof(EngineStatus, inputPeak) == 0x50);

inline constexpr uint32_t kEngineStatusSize = sizeof(EngineStatus);

}  // namespace q407
