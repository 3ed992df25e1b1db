#include "sim/device/signal_source.h"

#include <cmath>
#include <numbers>

#include "sim/device/unit_format.h"

namespace q407::sim {

std::int32_t RampGenerator::Sample(std::uint64_t frame, std::uint32_t) {
    std::uint64_t v =
        std::uint64_t(std::int64_t(start_)) + frame * std::uint64_t(std::int64_t(step_));
    return SignExtend24(std::uint32_t(v));
}

std::int32_t CounterGenerator::Sample(std::uint64_t frame, std::uint32_t) {
    return SignExtend24((std::uint32_t(tag_ & 0xF) << 20) | std::uint32_t(frame & 0xFFFFF));
}

std::int32_t SineGenerator::Sample(std::uint64_t frame, std::uint32_t rate) {
    if (rate == 0) return 0;
    // Reduce the cycle count first so long runs keep their precision.
    double cycles = double(frame) * frequency_ / double(rate);
    cycles -= std::floor(cycles);
    double v = amplitude_ * std::sin(2.0 * std::numbers::pi * cycles + phase_);
    if (v > 8388607.0) v = 8388607.0;
    if (v < -8388608.0) v = -8388608.0;
    return std::int32_t(std::lround(v));
}

std::int32_t WavGenerator::Sample(std::uint64_t frame, std::uint32_t) {
    if (!data_ || channel_ < 0 || channel_ >= data_->channels) return 0;
    std::size_t frames = data_->Frames();
    if (frames == 0) return 0;
    if (frame >= frames) {
        if (!loop_) return 0;
        frame %= frames;
    }
    return data_
        ->samples[std::size_t(frame) * std::size_t(data_->channels) + std::size_t(channel_)];
}

InputSource InputSource::Wav(const std::string& path, int channel, bool loop, std::string* error) {
    auto data = std::make_shared<WavData>();
    if (!ReadWavFile(path, *data, error)) return Silence();
    if (channel < 0 || channel >= data->channels) {
        if (error) *error = "no such channel in file";
        return Silence();
    }
    return Generator(std::make_shared<WavGenerator>(std::move(data), channel, loop));
}

}  // namespace q407::sim
