#include "tools/test_signal.h"

namespace q407::tools {
namespace {

// A 64-bit finaliser: neighbouring frames and channels give unrelated values.
uint32_t Scramble(uint64_t x) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return static_cast<uint32_t>(x);
}

}  // namespace

int32_t TestSignalSample(uint64_t frame, int channel) {
    if (frame == kImpulseFrame) return kImpulseSample;
    if (frame <= kImpulseFrame + kImpulseGapFrames) return 0;
    uint32_t v = Scramble(frame * 8 + static_cast<uint64_t>(channel & 7) + 0x51) & 0xFFFFFFu;
    if (v == 0) v = 1;
    return static_cast<int32_t>(v << 8);
}

std::vector<int32_t> TestSignalChannel(int channel, uint64_t frames) {
    std::vector<int32_t> out(frames);
    for (uint64_t f = 0; f < frames; ++f) out[f] = TestSignalSample(f, channel);
    return out;
}

}  // namespace q407::tools
