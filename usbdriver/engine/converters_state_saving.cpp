// The state-saving set: the AVX2 converters where the processor has them, bracketed by the
// caller with hooks that save and restore the AVX state through the kernel.
#include "usbdriver/engine/sample_converters.h"

namespace q407 {

void ProcessorStateNoOp(ProcessorSaveArea* area) {
    UNREFERENCED_PARAMETER(area);
}

void SaveExtendedProcessorState(ProcessorSaveArea* area) {
    if (area == nullptr) return;
    // A refused save is not an error of the stream: the batch then converts within SSE2, which
    // needs no saved state (the table's dispatch checks area->saved).
    area->saved =
        NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &area->state)) ? TRUE : FALSE;
}

void RestoreExtendedProcessorState(ProcessorSaveArea* area) {
    if (area == nullptr || !area->saved) return;
    KeRestoreExtendedProcessorState(&area->state);
    area->saved = FALSE;
}

void ConvertCaptureHalfUnitStateSaving(const ConversionPair* pair) {
    ConvertCaptureHalfUnitAvx2(pair);
}

void ConvertPlaybackUnitStateSaving(const ConversionPair* pair) {
    ConvertPlaybackUnitAvx2(pair);
}

}  // namespace q407
