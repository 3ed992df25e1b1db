// The DMA adapter the child device hands out through the standard bus interface. The device has
// no DMA hardware: the port-class driver only needs an adapter to make its common buffer from, so
// this one gives out ordinary non-paged memory. One adapter serves every device of the driver,
// and it remembers the last buffer it gave out.
//
// Every operation may run at DISPATCH_LEVEL or below.
#pragma once

#include "platform/kernel/wdk.h"

namespace q407 {

inline constexpr ULONG kCommonBufferPoolTag = POOL_TAG("Ze11");  // common buffers
inline constexpr ULONG kMapRegisterPoolTag = POOL_TAG("Ze22");   // adapter channel buffers
inline constexpr ULONG kMapRegisterBytes = 4096;                 // one map register's page

// The bus interface's get-DMA-adapter member: the driver's one adapter, whatever the
// description. The map register count, when asked for, is the description's maximum length in
// pages (at least one).
PDMA_ADAPTER GetEmulatedDmaAdapter(PVOID context, PDEVICE_DESCRIPTION description,
                                   PULONG numberOfMapRegisters);

// The buffer the adapter remembers (null when none): what a free-adapter-channel would release.
PVOID EmulatedDmaAdapterLastBuffer();

}  // namespace q407
