// Translation between the engine's interleaved 32-bit frames and the device's bit-sliced units,
// in interchangeable sets with identical results, and the driver-wide table through which the
// pipe completions call the set chosen once for the driver.
//
// Capture unit: 16 frames of 64 bytes. In each frame, byte k (0..23) holds bit 23-k of the 24-bit
// samples of channels 0, 2, .., 14 (bit i for channel 2i); bytes 32+k likewise for channels 1, 3,
// .., 15; bytes 24..31 and 56..63 are ignored. Samples come out left-justified (bits 7..0 zero).
//
// Playback unit: 964 bytes, 20 frames of 48 bytes. In each frame, byte k (0..23) holds bit 31-k
// of channels 0, 2, 4, 6 in bits 0..3, bytes 24+k those of channels 1, 3, 5, 7; bits 7..4 are
// zero. Frames 0..8 start at 0, frames 9..18 at 434, frame 19 at 916; the gap bytes 432, 433,
// 914 and 915 belong to the MIDI and command streams and are never written here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/kernel/wdk.h"

namespace q407 {

inline constexpr size_t kCaptureUnitBytes = 1024;
inline constexpr size_t kCaptureHalfUnitBytes = 512;  // 8 frames of 64 bytes
inline constexpr size_t kCaptureFrameBytes = 64;
inline constexpr size_t kCaptureFramesPerHalfUnit = 8;
inline constexpr size_t kCaptureChannels = 16;

inline constexpr size_t kPlaybackUnitBytes = 964;
inline constexpr size_t kPlaybackUnitFrames = 20;
inline constexpr size_t kPlaybackUnitFrameBytes = 48;  // one frame inside the unit
inline constexpr size_t kPlaybackChannels = 8;
inline constexpr size_t kPlaybackSourceFrameBytes = 32;  // 8 interleaved 32-bit samples
inline constexpr size_t kPlaybackSourceBytes = kPlaybackUnitFrames * kPlaybackSourceFrameBytes;

// Unit offsets of the bytes the playback completion fills after conversion.
inline constexpr size_t kPlaybackMidiByteOffset0 = 432;
inline constexpr size_t kPlaybackCommandByteOffset0 = 433;
inline constexpr size_t kPlaybackMidiByteOffset1 = 914;
inline constexpr size_t kPlaybackCommandByteOffset1 = 915;

// Unit offset of playback frame f (0..19).
constexpr size_t PlaybackFrameOffset(size_t frame) {
    return frame * kPlaybackUnitFrameBytes + (frame >= 9 ? 2 : 0) + (frame >= 19 ? 2 : 0);
}
static_assert(PlaybackFrameOffset(9) == 434 && PlaybackFrameOffset(19) == 916);
static_assert(PlaybackFrameOffset(19) + kPlaybackUnitFrameBytes == kPlaybackUnitBytes);

// One conversion: capture reads 512 unit bytes and writes 8 frames of 16 samples (512 bytes);
// playback reads 20 frames of 8 samples (640 bytes) and writes one 964-byte unit. No alignment is
// required of either pointer. A null pair, source or destination makes the call write nothing.
struct ConversionPair {
    const void* source;
    void* destination;
};

using SampleConverter = void (*)(const ConversionPair* pair);

// Kernel code may use the SSE registers freely; the AVX registers only while their state is
// saved. One area per pipe holds the save around a batch of conversions.
struct ProcessorSaveArea {
    XSTATE_SAVE state;
    BOOLEAN saved;  // the extended state is saved: the batch may use the AVX registers
};
using ProcessorStateHook = void (*)(ProcessorSaveArea* area);

inline constexpr size_t kUnusedConverterSlots = 3;

// The driver-wide routine table. The three unused slots belong to other unit layouts and are
// never called for this device; they hold null.
struct ConversionTable {
    SampleConverter captureConverter;
    SampleConverter playbackConverter;
    ProcessorStateHook saveProcessorState;
    ProcessorStateHook restoreProcessorState;
    SampleConverter unusedConverters[kUnusedConverterSlots];
};

// Implementation modes of SelectConverters.
inline constexpr int32_t kConverterModeDefault = 0;  // as kConverterModeStateSaving
inline constexpr int32_t kConverterModePortable = 1;
inline constexpr int32_t kConverterModeVectorised = 2;
inline constexpr int32_t kConverterModeStateSaving = 3;

// --- The sets, callable directly ---

// Portable: plain bit-by-bit loops; the reference for the others.
void ConvertCaptureHalfUnitPortable(const ConversionPair* pair);
void ConvertPlaybackUnitPortable(const ConversionPair* pair);

// Vectorised within SSE2 (the x86-64 floor, free for kernel code): no state to save.
void ConvertCaptureHalfUnitVectorised(const ConversionPair* pair);
void ConvertPlaybackUnitVectorised(const ConversionPair* pair);

// The variants behind the vectorised sets, callable directly so that every variant this
// processor can run is checked and measured. The AVX2 variants run only with the AVX state saved
// (KeSaveExtendedProcessorState) and fall back to SSE2 where the processor lacks AVX2. Other
// processors get the portable routines under these names.
void ConvertCaptureHalfUnitSse2(const ConversionPair* pair);
void ConvertPlaybackUnitSse2(const ConversionPair* pair);
void ConvertCaptureHalfUnitAvx2(const ConversionPair* pair);
void ConvertPlaybackUnitAvx2(const ConversionPair* pair);
// Asks the kernel (ExIsProcessorFeaturePresent) each time: nothing is cached by a constructor.
bool Avx2Supported();

// The state-saving set: the widest variant the processor offers, for callers that bracket each
// batch with the state hooks below.
void ConvertCaptureHalfUnitStateSaving(const ConversionPair* pair);
void ConvertPlaybackUnitStateSaving(const ConversionPair* pair);

// Hooks: the no-op pair of the sets that need no saved state, and the pair that saves and
// restores the AVX state. A failed save leaves area->saved FALSE and the batch then converts
// within SSE2. A null area is ignored.
void ProcessorStateNoOp(ProcessorSaveArea* area);
void SaveExtendedProcessorState(ProcessorSaveArea* area);
void RestoreExtendedProcessorState(ProcessorSaveArea* area);

// The table for a mode: 1 portable, 2 vectorised, 0 or 3 (and any other value) the state-saving
// set with its hooks where the processor has AVX2, else the vectorised set.
ConversionTable BuildConversionTable(int32_t mode);

// --- The driver-wide table ---

// Fills the driver-wide table for mode once: the first call wins (the driver's entry, or the
// first engine), and later calls leave the table alone, so that a second device never rewrites
// it under the first one's running pipes. TRUE when this call filled it.
BOOLEAN SelectConverters(int32_t mode);
// The current driver-wide table (portable until SelectConverters runs).
const ConversionTable& GetConversionTable();

// Calls through the driver-wide table. A converter that needs the saved state runs only when
// the area's save succeeded; otherwise the SSE2 variant converts.
void ConvertCaptureHalfUnit(const ConversionPair* pair, const ProcessorSaveArea* area);
void ConvertPlaybackUnit(const ConversionPair* pair, const ProcessorSaveArea* area);
void SaveProcessorState(ProcessorSaveArea* area);
void RestoreProcessorState(ProcessorSaveArea* area);

}  // namespace q407
