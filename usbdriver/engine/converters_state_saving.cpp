// The state-saving set: the SSE2 converters, bracketed by the caller with hooks that store and
// reload the whole legacy floating-point and vector image (x87, MXCSR, XMM0..15). The converters
// keep to what that image covers.
#include "usbdriver/engine/sample_converters.h"

namespace q407 {
namespace {

struct alignas(16) ProcessorStateImageBytes {
    uint8_t bytes[kProcessorStateImageBytes];
};

}  // namespace

void ProcessorStateNoOp(void* saveArea) {
    static_cast<void>(saveArea);
}

#if defined(__x86_64__)

bool StateSavingSetSupported() {
    return true;
}  // FXSAVE is part of the x86-64 baseline

void SaveProcessorStateFull(void* saveArea) {
    if (saveArea == nullptr) return;
    auto* image = static_cast<ProcessorStateImageBytes*>(ProcessorStateImage(saveArea));
    __asm__ volatile("fxsave64 %0" : "=m"(*image));
}

void RestoreProcessorStateFull(void* saveArea) {
    if (saveArea == nullptr) return;
    const auto* image = static_cast<const ProcessorStateImageBytes*>(ProcessorStateImage(saveArea));
    // Every vector register is reloaded behind the compiler's back.
    __asm__ volatile("fxrstor64 %0"
                     :
                     : "m"(*image)
                     : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
                       "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "memory");
}

#else

bool StateSavingSetSupported() {
    return false;
}
void SaveProcessorStateFull(void* saveArea) {
    static_cast<void>(saveArea);
}
void RestoreProcessorStateFull(void* saveArea) {
    static_cast<void>(saveArea);
}

#endif

void ConvertCaptureHalfUnitStateSaving(const ConversionPair* pair) {
    ConvertCaptureHalfUnitSse2(pair);
}

void ConvertPlaybackUnitStateSaving(const ConversionPair* pair) {
    ConvertPlaybackUnitSse2(pair);
}

}  // namespace q407
