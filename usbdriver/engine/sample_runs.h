// Runs of 32-bit samples spaced by a stride: how the audio paths address one channel inside
// interleaved frames, whether the frames sit in a ring (one or two regions) or in a client's
// buffer. Copies and sums between runs never touch more than the runs describe.
#pragma once

#include <cstdint>

namespace q407 {

struct SampleRun {
    int32_t* samples;  // null when count is 0
    uint32_t stride;   // in samples
    uint32_t count;    // samples
};

// At most two runs, read in order.
struct SampleRuns {
    SampleRun run[2];
    uint32_t Total() const { return run[0].count + run[1].count; }
};

inline SampleRuns SingleRun(int32_t* samples, uint32_t stride, uint32_t count) {
    SampleRuns runs{};
    if (samples != nullptr && count != 0) runs.run[0] = {samples, stride, count};
    return runs;
}

// Channel `channel` (0 .. channels-1) of interleaved frames held in two regions as a ring's region
// query returns them: firstCount elements at first, then secondCount elements at second, the
// first element being channel 0 of a frame. A frame may be split between the regions (rings whose
// size is not a multiple of the channel count); every sample of the channel in either region is
// found, and none outside them.
SampleRuns InterleavedChannelRuns(void* first, int32_t firstCount, void* second,
                                  int32_t secondCount, int32_t channels, int32_t channel);

enum class RunMode {
    Copy,  // destination := source; destination samples beyond the source become 0
    Add,   // destination := saturating sum; destination samples beyond the source stay
};

// Moves count samples (at most what the destination runs hold) from source to destination, in
// order.
void TransferRuns(const SampleRuns& source, const SampleRuns& destination, uint32_t count,
                  RunMode mode);
// Sets count samples of the destination runs (at most what they hold) to 0.
void ZeroRuns(const SampleRuns& destination, uint32_t count);

}  // namespace q407
