#include "sim/device/device_descriptors.h"

namespace q407::sim {

namespace {

constexpr std::uint8_t kVendorClass = 0xFF;

void Put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
    v.push_back(std::uint8_t(x));
    v.push_back(std::uint8_t(x >> 8));
}

}  // namespace

std::vector<EndpointInfo> EndpointsOf(int interfaceNumber, int alternateSetting) {
    if (interfaceNumber == 0 && alternateSetting == 1)
        return {{kPlaybackEndpoint, 3, kPlaybackMaxPacket, 1},
                {kCaptureEndpoint, 3, kCaptureMaxPacket, 1}};
    if (interfaceNumber == 1 && alternateSetting == 0)
        return {{kMidiInEndpoint, 2, kMidiMaxPacket, 0}};
    if (interfaceNumber == 1 && alternateSetting == 1)
        return {{kMidiInEndpoint, 2, kMidiMaxPacket, 0},
                {kMonitorEndpoint, 5, kMonitorMaxPacket, 1}};
    return {};
}

std::vector<std::uint8_t> DeviceDescriptorBytes() {
    std::vector<std::uint8_t> d = {18, 1};
    Put16(d, 0x0200);                  // USB 2.0
    d.insert(d.end(), {0, 0, 0, 64});  // class per interface, EP0 64 bytes
    Put16(d, kVendorId);
    Put16(d, kProductId);
    Put16(d, 0x0103);  // device release
    d.insert(d.end(), {1, 2, 3, 1});
    return d;
}

std::vector<std::uint8_t> ConfigurationDescriptorBytes() {
    std::vector<std::uint8_t> d = {9, 2, 0, 0, kInterfaceCount, kConfigurationValue, 0, 0xC0, 50};
    for (int i = 0; i < kInterfaceCount; ++i) {
        for (int a = 0; a < kAlternateSettings; ++a) {
            auto eps = EndpointsOf(i, a);
            d.insert(d.end(), {9, 4, std::uint8_t(i), std::uint8_t(a), std::uint8_t(eps.size()),
                               kVendorClass, 0, 0, 0});
            for (const EndpointInfo& e : eps) {
                d.insert(d.end(), {7, 5, e.address, e.type});
                Put16(d, e.maxPacket);
                d.push_back(e.interval);
            }
        }
    }
    d[2] = std::uint8_t(d.size());
    d[3] = std::uint8_t(d.size() >> 8);
    return d;
}

std::vector<std::uint8_t> StringDescriptorBytes(std::uint8_t index) {
    static const char* const kStrings[] = {nullptr, "ZEL", "Q407 LX", "Q407LX-000001"};
    if (index == 0) return {4, 3, 0x09, 0x04};
    if (index >= sizeof kStrings / sizeof kStrings[0]) return {};
    std::string s = kStrings[index];
    std::vector<std::uint8_t> d = {std::uint8_t(2 + 2 * s.size()), 3};
    for (char c : s) Put16(d, std::uint8_t(c));
    return d;
}

}  // namespace q407::sim
