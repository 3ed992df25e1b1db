// Register writes for the device's two codec chips, turned into the control-line states of the
// serial port. Chip A (the digital interface) clocks on bit 0 with data on bit 1; chip B (the
// output converters) clocks on bit 5 with data on bit 6. Bit 7 is low while a word is shifted;
// the lines of the other chip stay high. A word is three leading bits, five address bits and
// eight data bits, most significant first, each a low-clock byte then a high-clock byte: with
// the opening and closing states, 35 bytes per register write.
#pragma once

#include <cstdint>

#include "panel/app/ptaj_port.h"

namespace q407::panel {

inline constexpr uint32_t kRegisterWriteBytes = 35;
inline constexpr uint8_t kDigitalFormatRegister = 13;
inline constexpr int32_t kCodecOutputs = 8;
inline constexpr uint8_t kMaxOutputLevel = 127;
// Chip B's level register of outputs 0..7.
inline constexpr uint8_t kOutputLevelRegisters[kCodecOutputs] = {4, 5, 6, 7, 8, 9, 11, 12};

class ZELController : public PTAJPort {
  public:
    // Append one register write to the port as a committed stream; false (nothing committed)
    // when it does not fit.
    bool writeRegisterA(uint8_t address, uint8_t data);
    bool writeRegisterB(uint8_t address, uint8_t data);
    // 1 professional, 0 consumer: chip A register 13, sent at once.
    bool setDigitalFormat(uint32_t value);
    // Output channel 0..7 at level 0..127 (127 is full level), sent at once; anything else is
    // refused and nothing is sent.
    bool setOutVolume(uint32_t channel, uint32_t value);

  private:
    struct Lines {
        uint8_t header[8];
        uint8_t zero[2];
        uint8_t one[2];
    };
    bool writeRegister(const Lines& lines, uint8_t address, uint8_t data);
};

}  // namespace q407::panel
