#include "sim/device/codec_serial_decoder.h"

#include <gtest/gtest.h>

#include <vector>

#include "sim/device/codec_registers.h"

namespace q407::sim {
namespace {

std::vector<CodecWord> FeedAll(CodecSerialDecoder& d, const std::vector<std::uint8_t>& bytes) {
    std::vector<CodecWord> words;
    for (std::uint8_t b : bytes)
        if (auto w = d.Feed(b)) words.push_back(*w);
    return words;
}

// The panel's register write for chip B, spelled out: header, 5 address bits, 8 data bits.
std::vector<std::uint8_t> ChipBWrite(std::uint8_t address, std::uint8_t data) {
    std::vector<std::uint8_t> s = {255, 127, 95, 127, 31, 63, 95, 127};
    auto bit = [&](bool one) {
        s.push_back(one ? 95 : 31);
        s.push_back(one ? 127 : 63);
    };
    for (int i = 4; i >= 0; --i) bit((address >> i) & 1);
    for (int i = 7; i >= 0; --i) bit((data >> i) & 1);
    s.push_back(255);
    return s;
}

TEST(CodecSerialDecoder, DigitalFormatWriteIsChipARegister13) {
    const std::vector<std::uint8_t> stream = {
        255, 127, 124, 125, 124, 125, 126, 127,                 // header
        124, 125, 126, 127, 126, 127, 124, 125, 126, 127,       // address 01101
        124, 125, 124, 125, 124, 125, 124, 125, 124, 125, 124,  // data 0000000
        125, 124, 125, 126, 127,                                // ... 1
        255};
    ASSERT_EQ(stream.size(), 35u);
    CodecSerialDecoder d;
    auto words = FeedAll(d, stream);
    ASSERT_EQ(words.size(), 1u);
    EXPECT_TRUE(words[0].valid);
    EXPECT_EQ(words[0].chip, CodecChip::A);
    EXPECT_EQ(words[0].address, 13);
    EXPECT_EQ(words[0].data, 1);
    EXPECT_EQ(words[0].bits, 16);
}

TEST(CodecSerialDecoder, OutputVolumeWriteIsChipB) {
    auto stream = ChipBWrite(11, 0x80);
    ASSERT_EQ(stream.size(), 35u);
    CodecSerialDecoder d;
    auto words = FeedAll(d, stream);
    ASSERT_EQ(words.size(), 1u);
    EXPECT_TRUE(words[0].valid);
    EXPECT_EQ(words[0].chip, CodecChip::B);
    EXPECT_EQ(words[0].address, 11);
    EXPECT_EQ(words[0].data, 0x80);
}

TEST(CodecSerialDecoder, IdleLinesAndBackToBackWrites) {
    CodecSerialDecoder d;
    EXPECT_TRUE(FeedAll(d, std::vector<std::uint8_t>(50, 0xFF)).empty());
    auto a = ChipBWrite(4, 0xFF);
    auto b = ChipBWrite(12, 0x85);
    a.insert(a.end(), b.begin(), b.end());
    auto words = FeedAll(d, a);
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[0].address, 4);
    EXPECT_EQ(words[0].data, 0xFF);
    EXPECT_EQ(words[1].address, 12);
    EXPECT_EQ(words[1].data, 0x85);
}

TEST(CodecSerialDecoder, BrokenWordsAreReportedInvalid) {
    CodecSerialDecoder d;
    // Cut short: idle lines after the address.
    auto s = ChipBWrite(5, 0x10);
    s.resize(18);
    s.push_back(255);
    auto words = FeedAll(d, s);
    ASSERT_EQ(words.size(), 1u);
    EXPECT_FALSE(words[0].valid);
    EXPECT_EQ(words[0].bits, 8);
    // Chip A clocking with chip B's leading bits (1 0 1).
    std::vector<std::uint8_t> wrong = {255, 127, 126, 127, 124, 125, 126, 127};
    for (int i = 0; i < 13; ++i) {
        wrong.push_back(124);
        wrong.push_back(125);
    }
    wrong.push_back(255);
    words = FeedAll(d, wrong);
    ASSERT_EQ(words.size(), 1u);
    EXPECT_FALSE(words[0].valid);
    EXPECT_EQ(words[0].bits, 16);
}

TEST(CodecRegisters, OutputLevelsAttenuate) {
    CodecRegisters r;
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(r.OutputGainDb(c), 0.0);
        EXPECT_EQ(r.Attenuate(c, -8388608), -8388608);
        EXPECT_EQ(r.Attenuate(c, 12345), 12345);
    }
    r.Write(CodecChip::B, 11, 0x80 | (127 - 12));  // output 6 at -6 dB
    EXPECT_EQ(r.OutputGainDb(6), -6.0);
    std::int32_t half = r.Attenuate(6, 4000000);
    EXPECT_NEAR(half, 4000000 * 0.501187, 2);
    EXPECT_EQ(r.Attenuate(5, 4000000), 4000000);
    r.Write(CodecChip::B, 11, 0x80);  // the lowest step
    EXPECT_EQ(r.OutputGainDb(6), -63.5);
    r.Write(CodecChip::A, 13, 1);
    EXPECT_EQ(r.DigitalFormat(), 1);
}

}  // namespace
}  // namespace q407::sim
