// Decodes the codec command bytes of the playback units as the states of the device's serial
// control lines, the way the codec chips see them.
//
// Chip A: clock on bit 0, data on bit 1. Chip B: clock on bit 5, data on bit 6. Bit 7 is low
// while a word is shifted and high between words. A data bit is taken on each rising clock edge.
// A word is 3 leading bits (0 0 1 for chip A, 1 0 1 for chip B), 5 address bits and 8 data bits,
// most significant first; it takes effect when bit 7 returns high.
#pragma once

#include <cstdint>
#include <optional>

namespace q407::sim {

enum class CodecChip : std::uint8_t { A = 0, B = 1 };

struct CodecWord {
    bool valid;            // false: wrong bit count, wrong leading bits or both chips clocked
    CodecChip chip;        // for an invalid word: the chip that saw the most bits
    std::uint8_t address;  // 0..31
    std::uint8_t data;
    int bits;  // bits clocked into the chip during the word
};

class CodecSerialDecoder {
  public:
    // Feeds one line state; returns the word that ended with it, if any.
    std::optional<CodecWord> Feed(std::uint8_t lines);
    void Reset() { *this = CodecSerialDecoder(); }

  private:
    std::uint8_t previous_ = 0xFF;
    bool inWord_ = false;
    std::uint32_t shift_[2] = {0, 0};
    int bits_[2] = {0, 0};
};

}  // namespace q407::sim
