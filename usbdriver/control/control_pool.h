// Pool types and tags of the device-control side of the USB driver, kept in one place so that the
// driver's choice of pool applies to every allocation here.
#pragma once

#include "platform/kernel/wdk.h"

namespace q407 {

inline constexpr POOL_TYPE kControlPoolType = NonPagedPoolNx;
inline constexpr ULONG kFacadePoolTag = POOL_TAG("Zel9");        // DeviceFacade
inline constexpr ULONG kSharedBufferPoolTag = POOL_TAG("Zel2");  // SharedBuffer and its memory

}  // namespace q407
