// The layout of the 128-byte control message: command classes and types, the byte offsets of
// the parameter fields, and the record itself. Free of hosted library headers, so that kernel code
// includes it directly; shared/control_message.h adds the client-side accessors.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q407 {

inline constexpr uint32_t kControlMessageSize = 128;

enum class ControlClass : uint32_t {
    DeviceServices = 1,
    AsioStreaming = 2,
    SettingsAndPanel = 3,
};

// Class 1. Types 4 and 5 are accepted and do nothing.
enum class DeviceServicesType : uint32_t {
    QueryInterfaceVersion = 1,
    QueryChannelCounts = 6,
    QueryDriverVersion = 7,
    UnloadWdmDriver = 9,
    SendCodecBytes = 10,
    ReadDeviceStatus = 11,
    WriteDeviceControl = 12,
    SetDigitalOptions = 13,
    WriteFirmwareBlock = 14,
};

// Class 2.
enum class AsioStreamingType : uint32_t {
    SetAsioEvent = 1,
    SetSampleRate = 2,
    SetAsioChannelBuffer = 3,
    SetAsioChannels = 4,
    AllocSharedBuffer = 5,
    RunAsioChannels = 7,
    EnableStreaming = 8,
    QueryAsioRunning = 9,
    WriteAsioOutput = 10,
    ReservedQuery = 11,
    MapStatusForAsio = 14,
};

// Class 3. Types 6 and 17..20 are accepted and do nothing.
enum class SettingsAndPanelType : uint32_t {
    ReadSettings = 1,
    WriteSettings = 2,
    MapStatusForPanel = 3,
    SetLatency = 4,
    GetLatency = 5,
    SetPanelEvent = 7,
    ResyncDevice = 8,
    WriteAndSaveSettings = 9,
    QueryAnyChannelOpen = 10,
    SetRemovalEvent = 16,
    StopStreaming = 21,
};

// Byte offsets of the message fields. A parameter offset carries different fields depending on
// the command; each name says which (class.type in the comment). Fields marked u64 hold an
// address or a handle as two 32-bit words, low first; a 32-bit client leaves the high word 0.
namespace cm {
inline constexpr uint32_t kClass = 0;
inline constexpr uint32_t kReserved = 4;
inline constexpr uint32_t kType = 8;

inline constexpr uint32_t kVersionMajor = 12;  // out 1.1, 1.7
inline constexpr uint32_t kMapFlag = 12;       // in 2.14, 3.3: 1 map, other unmap

inline constexpr uint32_t kVersionMinor = 16;     // out 1.1, 1.7
inline constexpr uint32_t kAsioEventHandle = 16;  // in 2.1 (u64)
inline constexpr uint32_t kSettingsAddress = 16;  // in 3.1, 3.2, 3.9 (u64)

inline constexpr uint32_t kStatusAddress = 24;  // out 2.14, 3.3 (u64)

inline constexpr uint32_t kSampleRate = 32;    // in 2.2
inline constexpr uint32_t kVerifyResult = 32;  // out 1.14
inline constexpr uint32_t kMappingKey = 32;    // out 2.14, 3.3 (u64)

inline constexpr uint32_t kDirection = 36;  // in 2.3

inline constexpr uint32_t kChannel = 40;  // in 2.3
inline constexpr uint32_t kLatency = 40;  // in 3.4, out 3.5

inline constexpr uint32_t kHalf = 44;           // in 2.3
inline constexpr uint32_t kForce = 44;          // in 3.4
inline constexpr uint32_t kInputChannels = 44;  // out 1.6

inline constexpr uint32_t kBufferAddress = 48;   // in 2.3 (u64)
inline constexpr uint32_t kOutputChannels = 48;  // out 1.6

inline constexpr uint32_t kCodecByteCount = 52;  // in 1.10

inline constexpr uint32_t kStride = 56;          // in 2.3
inline constexpr uint32_t kFirmwareLength = 56;  // in 1.14

inline constexpr uint32_t kChannelMask = 60;          // in 2.4
inline constexpr uint32_t kFirmwareBlockNumber = 60;  // in 1.14

inline constexpr uint32_t kByteValue = 64;       // in 1.12, 1.13; out 1.11
inline constexpr uint32_t kChannelFlag = 64;     // in 2.4, 2.7 (then the result, out)
inline constexpr uint32_t kEnable = 64;          // in 2.8
inline constexpr uint32_t kAsioRunning = 64;     // out 2.9
inline constexpr uint32_t kReservedResult = 64;  // out 2.11

inline constexpr uint32_t kSharedBufferSize = 68;  // in 2.5

inline constexpr uint32_t kCodecBytesAddress = 72;     // in 1.10 (u64)
inline constexpr uint32_t kSharedBufferVariable = 72;  // in 2.5 (u64)
inline constexpr uint32_t kPanelEventHandle = 72;      // in 3.7 (u64)
inline constexpr uint32_t kRemovalEventHandle = 72;    // in 3.16 (u64)

inline constexpr uint32_t kFirmwareBlockAddress = 80;  // in 1.14 (u64)
inline constexpr uint32_t kAnyChannelOpen = 80;        // out 3.10

inline constexpr uint32_t kOutputMask = 88;  // in 2.7
inline constexpr uint32_t kInputMask = 92;   // in 2.7

inline constexpr uint32_t kSharedBufferKey = 104;  // in 2.3, 2.5 (u64)

inline constexpr uint32_t kOutputHalf = 112;    // in 2.10
inline constexpr uint32_t kOutputEnable = 116;  // in 2.10
}  // namespace cm

// Little-endian words. Parameters are read and written through the accessors below by byte
// offset, because one offset holds different fields for different commands.
struct ControlMessage {
    uint32_t messageClass;  // 0: ControlClass
    uint32_t reserved;      // 4: not read by the driver; clients send 0
    uint32_t type;          // 8: command type within the class
    uint32_t parameters[29];
};

static_assert(sizeof(ControlMessage) == kControlMessageSize);
static_assert(offsetof(ControlMessage, messageClass) == cm::kClass);
static_assert(offsetof(ControlMessage, reserved) == cm::kReserved);
static_assert(offsetof(ControlMessage, type) == cm::kType);
static_assert(offsetof(ControlMessage, parameters) == 12);

}  // namespace q407
