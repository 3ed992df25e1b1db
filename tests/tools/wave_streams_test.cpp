// The client side's sample handling and checks, on their own: the bytes a pin is given (16-bit
// and 32-bit little-endian, interleaved), the pin formats, the delayed comparison that the play
// command and the end-to-end tests rely on (it must catch a lost, an altered and a missing
// sample), and the MIDI commands' byte parsing.
#include "tools/wave_streams.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/midi_command.h"

namespace q407::tools {
namespace {

TEST(WaveStreams, SamplesArePackedLittleEndianInterleavedAndBack) {
    const std::vector<std::vector<int32_t>> channels = {
        {static_cast<int32_t>(0x12345678), static_cast<int32_t>(0x80000000U)},
        {static_cast<int32_t>(0xFEDCBA98U), 0x7FFFFFFF}};
    const std::vector<uint8_t> wide = PackSamples(channels, 32);
    EXPECT_EQ(wide, (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12, 0x98, 0xBA, 0xDC, 0xFE, 0x00,
                                          0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(UnpackSamples(wide, 2, 32), channels);
    // 16-bit samples are the upper halves.
    const std::vector<uint8_t> narrow = PackSamples(channels, 16);
    EXPECT_EQ(narrow, (std::vector<uint8_t>{0x34, 0x12, 0xDC, 0xFE, 0x00, 0x80, 0xFF, 0x7F}));
    const auto back = UnpackSamples(narrow, 2, 16);
    EXPECT_EQ(back[0], (std::vector<int32_t>{0x12340000, static_cast<int32_t>(0x80000000U)}));
    EXPECT_EQ(back[1], (std::vector<int32_t>{static_cast<int32_t>(0xFEDC0000U), 0x7FFF0000}));
    // A trailing partial frame is left out.
    std::vector<uint8_t> ragged = narrow;
    ragged.push_back(0x11);
    EXPECT_EQ(UnpackSamples(ragged, 2, 16)[0].size(), 2U);
    EXPECT_EQ(DeviceSampleOf(static_cast<int32_t>(0xFEDCBA00U)), static_cast<int32_t>(0xFFFEDCBAU));
}

TEST(WaveStreams, PinFormatsFollowTheChannelCount) {
    const auto stereo = PinFormat(44100, 2, 16, false);
    EXPECT_FALSE(stereo.extensible);
    EXPECT_EQ(stereo.channelMask, 0U);
    EXPECT_EQ(stereo.rate, 44100U);
    const auto stereoX = PinFormat(48000, 2, 32, true);
    EXPECT_TRUE(stereoX.extensible);
    EXPECT_EQ(stereoX.channelMask, 0x3U);
    const auto eight = PinFormat(96000, 8, 16, false);
    EXPECT_TRUE(eight.extensible) << "more than two channels need the extensible format";
    EXPECT_EQ(eight.channelMask, 0x63FU);
    EXPECT_EQ(SpeakerMask(6), 0x3FU);
    EXPECT_EQ(SpeakerMask(7), 0x70FU);
    EXPECT_EQ(SpeakerMask(4), 0x33U);
    EXPECT_EQ(SpeakerMask(3), 0U);
}

TEST(WaveStreams, DelayedCheckFindsTheDelayAndEveryFault) {
    const std::vector<int32_t> sent = {0, 0, 5, 6, 7, 8, 9};
    std::vector<int32_t> got = {0, 0, 0, 0, 0, 5, 6, 7, 8, 9, 0};
    DelayedCheck good = CheckDelayed(sent, got);
    EXPECT_TRUE(good.BitExact());
    EXPECT_EQ(good.delay, 3);
    EXPECT_EQ(good.expected, 5U);
    EXPECT_EQ(good.checked, 5U);

    std::vector<int32_t> altered = got;
    altered[7] = 70;
    const DelayedCheck a = CheckDelayed(sent, altered);
    EXPECT_FALSE(a.BitExact());
    EXPECT_EQ(a.mismatches, 1U);
    EXPECT_EQ(a.firstMismatch, 4);

    std::vector<int32_t> lost = got;
    lost.erase(lost.begin() + 6);  // the 6 never came
    EXPECT_FALSE(CheckDelayed(sent, lost).BitExact());

    const std::vector<int32_t> cut(got.begin(), got.begin() + 8);  // the end never came
    const DelayedCheck c = CheckDelayed(sent, cut);
    EXPECT_FALSE(c.BitExact());
    EXPECT_EQ(c.checked, 3U);

    EXPECT_FALSE(CheckDelayed(sent, std::vector<int32_t>(20, 0)).BitExact());
    EXPECT_FALSE(CheckDelayed(std::vector<int32_t>(5, 0), got).BitExact()) << "nothing was sent";
}

TEST(WaveStreams, HexBytesParseInEveryUsualSpellingAndNothingElse) {
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(ParseHexBytes({"90 3C 7F", "803c00", "F0,7E", "01:f7"}, &bytes, &error)) << error;
    EXPECT_EQ(bytes,
              (std::vector<uint8_t>{0x90, 0x3C, 0x7F, 0x80, 0x3C, 0x00, 0xF0, 0x7E, 0x01, 0xF7}));
    for (const std::string bad : {"9", "0x90", "GG", "90 3", ""}) {
        std::vector<uint8_t> none;
        EXPECT_FALSE(ParseHexBytes({bad}, &none, &error)) << bad;
    }
}

}  // namespace
}  // namespace q407::tools
