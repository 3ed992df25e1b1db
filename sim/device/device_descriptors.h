// The Q407 LX's descriptors: one configuration with two vendor-specific interfaces.
//
//   interface 0, alternate 0: no endpoints (streaming off)
//   interface 0, alternate 1: 0x05 interrupt OUT (playback, 964-byte units),
//                             0x86 interrupt IN (capture, 1,024-byte units)
//   interface 1, alternate 0: 0x82 bulk IN (MIDI input)
//   interface 1, alternate 1: 0x82 bulk IN and 0x83 isochronous IN (a monitor stream the host
//                             drivers do not use)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace q407::sim {

constexpr std::uint8_t kPlaybackEndpoint = 0x05;
constexpr std::uint8_t kCaptureEndpoint = 0x86;
constexpr std::uint8_t kMidiInEndpoint = 0x82;
constexpr std::uint8_t kMonitorEndpoint = 0x83;  // isochronous
constexpr std::uint16_t kPlaybackMaxPacket = 964;
constexpr std::uint16_t kCaptureMaxPacket = 1024;
constexpr std::uint16_t kMidiMaxPacket = 512;
constexpr std::uint16_t kMonitorMaxPacket = 192;
constexpr std::uint16_t kVendorId = 0xF407;
constexpr std::uint16_t kProductId = 0x0001;
constexpr std::uint8_t kConfigurationValue = 1;
constexpr int kInterfaceCount = 2;
constexpr int kAlternateSettings = 2;

struct EndpointInfo {
    std::uint8_t address;
    std::uint8_t type;  // USB_ENDPOINT_TYPE_*
    std::uint16_t maxPacket;
    std::uint8_t interval;
};

// Endpoints of an alternate setting, in descriptor order.
std::vector<EndpointInfo> EndpointsOf(int interfaceNumber, int alternateSetting);

std::vector<std::uint8_t> DeviceDescriptorBytes();
std::vector<std::uint8_t> ConfigurationDescriptorBytes();
// Index 0 is the language list; 1 manufacturer, 2 product, 3 serial number; empty otherwise.
std::vector<std::uint8_t> StringDescriptorBytes(std::uint8_t index);

}  // namespace q407::sim
