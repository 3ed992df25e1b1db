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

inline std::vector<ConverterSet> AllConverterSets() {
    std::vector<ConverterSet> sets = {
        {"portable", &ConvertCaptureHalfUnitPortable, &ConvertPlaybackUnitPortable},
        {"vectorised", &ConvertCaptureHalfUnitVectorised, &ConvertPlaybackUnitVectorised},
        {"saving", &ConvertCaptureHalfUnitStateSaving, &ConvertPlaybackUnitStateSaving},
        {"sse2", &ConvertCaptureHalfUnitSse2, &ConvertPlaybackUnitSse2},
    };
    if (Avx2Supported()) {
        sets.push_back({"avx2", &ConvertCaptureHalfUnitAvx2, &ConvertPlaybackUnitAvx2});
    }
    for (int32_t mode = 0; mode <= 3; ++mode) {
        const ConversionTable table = BuildConversionTable(mode);
        sets.push_back(
            {"mode" + std::to_string(mode), table.captureConverter, table.playbackConverter});
    }
    return sets;
}

inline void PrintTo(const ConverterSet& set, std::ostream* os) { *os << set.name; }

inline std::string SetName(const testing::TestParamInfo<ConverterSet>& info) {
    return info.param.name;
}

}  // namespace q407::test
