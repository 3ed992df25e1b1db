// Who the driver is to hosts and to the USB driver: its class identifier, names, version, the
// sample rates it offers and the room it asks for per unit.
#pragma once

#include <cstdint>

#include "platform/com/com_base.h"

namespace q407::asio {

// {B69E18CC-1804-46D6-9B80-EBD55B02A267}; hosts also ask for it as the interface identifier.
inline constexpr CLSID kDriverClassId = {
    0xB69E18CCu, 0x1804u, 0x46D6u, {0x9Bu, 0x80u, 0xEBu, 0xD5u, 0x5Bu, 0x02u, 0xA2u, 0x67u}};

inline constexpr char kDriverName[] = "ZEL Q407LX ASIO DRIVER";
inline constexpr long kDriverVersion = 2;
inline constexpr char kClockSourceName[] = "ZEL Q407LX Clock";
inline constexpr char kDeviceName[] = "ZEL Q407LX";
inline constexpr char kOpenFailsText[] = "ASIO Open Fails";
// The number is the requested rate in whole kHz, as the unit in the text says.
inline constexpr char kRateChangeFailsFormat[] =
    "Sample Rate Can't cahnge to %dKhz\nPlease setup by audio panel";
inline constexpr char kConstructionTrace[] = "AsioDirectSound 32 Bit\n";

inline constexpr double kSampleRates[] = {44100.0, 48000.0, 88200.0, 96000.0};
inline constexpr double kInitialSampleRate = 44100.0;

// Channels per unit.
inline constexpr int32_t kInputsPerUnit = 16;
inline constexpr int32_t kOutputsPerUnit = 8;
// The channel tables hold 64 active channels a direction: four units fill the inputs' table, so
// at most four units are offered (further units are left closed).
inline constexpr int32_t kMaxActiveChannels = 64;
inline constexpr int32_t kMaxUnits = kMaxActiveChannels / kInputsPerUnit;

// 24 channels x 2 halves x 1024 frames x 4 bytes per unit.
inline constexpr uint32_t kSharedBufferBytesPerUnit = 0x30000;

// Room the USB driver's settings block is read into (it copies 1,868 bytes).
inline constexpr uint32_t kSettingsAreaBytes = 1872;
inline constexpr int32_t kDefaultUsbBufferCount = 5;

}  // namespace q407::asio
