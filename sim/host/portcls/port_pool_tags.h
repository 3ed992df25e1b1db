// Pool tags of the wave-PCI and DirectMusic ports, so that a leak report names the port that
// left the memory behind.
#pragma once

#include "platform/kernel/wdk.h"

namespace q407::sim::portcls {

inline constexpr ULONG kWavePciPoolTag = POOL_TAG("ZPwp");       // wave-PCI port, pins, DMA channel
inline constexpr ULONG kClientBufferPoolTag = POOL_TAG("ZPcb");  // pins' client buffers
inline constexpr ULONG kDmusPoolTag = POOL_TAG("ZPdm");  // DirectMusic port, allocator, pins

}  // namespace q407::sim::portcls
