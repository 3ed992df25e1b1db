#include "tools/round_trip_analysis.h"

#include <cstddef>

namespace q407::tools {

ChannelComparison CompareChannel(const std::vector<int32_t>& played,
                                 const std::vector<int32_t>& recorded) {
    ChannelComparison result;
    // The first played sample that is not silence fixes what the first arrival must be.
    size_t lead = 0;
    while (lead < played.size() && played[lead] == 0) ++lead;
    size_t first = 0;
    while (first < recorded.size() && recorded[first] == 0) ++first;
    if (lead == played.size() || first == recorded.size()) return result;
    if (first < lead) {
        // Something arrived before anything could have: it is not our signal.
        result.mismatches = 1;
        result.firstMismatch = static_cast<int64_t>(first);
        result.delayFrames = 0;
        return result;
    }
    const size_t delay = first - lead;
    result.delayFrames = static_cast<int64_t>(delay);
    for (size_t r = delay; r < recorded.size(); ++r) {
        const size_t p = r - delay;
        if (p >= played.size()) {
            // Past the end of what was played the input must be silent again.
            if (recorded[r] != 0) {
                if (result.firstMismatch < 0) result.firstMismatch = static_cast<int64_t>(r);
                ++result.mismatches;
            }
            continue;
        }
        ++result.compared;
        if (recorded[r] != played[p]) {
            if (result.firstMismatch < 0) result.firstMismatch = static_cast<int64_t>(r);
            ++result.mismatches;
        }
    }
    return result;
}

}  // namespace q407::tools

namespace q407::tools {

std::vector<LoopbackCheck> CheckLoopback(const std::vector<long>& inputs,
                                         const std::vector<std::vector<int32_t>>& recorded,
                                         const std::vector<long>& outputs,
                                         const std::vector<std::vector<int32_t>>& played) {
    std::vector<LoopbackCheck> checks;
    for (size_t i = 0; i < inputs.size() && i < recorded.size(); ++i) {
        const long source = inputs[i] % 8;
        for (size_t o = 0; o < outputs.size() && o < played.size(); ++o) {
            if (outputs[o] != source) continue;
            checks.push_back({inputs[i], source, CompareChannel(played[o], recorded[i])});
            break;
        }
    }
    return checks;
}

}  // namespace q407::tools
