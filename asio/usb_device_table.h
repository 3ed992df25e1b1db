// The table of open handles to the units of the device, as the control panel keeps it too: eight
// handle slots, the count kept, the slot requests go to, a zero word and a reference count (which
// the ASIO driver leaves at zero). Handles take their full width in a 64-bit process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/user/device_access.h"

namespace q407::asio {

inline constexpr int32_t kHandleSlots = 8;

struct USBDevice {
    HANDLE handles[kHandleSlots];
    int32_t count;
    // Written by the host's threads and the notification thread alike.
    std::atomic<int32_t> selected;
    int32_t zero;
    int32_t refCount;
};

static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t));
static_assert(offsetof(USBDevice, count) == kHandleSlots * sizeof(HANDLE));
static_assert(offsetof(USBDevice, selected) == kHandleSlots * sizeof(HANDLE) + 4);
static_assert(offsetof(USBDevice, zero) == kHandleSlots * sizeof(HANDLE) + 8);
static_assert(offsetof(USBDevice, refCount) == kHandleSlots * sizeof(HANDLE) + 12);
static_assert(sizeof(USBDevice) == kHandleSlots * sizeof(HANDLE) + 16);
static_assert(sizeof(HANDLE) != 8 || sizeof(USBDevice) == 80);

// Unit d is reached through slot count - 1 - d; a unit at or beyond the count selects the last
// slot (unit 0).
inline int32_t SlotOfUnit(const USBDevice& table, int32_t unit) {
    if (unit < 0 || unit + 1 > table.count) return table.count - 1;
    return table.count - 1 - unit;
}

}  // namespace q407::asio
