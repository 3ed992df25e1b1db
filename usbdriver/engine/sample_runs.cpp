#include "usbdriver/engine/sample_runs.h"

#include "usbdriver/engine/mix_math.h"

namespace q407 {
namespace {

// Samples of one channel whose index in a region is start, start + channels, ... < elements.
uint32_t CountFrom(int32_t start, int32_t elements, int32_t channels) {
    if (start < 0 || start >= elements) return 0;
    return static_cast<uint32_t>((elements - 1 - start) / channels + 1);
}

SampleRun RunAt(void* region, int32_t start, int32_t elements, int32_t channels) {
    const uint32_t count = CountFrom(start, elements, channels);
    if (region == nullptr || count == 0) return {nullptr, static_cast<uint32_t>(channels), 0};
    return {static_cast<int32_t*>(region) + start, static_cast<uint32_t>(channels), count};
}

}  // namespace

SampleRuns InterleavedChannelRuns(void* first, int32_t firstCount, void* second,
                                  int32_t secondCount, int32_t channels, int32_t channel) {
    SampleRuns runs{};
    if (channels <= 0 || channel < 0 || channel >= channels) return runs;
    if (firstCount < 0) firstCount = 0;
    if (secondCount < 0) secondCount = 0;
    runs.run[0] = RunAt(first, channel, firstCount, channels);
    // The second region continues the element sequence: its element i is element
    // firstCount + i overall, so the channel's samples start where that is congruent to it.
    const int32_t split = firstCount % channels;
    const int32_t start = (channel - split + channels) % channels;
    runs.run[1] = RunAt(second, start, secondCount, channels);
    return runs;
}

void TransferRuns(const SampleRuns& source, const SampleRuns& destination, uint32_t count,
                  RunMode mode) {
    uint32_t si = 0, di = 0;    // run indices
    uint32_t so = 0, dout = 0;  // samples used within the current runs
    while (count != 0 && di < 2) {
        const SampleRun& d = destination.run[di];
        if (dout >= d.count) {
            ++di;
            dout = 0;
            continue;
        }
        while (si < 2 && so >= source.run[si].count) {
            ++si;
            so = 0;
        }
        uint32_t chunk = d.count - dout;
        if (chunk > count) chunk = count;
        int32_t* out = d.samples + static_cast<uint64_t>(dout) * d.stride;
        const uint32_t outStride = d.stride;
        if (si >= 2) {
            // The source ran short: silence.
            if (mode == RunMode::Copy) {
                for (uint32_t i = 0; i < chunk; ++i) out[static_cast<uint64_t>(i) * outStride] = 0;
            }
        } else {
            const SampleRun& s = source.run[si];
            if (chunk > s.count - so) chunk = s.count - so;
            const int32_t* in = s.samples + static_cast<uint64_t>(so) * s.stride;
            const uint32_t inStride = s.stride;
            if (mode == RunMode::Copy) {
                if (inStride == 1 && outStride == 1) {
                    for (uint32_t i = 0; i < chunk; ++i) out[i] = in[i];
                } else {
                    for (uint32_t i = 0; i < chunk; ++i)
                        out[static_cast<uint64_t>(i) * outStride] =
                            in[static_cast<uint64_t>(i) * inStride];
                }
            } else {
                for (uint32_t i = 0; i < chunk; ++i) {
                    int32_t& o = out[static_cast<uint64_t>(i) * outStride];
                    o = SaturatingAdd(o, in[static_cast<uint64_t>(i) * inStride]);
                }
            }
            so += chunk;
        }
        dout += chunk;
        count -= chunk;
    }
}

void ZeroRuns(const SampleRuns& destination, uint32_t count) {
    for (const SampleRun& d : destination.run) {
        uint32_t n = d.count < count ? d.count : count;
        for (uint32_t i = 0; i < n; ++i) d.samples[static_cast<uint64_t>(i) * d.stride] = 0;
        count -= n;
    }
}

}  // namespace q407
