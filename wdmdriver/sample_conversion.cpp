// Sample conversion between client and engine samples.
#include "wdmdriver/sample_conversion.h"

namespace q407::wdm {

void ClientToEngine(const UCHAR* source, ULONG bytesPerSample, LONG* destination, ULONG count) {
    if (bytesPerSample == 0 || bytesPerSample > kEngineSampleBytes) return;
    const ULONG shift = 8 * (kEngineSampleBytes - bytesPerSample);
    for (ULONG i = 0; i < count; ++i) {
        ULONG value = 0;
        for (ULONG b = 0; b < bytesPerSample; ++b)
            value |= static_cast<ULONG>(source[b]) << (shift + 8 * b);
        destination[i] = static_cast<LONG>(value);
        source += bytesPerSample;
    }
}

void EngineToClient(const LONG* source, ULONG bytesPerSample, UCHAR* destination, ULONG count) {
    if (bytesPerSample == 0 || bytesPerSample > kEngineSampleBytes) return;
    const ULONG shift = 8 * (kEngineSampleBytes - bytesPerSample);
    for (ULONG i = 0; i < count; ++i) {
        const ULONG value = static_cast<ULONG>(source[i]);
        for (ULONG b = 0; b < bytesPerSample; ++b)
            destination[b] = static_cast<UCHAR>(value >> (shift + 8 * b));
        destination += bytesPerSample;
    }
}

}  // namespace q407::wdm
