// The device interface class under which the USB driver registers its devices, and the one device
// I/O control code that carries a ControlMessage. Plain data so that kernel and user code, and
// code with or without the platform's own GUID type, can all use it.
#pragma once

#include <cstdint>

namespace q407 {

struct DeviceInterfaceGuid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(DeviceInterfaceGuid) == 16);

constexpr bool operator==(const DeviceInterfaceGuid& a, const DeviceInterfaceGuid& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) return false;
    }
    return true;
}

// {CE872CD5-E4FC-4EC5-A992-5BF4D395B350}; also the private query-interface GUID of the link to
// the WDM audio driver.
inline constexpr DeviceInterfaceGuid GUID_DEVINTERFACE_Q407 = {
    0xCE872CD5u, 0xE4FCu, 0x4EC5u, {0xA9u, 0x92u, 0x5Bu, 0xF4u, 0xD3u, 0x95u, 0xB3u, 0x50u}};

// Device type 0x2A, function 0xEEE, buffered, any access.
inline constexpr uint32_t kControlDeviceType = 0x2Au;
inline constexpr uint32_t kControlFunction = 0xEEEu;
inline constexpr uint32_t IOCTL_Q407_CONTROL_MESSAGE =
    (kControlDeviceType << 16) | (0u << 14) | (kControlFunction << 2) | 0u;
static_assert(IOCTL_Q407_CONTROL_MESSAGE == 0x2A3BB8u);

}  // namespace q407
