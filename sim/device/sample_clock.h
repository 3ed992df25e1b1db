// The device's sample clock: which machine-clock tick a frame falls on, at a nominal rate that
// may be some parts per million off. Anchored at (frame, tick) so rate changes and stops keep the
// frame count going.
#pragma once

#include <cstdint>

#include "sim/host/machine_clock.h"

namespace q407::sim {

class SampleClock {
  public:
    void Anchor(std::uint64_t frame, ClockTicks tick) {
        anchorFrame_ = frame;
        anchorTick_ = tick;
    }
    void SetRate(std::uint32_t rate, std::int32_t ppm) {
        rate_ = rate;
        ppm_ = ppm;
    }
    std::uint32_t Rate() const { return rate_; }
    std::int32_t Ppm() const { return ppm_; }

    // Tick on which frame begins (rounded up, so a frame never starts before its time).
    ClockTicks TickOfFrame(std::uint64_t frame) const;
    // The frame running at tick (frames before the anchor count as the anchor frame).
    std::uint64_t FrameAt(ClockTicks tick) const;

  private:
    std::uint64_t anchorFrame_ = 0;
    ClockTicks anchorTick_ = 0;
    std::uint32_t rate_ = 44100;
    std::int32_t ppm_ = 0;
};

}  // namespace q407::sim
