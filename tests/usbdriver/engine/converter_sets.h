// Every converter implementation this processor can run, by name, for tests that must hold for
// all of them.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "usbdriver/engine/sample_converters.h"

namespace q407::test {

struct ConverterSet {
    std::string name;
    SampleConverter capture;
    SampleConverter playback;
};

// A converter that may use the AVX registers runs inside a saved extended state, as the pipe
// completions run it.
template <SampleConverter Convert>
void WithSavedState(const ConversionPair* pair) {
    ProcessorSaveArea area{};
    SaveExtendedProcessorState(&area);
    Convert(pair);
    RestoreExtendedProcessorState(&area);
}

// A mode's table as the completions use it: its hooks around its converter.
template <int32_t Mode, bool Capture>
void ThroughTable(const ConversionPair* pair) {
    const ConversionTable table = BuildConversionTable(Mode);
    ProcessorSaveArea area{};
    table.saveProcessorState(&area);
    (Capture ? table.captureConverter : table.playbackConverter)(pair);
    table.restoreProcessorState(&area);
}

template <int32_t Mode>
ConverterSet ModeSet() {
    return {"mode" + std::to_string(Mode), &ThroughTable<Mode, true>, &ThroughTable<Mode, false>};
}

inline std::vector<ConverterSet> AllConverterSets() {
    std::vector<ConverterSet> sets = {
        {"portable", &ConvertCaptureHalfUnitPortable, &ConvertPlaybackUnitPortable},
        {"vectorised", &ConvertCaptureHalfUnitVectorised, &ConvertPlaybackUnitVectorised},
        {"saving", &WithSavedState<&ConvertCaptureHalfUnitStateSaving>,
         &WithSavedState<&ConvertPlaybackUnitStateSaving>},
        {"sse2", &ConvertCaptureHalfUnitSse2, &ConvertPlaybackUnitSse2},
    };
    if (Avx2Supported()) {
        sets.push_back({"avx2", &WithSavedState<&ConvertCaptureHalfUnitAvx2>,
                        &WithSavedState<&ConvertPlaybackUnitAvx2>});
    }
    sets.push_back(ModeSet<0>());
    sets.push_back(ModeSet<1>());
    sets.push_back(ModeSet<2>());
    sets.push_back(ModeSet<3>());
    return sets;
}

inline void PrintTo(const ConverterSet& set, std::ostream* os) { *os << set.name; }

inline std::string SetName(const testing::TestParamInfo<ConverterSet>& info) {
    return info.param.name;
}

}  // namespace q407::test
