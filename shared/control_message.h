// The 128-byte command record that the control panel and the ASIO driver send to the USB driver
// with the control I/O request, and get back with the results written in place.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "shared/control_message_fields.h"

namespace q407 {

// The message is little-endian on the wire; the accessors copy words as they are in memory.
static_assert(std::endian::native == std::endian::little);

namespace control_message_detail {
// Offsets come from clients: compared without adding to them, so that none wraps into range.
inline constexpr bool IsWordOffset(uint32_t offset) {
    return offset % 4 == 0 && offset <= kControlMessageSize - 4;
}
inline constexpr bool IsQuadOffset(uint32_t offset) {
    return offset % 4 == 0 && offset <= kControlMessageSize - 8;
}
// Every u64 field sits on an 8-byte boundary.
static_assert(cm::kAsioEventHandle % 8 == 0 && cm::kStatusAddress % 8 == 0 &&
              cm::kMappingKey % 8 == 0 && cm::kBufferAddress % 8 == 0 &&
              cm::kCodecBytesAddress % 8 == 0 && cm::kFirmwareBlockAddress % 8 == 0 &&
              cm::kSharedBufferKey % 8 == 0);
static_assert(IsWordOffset(cm::kOutputEnable) && IsQuadOffset(cm::kSharedBufferKey));
}  // namespace control_message_detail

// The word at a byte offset (a multiple of 4 below 128); the whole message counts, header too.
// An offset outside the message reads 0 and writes nothing.
inline uint32_t GetU32(const ControlMessage& m, uint32_t offset) {
    if (!control_message_detail::IsWordOffset(offset)) return 0;
    uint32_t value;
    std::memcpy(&value, reinterpret_cast<const unsigned char*>(&m) + offset, sizeof(value));
    return value;
}
inline void SetU32(ControlMessage& m, uint32_t offset, uint32_t value) {
    if (!control_message_detail::IsWordOffset(offset)) return;
    std::memcpy(reinterpret_cast<unsigned char*>(&m) + offset, &value, sizeof(value));
}
inline uint64_t GetU64(const ControlMessage& m, uint32_t offset) {
    if (!control_message_detail::IsQuadOffset(offset)) return 0;
    return static_cast<uint64_t>(GetU32(m, offset)) |
           (static_cast<uint64_t>(GetU32(m, offset + 4)) << 32);
}
inline void SetU64(ControlMessage& m, uint32_t offset, uint64_t value) {
    if (!control_message_detail::IsQuadOffset(offset)) return;
    SetU32(m, offset, static_cast<uint32_t>(value));
    SetU32(m, offset + 4, static_cast<uint32_t>(value >> 32));
}
// Byte fields are taken from the first byte of their 32-bit slot.
inline uint8_t GetU8(const ControlMessage& m, uint32_t offset) {
    return static_cast<uint8_t>(GetU32(m, offset) & 0xFFu);
}

// A zeroed message with its header filled, as clients build them.
inline ControlMessage MakeControlMessage(ControlClass messageClass, uint32_t type) {
    ControlMessage m{};
    m.messageClass = static_cast<uint32_t>(messageClass);
    m.type = type;
    return m;
}
inline ControlMessage MakeControlMessage(DeviceServicesType type) {
    return MakeControlMessage(ControlClass::DeviceServices, static_cast<uint32_t>(type));
}
inline ControlMessage MakeControlMessage(AsioStreamingType type) {
    return MakeControlMessage(ControlClass::AsioStreaming, static_cast<uint32_t>(type));
}
inline ControlMessage MakeControlMessage(SettingsAndPanelType type) {
    return MakeControlMessage(ControlClass::SettingsAndPanel, static_cast<uint32_t>(type));
}

}  // namespace q407
