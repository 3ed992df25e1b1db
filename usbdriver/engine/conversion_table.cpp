// The driver-wide conversion table. It is filled once, before any pipe runs, and only read
// afterwards, so readers need no lock.
#include "usbdriver/engine/sample_converters.h"

namespace q407 {
namespace {

constexpr ConversionTable kPortableTable = {&ConvertCaptureHalfUnitPortable,
                                            &ConvertPlaybackUnitPortable,
                                            &ProcessorStateNoOp,
                                            &ProcessorStateNoOp,
                                            {nullptr, nullptr, nullptr}};

constexpr LONG kTableUnselected = 0;
constexpr LONG kTableFilling = 1;
constexpr LONG kTableSelected = 2;

ConversionTable g_ConversionTable = kPortableTable;
volatile LONG g_TableState = kTableUnselected;

bool NeedsSavedState(const ConversionTable& table) {
    return table.saveProcessorState == &SaveExtendedProcessorState;
}

}  // namespace

ConversionTable BuildConversionTable(int32_t mode) {
    switch (mode) {
        case kConverterModePortable:
            return kPortableTable;
        case kConverterModeVectorised:
            return {&ConvertCaptureHalfUnitVectorised,
                    &ConvertPlaybackUnitVectorised,
                    &ProcessorStateNoOp,
                    &ProcessorStateNoOp,
                    {nullptr, nullptr, nullptr}};
        default:
            if (!Avx2Supported()) return BuildConversionTable(kConverterModeVectorised);
            return {&ConvertCaptureHalfUnitStateSaving,
                    &ConvertPlaybackUnitStateSaving,
                    &SaveExtendedProcessorState,
                    &RestoreExtendedProcessorState,
                    {nullptr, nullptr, nullptr}};
    }
}

BOOLEAN SelectConverters(int32_t mode) {
    if (InterlockedCompareExchange(&g_TableState, kTableFilling, kTableUnselected) !=
        kTableUnselected) {
        // Another caller fills it: wait the few instructions until it is complete.
        while (ReadAcquire(&g_TableState) != kTableSelected) {
        }
        return FALSE;
    }
    g_ConversionTable = BuildConversionTable(mode);
    WriteRelease(&g_TableState, kTableSelected);
    return TRUE;
}

const ConversionTable& GetConversionTable() {
    return g_ConversionTable;
}

void ConvertCaptureHalfUnit(const ConversionPair* pair, const ProcessorSaveArea* area) {
    const bool stateReady = !NeedsSavedState(g_ConversionTable) || (area != nullptr && area->saved);
    (stateReady ? g_ConversionTable.captureConverter : &ConvertCaptureHalfUnitSse2)(pair);
}

void ConvertPlaybackUnit(const ConversionPair* pair, const ProcessorSaveArea* area) {
    const bool stateReady = !NeedsSavedState(g_ConversionTable) || (area != nullptr && area->saved);
    (stateReady ? g_ConversionTable.playbackConverter : &ConvertPlaybackUnitSse2)(pair);
}

void SaveProcessorState(ProcessorSaveArea* area) {
    g_ConversionTable.saveProcessorState(area);
}

void RestoreProcessorState(ProcessorSaveArea* area) {
    g_ConversionTable.restoreProcessorState(area);
}

}  // namespace q407
