#include <gtest/gtest.h>

#include <array>
#include <cstdlib>

#include "sim/host/processor_state.h"
#include "usbdriver/engine/sample_converters.h"
#include "usbdriver/engine/stream_engine.h"

namespace q407 {
namespace {

// Restores the processor's AVX2 as reported by the kernel when a test ends.
struct HiddenAvx2 {
    HiddenAvx2() { sim::HideProcessorFeature(PF_AVX2_INSTRUCTIONS_AVAILABLE, true); }
    ~HiddenAvx2() { sim::HideProcessorFeature(PF_AVX2_INSTRUCTIONS_AVAILABLE, false); }
};

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

    for (int32_t mode : {kConverterModeDefault, kConverterModeStateSaving}) {
        const ConversionTable saving = BuildConversionTable(mode);
        if (Avx2Supported()) {
            EXPECT_EQ(saving.captureConverter, &ConvertCaptureHalfUnitStateSaving) << mode;
            EXPECT_EQ(saving.playbackConverter, &ConvertPlaybackUnitStateSaving) << mode;
            EXPECT_EQ(saving.saveProcessorState, &SaveExtendedProcessorState) << mode;
            EXPECT_EQ(saving.restoreProcessorState, &RestoreExtendedProcessorState) << mode;
        }
        // Without AVX2 nothing needs saving: the vectorised set with no-op hooks.
        HiddenAvx2 hidden;
        const ConversionTable withoutAvx2 = BuildConversionTable(mode);
        EXPECT_EQ(withoutAvx2.captureConverter, &ConvertCaptureHalfUnitVectorised) << mode;
        EXPECT_EQ(withoutAvx2.saveProcessorState, &ProcessorStateNoOp) << mode;
    }
    for (int32_t mode = 0; mode <= 3; ++mode) {
        const ConversionTable table = BuildConversionTable(mode);
        for (SampleConverter unused : table.unusedConverters) EXPECT_EQ(unused, nullptr);
    }
}

// The driver-wide table is filled by the first selection and never rewritten: a second device's
// engine must not change the routines under the first one's running pipes.
TEST(ConversionTable, TheFirstSelectionStands) {
    (void)SelectConverters(kConverterModeVectorised);
    const ConversionTable chosen = GetConversionTable();
    for (int32_t mode = 0; mode <= 3; ++mode) {
        EXPECT_FALSE(SelectConverters(mode)) << mode;
        EXPECT_EQ(GetConversionTable().captureConverter, chosen.captureConverter) << mode;
        EXPECT_EQ(GetConversionTable().saveProcessorState, chosen.saveProcessorState) << mode;
    }
}

// In a fresh process (the threadsafe death-test style re-runs the binary): the driver's entry
// chooses the portable set, then two engines are constructed as two devices arrive.
TEST(ConversionTableDeathTest, EnginesLeaveTheDriversChoiceAlone) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bool ok = SelectConverters(kConverterModePortable) == TRUE;
            StreamEngine* first = AllocateStreamEngine(nullptr, nullptr, nullptr);
            StreamEngine* second = AllocateStreamEngine(nullptr, nullptr, nullptr);
            ok = ok && first != nullptr && second != nullptr &&
                 GetConversionTable().captureConverter == &ConvertCaptureHalfUnitPortable &&
                 GetConversionTable().saveProcessorState == &ProcessorStateNoOp;
            FreeStreamEngine(first);
            FreeStreamEngine(second);
            std::_Exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(ConversionTable, DispatchConvertsThroughTheTableOrWithinSse2WhenTheSaveFailed) {
    (void)SelectConverters(kConverterModeDefault);
    std::array<uint8_t, 512> unit{};
    unit[32] = 0x02;  // channel 3, top bit
    std::array<uint32_t, 128> frames{};
    const ConversionPair capture = {unit.data(), frames.data()};
    ProcessorSaveArea area{};
    SaveProcessorState(&area);
    ConvertCaptureHalfUnit(&capture, &area);
    RestoreProcessorState(&area);
    EXPECT_EQ(frames[3], 0x80000000u);
    EXPECT_EQ(sim::OpenExtendedStateSaves(), 0);

    // No save (as after a refused one): still converted, and no wider register touched (the
    // emulated kernel would stop the process otherwise).
    std::array<uint32_t, 160> samples{};
    samples[8 * 19 + 7] = 0x40000000u;  // frame 19, channel 7, bit 30
    std::array<uint8_t, 964> out{};
    const ConversionPair playback = {samples.data(), out.data()};
    const ProcessorSaveArea unsaved{};
    ConvertPlaybackUnit(&playback, &unsaved);
    EXPECT_EQ(out[916 + 24 + 1], 0x08);
    out.fill(0);
    ConvertPlaybackUnit(&playback, nullptr);
    EXPECT_EQ(out[916 + 24 + 1], 0x08);
}

TEST(ProcessorState, HooksOpenAndCloseOneSavePerBatch) {
    ProcessorSaveArea area{};
    SaveExtendedProcessorState(&area);
    EXPECT_TRUE(area.saved);
    EXPECT_EQ(sim::OpenExtendedStateSaves(), 1);
    RestoreExtendedProcessorState(&area);
    EXPECT_FALSE(area.saved);
    EXPECT_EQ(sim::OpenExtendedStateSaves(), 0);
    // A second restore, a null area and the no-op hooks change nothing.
    RestoreExtendedProcessorState(&area);
    SaveExtendedProcessorState(nullptr);
    RestoreExtendedProcessorState(nullptr);
    ProcessorStateNoOp(&area);
    EXPECT_FALSE(area.saved);
    EXPECT_EQ(sim::OpenExtendedStateSaves(), 0);
}

// The emulated kernel stops AVX2 code that runs without the state saved, and saves restored out
// of order or on another record.
TEST(ProcessorStateDeathTest, WiderRegistersNeedAnOpenSave) {
    if (!Avx2Supported()) GTEST_SKIP() << "no AVX2 on this processor";
    std::array<uint8_t, 512> unit{};
    std::array<uint32_t, 128> frames{};
    const ConversionPair capture = {unit.data(), frames.data()};
    EXPECT_DEATH(ConvertCaptureHalfUnitAvx2(&capture),
                 "KeCheckExtendedStateSaved: vector registers beyond SSE2");
    std::array<uint32_t, 160> samples{};
    std::array<uint8_t, 964> out{};
    const ConversionPair playback = {samples.data(), out.data()};
    EXPECT_DEATH(ConvertPlaybackUnitStateSaving(&playback), "KeCheckExtendedStateSaved");
    // A save of the legacy state alone does not cover the AVX registers.
    EXPECT_DEATH(
        {
            XSTATE_SAVE legacy{};
            (void)KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &legacy);
            ConvertCaptureHalfUnitAvx2(&capture);
        },
        "KeCheckExtendedStateSaved");
}

TEST(ProcessorStateDeathTest, SavesAreRestoredInReverseOrder) {
    EXPECT_DEATH(
        {
            XSTATE_SAVE outer{};
            XSTATE_SAVE inner{};
            (void)KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer);
            (void)KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner);
            KeRestoreExtendedProcessorState(&outer);
        },
        "KeRestoreExtendedProcessorState: not the most recent open save");
    EXPECT_DEATH(
        {
            XSTATE_SAVE never{};
            KeRestoreExtendedProcessorState(&never);
        },
        "KeRestoreExtendedProcessorState: no matching KeSaveExtendedProcessorState");
}

}  // namespace
}  // namespace q407
