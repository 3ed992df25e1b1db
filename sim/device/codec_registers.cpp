#include "sim/device/codec_registers.h"

#include <cmath>

namespace q407::sim {

namespace {
std::int64_t GainQ23(int level) {
    if (level >= 127) return std::int64_t(1) << 23;
    double amplitude = std::pow(10.0, -(127 - level) * 0.5 / 20.0);
    return std::llround(amplitude * double(std::int64_t(1) << 23));
}
}  // namespace

CodecRegisters::CodecRegisters() {
    for (auto& chip : regs_) chip.fill(0);
    // Outputs power up at 0 dB.
    for (std::uint8_t r : kOutputLevelRegisters) regs_[1][r] = 0xFF;
    for (int c = 0; c < kOutputChannels; ++c) gainQ23_[c] = GainQ23(OutputLevel(c));
}

void CodecRegisters::Write(CodecChip chip, std::uint8_t address, std::uint8_t data) {
    regs_[int(chip)][address & 0x1F] = data;
    if (chip == CodecChip::B)
        for (int c = 0; c < kOutputChannels; ++c)
            if (kOutputLevelRegisters[c] == (address & 0x1F)) gainQ23_[c] = GainQ23(OutputLevel(c));
}

std::uint8_t CodecRegisters::Read(CodecChip chip, std::uint8_t address) const {
    return regs_[int(chip)][address & 0x1F];
}

int CodecRegisters::OutputLevel(int channel) const {
    return regs_[1][kOutputLevelRegisters[channel]] & 0x7F;
}

std::int32_t CodecRegisters::Attenuate(int channel, std::int32_t sample) const {
    std::int64_t g = gainQ23_[channel];
    if (g == (std::int64_t(1) << 23)) return sample;
    return std::int32_t((std::int64_t(sample) * g + (std::int64_t(1) << 22)) >> 23);
}

}  // namespace q407::sim
