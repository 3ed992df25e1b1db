// The driver-wide conversion table. It is written once by the engine's constructor, before any
// pipe runs, and only read afterwards, so it needs no lock.
#include "usbdriver/engine/sample_converters.h"

namespace q407 {
namespace {

constexpr ConversionTable kPortableTable = {&ConvertCaptureHalfUnitPortable,
                                            &ConvertPlaybackUnitPortable,
                                            &ProcessorStateNoOp,
                                            &ProcessorStateNoOp,
                                            {nullptr, nullptr, nullptr}};

ConversionTable g_ConversionTable = kPortableTable;

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
            if (!StateSavingSetSupported()) return BuildConversionTable(kConverterModeVectorised);
            return {&ConvertCaptureHalfUnitStateSaving,
                    &ConvertPlaybackUnitStateSaving,
                    &SaveProcessorStateFull,
                    &RestoreProcessorStateFull,
                    {nullptr, nullptr, nullptr}};
    }
}

void SelectConverters(int32_t mode) {
    g_ConversionTable = BuildConversionTable(mode);
}

const ConversionTable& GetConversionTable() {
    return g_ConversionTable;
}

void ConvertCaptureHalfUnit(const ConversionPair* pair) {
    g_ConversionTable.captureConverter(pair);
}

void ConvertPlaybackUnit(const ConversionPair* pair) {
    g_ConversionTable.playbackConverter(pair);
}

void SaveProcessorState(void* saveArea) {
    g_ConversionTable.saveProcessorState(saveArea);
}

void RestoreProcessorState(void* saveArea) {
    g_ConversionTable.restoreProcessorState(saveArea);
}

}  // namespace q407
