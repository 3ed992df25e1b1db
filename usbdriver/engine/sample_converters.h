// Translation between the engine's interleaved 32-bit frames and the device's bit-sliced units,
// in three interchangeable sets with identical results, and the driver-wide table through which
// the pipe completions call the set chosen at engine construction.
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
using ProcessorStateHook = void (*)(void* saveArea);

// Save area for the processor's floating-point and vector state: the 512-byte image lives at
// the first 16-byte aligned address inside it, wherever the area itself lies.
inline constexpr size_t kProcessorStateImageBytes = 512;
inline constexpr size_t kProcessorSaveAreaBytes = 528;
struct ProcessorSaveArea {
    uint8_t bytes[kProcessorSaveAreaBytes];
};
static_assert(sizeof(ProcessorSaveArea) == 528);

// The image's address inside an area.
inline void* ProcessorStateImage(void* saveArea) {
    const uintptr_t p = reinterpret_cast<uintptr_t>(saveArea);
    return reinterpret_cast<void*>((p + 15u) & ~static_cast<uintptr_t>(15u));
}

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

// --- The three sets, callable directly ---

// Portable: plain bit-by-bit loops; the reference for the others.
void ConvertCaptureHalfUnitPortable(const ConversionPair* pair);
void ConvertPlaybackUnitPortable(const ConversionPair* pair);

// Vectorised, leaving the floating-point and vector state alone: integer vector operations only,
// never the x87 or MXCSR state, running the widest variant the processor offers.
void ConvertCaptureHalfUnitVectorised(const ConversionPair* pair);
void ConvertPlaybackUnitVectorised(const ConversionPair* pair);

// The variants behind the vectorised sets, callable directly so that every variant this
// processor can run is checked and measured: SSE2 (the x86-64 floor) and AVX2 (only when
// Avx2Supported()). Other processors get the portable routines under these names.
void ConvertCaptureHalfUnitSse2(const ConversionPair* pair);
void ConvertPlaybackUnitSse2(const ConversionPair* pair);
void ConvertCaptureHalfUnitAvx2(const ConversionPair* pair);
void ConvertPlaybackUnitAvx2(const ConversionPair* pair);
bool Avx2Supported();

// Vectorised for callers that save and restore the processor state around each batch. It keeps
// to the registers the 512-byte image covers (SSE2), so the hooks protect all it touches.
void ConvertCaptureHalfUnitStateSaving(const ConversionPair* pair);
void ConvertPlaybackUnitStateSaving(const ConversionPair* pair);

// Hooks: the no-op pair of the portable and vectorised sets, and the full-state pair of the
// state-saving set, which stores and reloads the whole 512-byte floating-point and vector image
// at ProcessorStateImage(saveArea). A null area is ignored.
void ProcessorStateNoOp(void* saveArea);
void SaveProcessorStateFull(void* saveArea);
void RestoreProcessorStateFull(void* saveArea);

// Whether the processor supports the state-saving set (the full-state image).
bool StateSavingSetSupported();

// The table for a mode: 1 portable, 2 vectorised, 0 or 3 (and any other value) the state-saving
// set with its hooks, falling back to vectorised with no-op hooks if the processor cannot save
// its state.
ConversionTable BuildConversionTable(int32_t mode);

// --- The driver-wide table ---

// Fills the driver-wide table once, at engine construction, before any pipe runs.
void SelectConverters(int32_t mode);
// The current driver-wide table (portable until SelectConverters runs).
const ConversionTable& GetConversionTable();

// Calls through the driver-wide table.
void ConvertCaptureHalfUnit(const ConversionPair* pair);
void ConvertPlaybackUnit(const ConversionPair* pair);
void SaveProcessorState(void* saveArea);
void RestoreProcessorState(void* saveArea);

}  // namespace q407
