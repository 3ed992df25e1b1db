// The register files of the device's two codec chips and what the device makes of them: chip B's
// output level registers attenuate the eight outputs, chip A's register 13 is the digital format.
#pragma once

#include <array>
#include <cstdint>

#include "sim/device/codec_serial_decoder.h"
#include "sim/device/unit_format.h"

namespace q407::sim {

// Chip B registers of outputs 0..7.
constexpr std::array<std::uint8_t, kOutputChannels> kOutputLevelRegisters = {4, 5, 6,  7,
                                                                             8, 9, 11, 12};
constexpr std::uint8_t kDigitalFormatRegister = 13;  // chip A

class CodecRegisters {
  public:
    CodecRegisters();
    void Write(CodecChip chip, std::uint8_t address, std::uint8_t data);
    std::uint8_t Read(CodecChip chip, std::uint8_t address) const;

    // Level step of an output: register value & 0x7F; 127 is 0 dB, each step below 0.5 dB less.
    int OutputLevel(int channel) const;
    double OutputGainDb(int channel) const { return -(127 - OutputLevel(channel)) * 0.5; }
    std::uint8_t DigitalFormat() const { return Read(CodecChip::A, kDigitalFormatRegister); }

    // Applies the output's level to a 24-bit sample (exact at 0 dB).
    std::int32_t Attenuate(int channel, std::int32_t sample) const;

  private:
    std::array<std::array<std::uint8_t, 32>, 2> regs_;
    std::array<std::int64_t, kOutputChannels> gainQ23_;
};

}  // namespace q407::sim
