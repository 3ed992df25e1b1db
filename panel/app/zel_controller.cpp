#include "panel/app/zel_controller.h"

namespace q407::panel {
namespace {

// All lines high; bit 7 low to open the word; then the leading bits 0 0 1.
constexpr uint8_t kChipAHeader[8] = {255, 127, 124, 125, 124, 125, 126, 127};
// The same with the leading bits 1 0 1 on chip B's lines.
constexpr uint8_t kChipBHeader[8] = {255, 127, 95, 127, 31, 63, 95, 127};
constexpr uint8_t kIdle = 255;

}  // namespace

bool ZELController::writeRegister(const Lines& lines, uint8_t address, uint8_t data) {
    if (!begin()) return false;
    bool ok = true;
    for (uint8_t b : lines.header) ok = ok && put(b);
    const uint32_t word = (static_cast<uint32_t>(address & 0x1F) << 8) | data;
    for (int bit = 12; bit >= 0 && ok; --bit) {
        const uint8_t* pair = ((word >> bit) & 1u) != 0 ? lines.one : lines.zero;
        ok = put(pair[0]) && put(pair[1]);
    }
    ok = ok && put(kIdle);
    if (!ok) {
        // Half a word must never reach the chip.
        abandon();
        return false;
    }
    commit();
    return true;
}

bool ZELController::writeRegisterA(uint8_t address, uint8_t data) {
    Lines lines{};
    for (int i = 0; i < 8; ++i) lines.header[i] = kChipAHeader[i];
    lines.zero[0] = 124;
    lines.zero[1] = 125;
    lines.one[0] = 126;
    lines.one[1] = 127;
    return writeRegister(lines, address, data);
}

bool ZELController::writeRegisterB(uint8_t address, uint8_t data) {
    Lines lines{};
    for (int i = 0; i < 8; ++i) lines.header[i] = kChipBHeader[i];
    lines.zero[0] = 31;
    lines.zero[1] = 63;
    lines.one[0] = 95;
    lines.one[1] = 127;
    return writeRegister(lines, address, data);
}

bool ZELController::setDigitalFormat(uint32_t value) {
    if (value > 1) return false;
    if (!writeRegisterA(kDigitalFormatRegister, static_cast<uint8_t>(value))) return false;
    return flush();
}

bool ZELController::setOutVolume(uint32_t channel, uint32_t value) {
    if (channel >= static_cast<uint32_t>(kCodecOutputs) || value > kMaxOutputLevel) return false;
    if (!writeRegisterB(kOutputLevelRegisters[channel], static_cast<uint8_t>(value | 0x80u)))
        return false;
    return flush();
}

}  // namespace q407::panel
