#include "sim/device/codec_serial_decoder.h"

namespace q407::sim {

namespace {
constexpr std::uint8_t kWordLine = 0x80;
struct Lines {
    int clockBit;
    int dataBit;
    std::uint32_t leading;  // the three leading bits
};
constexpr Lines kChips[2] = {{0, 1, 0b001}, {5, 6, 0b101}};
constexpr int kWordBits = 16;
}  // namespace

std::optional<CodecWord> CodecSerialDecoder::Feed(std::uint8_t lines) {
    std::optional<CodecWord> word;
    bool low = (lines & kWordLine) == 0;
    if (low && !inWord_) {
        inWord_ = true;
        shift_[0] = shift_[1] = 0;
        bits_[0] = bits_[1] = 0;
    }
    if (inWord_ && low) {
        for (int c = 0; c < 2; ++c) {
            const Lines& l = kChips[c];
            bool was = (previous_ >> l.clockBit) & 1;
            bool now = (lines >> l.clockBit) & 1;
            if (!was && now) {
                shift_[c] = (shift_[c] << 1) | ((lines >> l.dataBit) & 1u);
                if (bits_[c] < 64) ++bits_[c];
            }
        }
    }
    if (inWord_ && !low) {
        inWord_ = false;
        int chip = bits_[1] > bits_[0] ? 1 : 0;
        int other = 1 - chip;
        CodecWord w{};
        w.chip = CodecChip(chip);
        w.bits = bits_[chip];
        std::uint32_t v = shift_[chip];
        w.address = std::uint8_t((v >> 8) & 0x1F);
        w.data = std::uint8_t(v & 0xFF);
        w.valid = bits_[chip] == kWordBits && bits_[other] == 0 &&
                  ((v >> 13) & 0x7) == kChips[chip].leading;
        if (bits_[0] != 0 || bits_[1] != 0) word = w;
    }
    previous_ = lines;
    return word;
}

}  // namespace q407::sim
