// Sample conversion between a client's little-endian integer samples and the engine's 32-bit
// samples. The client's bits sit in the most significant bytes of an engine sample: a 2-byte
// sample in the upper 16 bits (the lower 16 are 0 on playback), a 3-byte sample in the upper 24,
// a 4-byte sample in all 32. Recording keeps the upper bytes and drops the rest.
//
// Plain loops over caller-checked counts; nothing allocates or locks (DISPATCH_LEVEL).
#pragma once

#include "platform/kernel/wdk.h"

namespace q407::wdm {

inline constexpr ULONG kEngineSampleBytes = 4;

// count client samples of bytesPerSample (2, 3 or 4) bytes at source into count engine samples.
void ClientToEngine(const UCHAR* source, ULONG bytesPerSample, LONG* destination, ULONG count);

// count engine samples into count client samples of bytesPerSample bytes at destination.
void EngineToClient(const LONG* source, ULONG bytesPerSample, UCHAR* destination, ULONG count);

}  // namespace q407::wdm
