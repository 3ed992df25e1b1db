#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <array>
#include <cstring>

#include "usbdriver/engine/sample_converters.h"

namespace q407 {
namespace {

TEST(ConversionTable, EachModeSelectsItsSetAndHooks) {
    const ConversionTable portable = BuildConversionTable(kConverterModePortable);
    EXPECT_EQ(portable.captureConverter, &ConvertCaptureHalfUnitPortable);
    EXPECT_EQ(portable.playbackConverter, &ConvertPlaybackUnitPortable);
    EXPECT_EQ(portable.saveProcessorState, &ProcessorStateNoOp);
    EXPECT_EQ(portable.restoreProcessorState, &ProcessorStateNoOp);

    const ConversionTable vectorised = BuildConversionTable(kConverterModeVectorised);
    EXPECT_EQ(vectorised.captureConverter, &ConvertCaptureHalfUnitVectorised);
    EXPECT_EQ(vectorised.playbackConverter, &ConvertPlaybackUnitVectorised);
    EXPECT_EQ(vectorised.saveProcessorState, &ProcessorStateNoOp);
    EXPECT_EQ(vectorised.restoreProcessorState, &ProcessorStateNoOp);

    ASSERT_TRUE(StateSavingSetSupported());
    for (int32_t mode : {kConverterModeDefault, kConverterModeStateSaving}) {
        const ConversionTable saving = BuildConversionTable(mode);
        EXPECT_EQ(saving.captureConverter, &ConvertCaptureHalfUnitStateSaving) << mode;
        EXPECT_EQ(saving.playbackConverter, &ConvertPlaybackUnitStateSaving) << mode;
        EXPECT_EQ(saving.saveProcessorState, &SaveProcessorStateFull) << mode;
        EXPECT_EQ(saving.restoreProcessorState, &RestoreProcessorStateFull) << mode;
    }
    for (int32_t mode = 0; mode <= 3; ++mode) {
        const ConversionTable table = BuildConversionTable(mode);
        for (SampleConverter unused : table.unusedConverters) EXPECT_EQ(unused, nullptr);
    }
}

TEST(ConversionTable, DriverWideTableFollowsSelectConverters) {
    SelectConverters(kConverterModePortable);
    EXPECT_EQ(GetConversionTable().captureConverter, &ConvertCaptureHalfUnitPortable);
    SelectConverters(kConverterModeDefault);
    EXPECT_EQ(GetConversionTable().captureConverter, &ConvertCaptureHalfUnitStateSaving);
    EXPECT_EQ(GetConversionTable().saveProcessorState, &SaveProcessorStateFull);

    // The dispatching entry points go through the table.
    std::array<uint8_t, 512> unit{};
    unit[32] = 0x02;  // channel 3, top bit
    std::array<uint32_t, 128> frames{};
    const ConversionPair capture = {unit.data(), frames.data()};
    alignas(16) ProcessorSaveArea area{};
    SaveProcessorState(&area);
    ConvertCaptureHalfUnit(&capture);
    RestoreProcessorState(&area);
    EXPECT_EQ(frames[3], 0x80000000u);

    std::array<uint32_t, 160> samples{};
    samples[8 * 19 + 7] = 0x40000000u;  // frame 19, channel 7, bit 30
    std::array<uint8_t, 964> out{};
    const ConversionPair playback = {samples.data(), out.data()};
    ConvertPlaybackUnit(&playback);
    EXPECT_EQ(out[916 + 24 + 1], 0x08);
}

// The image sits at the first 16-byte aligned address of the area, wherever the area starts,
// and nothing of the area outside the 512 bytes is written.
TEST(ProcessorState, SaveWritesOnlyTheAlignedImage) {
    alignas(16) std::array<uint8_t, 528 + 32> memory;
    for (size_t shift = 0; shift < 16; ++shift) {
        memory.fill(0xC3);
        uint8_t* area = memory.data() + shift;
        SaveProcessorStateFull(area);
        const size_t imageStart = (16 - shift) % 16;
        EXPECT_EQ(ProcessorStateImage(area), area + imageStart);
        for (size_t i = 0; i < memory.size(); ++i) {
            const size_t at = i - shift;  // position inside the area (wraps below it)
            if (i >= shift && at >= imageStart && at < imageStart + 512) continue;
            ASSERT_EQ(memory[i], 0xC3) << "shift " << shift << " byte " << i;
        }
        // The image holds a valid MXCSR at its offset 24 (the default has all exceptions
        // masked).
        uint32_t mxcsr = 0;
        std::memcpy(&mxcsr, area + imageStart + 24, sizeof(mxcsr));
        EXPECT_EQ(mxcsr, _mm_getcsr()) << shift;
        RestoreProcessorStateFull(area);
    }
}

TEST(ProcessorState, RestoreBringsBackTheSavedVectorControlState) {
    ProcessorSaveArea area;
    const unsigned int original = _mm_getcsr();
    SaveProcessorStateFull(&area);
    // Round toward zero, flush denormals: a state the interrupted context never had.
    _mm_setcsr((original & ~0x6000u) | 0x6000u | 0x8000u);
    ASSERT_NE(_mm_getcsr(), original);
    RestoreProcessorStateFull(&area);
    EXPECT_EQ(_mm_getcsr(), original);
}

TEST(ProcessorState, NoOpHooksAndNullAreasLeaveTheStateAlone) {
    const unsigned int original = _mm_getcsr();
    ProcessorSaveArea area;
    std::memset(&area, 0x77, sizeof(area));
    ProcessorStateNoOp(&area);
    SaveProcessorStateFull(nullptr);
    RestoreProcessorStateFull(nullptr);
    for (uint8_t b : area.bytes) ASSERT_EQ(b, 0x77);
    EXPECT_EQ(_mm_getcsr(), original);
}

}  // namespace
}  // namespace q407
