#include "sim/device/sample_clock.h"

namespace q407::sim {

namespace {
__extension__ using Wide = __int128;
// Ticks per frame = kTicksPerSecond * 1e6 / (rate * (1e6 + ppm)).
Wide Denominator(std::uint32_t rate, std::int32_t ppm) {
    return Wide(rate) * Wide(1'000'000 + ppm);
}
constexpr Wide kNumerator = Wide(kTicksPerSecond) * 1'000'000;
}  // namespace

ClockTicks SampleClock::TickOfFrame(std::uint64_t frame) const {
    if (frame <= anchorFrame_) return anchorTick_;
    Wide n = Wide(frame - anchorFrame_) * kNumerator;
    Wide d = Denominator(rate_, ppm_);
    return anchorTick_ + ClockTicks((n + d - 1) / d);
}

std::uint64_t SampleClock::FrameAt(ClockTicks tick) const {
    if (tick <= anchorTick_) return anchorFrame_;
    Wide n = Wide(tick - anchorTick_) * Denominator(rate_, ppm_);
    return anchorFrame_ + std::uint64_t(n / kNumerator);
}

}  // namespace q407::sim
