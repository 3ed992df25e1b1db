// What came back: one recorded channel compared with the signal that was played into its source.
// The delay is where the recording first leaves silence; from there on every recorded sample must
// be the played one that many frames earlier, and before it the recording must be silent.
#pragma once

#include <cstdint>
#include <vector>

namespace q407::tools {

struct ChannelComparison {
    int64_t delayFrames = -1;    // -1: nothing but silence came back
    uint64_t compared = 0;       // samples compared from the delay on
    uint64_t mismatches = 0;     // differing samples, the noise before the delay included
    int64_t firstMismatch = -1;  // recorded frame of the first difference
    bool BitExact() const { return delayFrames >= 0 && compared != 0 && mismatches == 0; }
};

// played: the source's samples from its frame 0; recorded: the input's samples from the frame the
// recording began with, which is frame 0 of the played signal's clock.
ChannelComparison CompareChannel(const std::vector<int32_t>& played,
                                 const std::vector<int32_t>& recorded);

}  // namespace q407::tools

namespace q407::tools {

// One recorded input of a looped-back session against the output that feeds it (input mod 8).
struct LoopbackCheck {
    long input = 0;   // host input channel
    long source = 0;  // host output channel it carries
    ChannelComparison comparison;
};

// For each recorded input whose source output was played: the comparison. Inputs whose source
// was not played are left out.
std::vector<LoopbackCheck> CheckLoopback(const std::vector<long>& inputs,
                                         const std::vector<std::vector<int32_t>>& recorded,
                                         const std::vector<long>& outputs,
                                         const std::vector<std::vector<int32_t>>& played);

}  // namespace q407::tools
