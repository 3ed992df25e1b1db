// Pool tags of the device-control side of the USB driver; the pool itself is the driver's choice.
#pragma once

#include "platform/kernel/wdk.h"
#include "usbdriver/driver_pool.h"

namespace q407 {

inline constexpr ULONG kFacadePoolTag = POOL_TAG("Zel9");        // DeviceFacade
inline constexpr ULONG kSharedBufferPoolTag = POOL_TAG("Zel2");  // SharedBuffer and its memory
// The child device's identifiers and relation lists, power request contexts.
inline constexpr ULONG kChildPoolTag = POOL_TAG("Zel3");

}  // namespace q407
