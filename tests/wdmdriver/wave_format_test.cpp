// Format validation and data-range intersection of the wave pins, at their edges: what a client
// may ask for, what it gets back, and what is refused.
#include "wdmdriver/wave_format.h"

#include <gtest/gtest.h>

#include <cstring>

#include "wave_formats.h"
#include "wdmdriver/wave_data_range.h"
#include "wdmdriver/wave_filter_descriptions.h"

namespace q407::testing {
namespace {

using wdm::CheckWaveFormat;
using wdm::IntersectionQuery;
using wdm::IntersectWaveRange;
using wdm::ValidateWaveFormat;
using wdm::WaveFormatFacts;

NTSTATUS Validate(WaveFormatRequest wanted, ULONG maxChannels = 8) {
    std::vector<uint8_t> bytes = MakeFormat(wanted);
    WaveFormatFacts facts{};
    return ValidateWaveFormat(AsFormat(bytes), static_cast<ULONG>(bytes.size()), maxChannels,
                              &facts);
}

TEST(WaveFormatValidation, PcmIsStereoOnlyAtTheDeviceRatesWithSixteenToThirtyTwoBitsButNot24) {
    for (uint32_t rate : {44100u, 48000u, 88200u, 96000u})
        for (uint16_t bits : {uint16_t{16}, uint16_t{32}})
            EXPECT_EQ(Validate({1, 2, rate, bits}), STATUS_SUCCESS);
    EXPECT_EQ(Validate({1, 2, 48000, 24}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Validate({1, 2, 48000, 8}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Validate({1, 2, 48000, 40}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Validate({1, 1, 48000, 16}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Validate({1, 4, 48000, 16}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Validate({1, 2, 32000, 16}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Validate({1, 2, 192000, 16}), STATUS_INVALID_PARAMETER);
}

TEST(WaveFormatValidation, ExtensibleTakesTwoToEightChannelsWherePermittedAndPcmSubformatOnly) {
    WaveFormatRequest wanted;
    wanted.extensible = true;
    for (uint16_t channels = 2; channels <= 8; ++channels) {
        wanted.channels = channels;
        EXPECT_EQ(Validate(wanted, 8), STATUS_SUCCESS) << channels;
    }
    wanted.channels = 9;
    EXPECT_EQ(Validate(wanted, 8), STATUS_INVALID_PARAMETER);
    // A stereo subdevice's stream may not reach into its neighbours' channels.
    wanted.channels = 4;
    EXPECT_EQ(Validate(wanted, 2), STATUS_INVALID_PARAMETER);
    wanted.channels = 2;
    EXPECT_EQ(Validate(wanted, 2), STATUS_SUCCESS);
    wanted.extensibleSubformat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    EXPECT_EQ(Validate(wanted, 8), STATUS_INVALID_PARAMETER);
}

TEST(WaveFormatValidation, CompressedPassThroughTagsTakeOneOrTwoChannelsAndARateRange) {
    EXPECT_EQ(Validate({0x92, 2, 48000, 16}), STATUS_SUCCESS);
    EXPECT_EQ(Validate({0x164, 1, 44100, 24}), STATUS_SUCCESS);
    EXPECT_EQ(Validate({0x92, 2, 50000, 16}), STATUS_SUCCESS);  // any rate inside the range
    EXPECT_EQ(Validate({0x92, 0, 48000, 16}), STATUS_INVALID_PARAMETER);  // nothing to divide by
    EXPECT_EQ(Validate({0x92, 3, 48000, 16}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Validate({0x92, 2, 48000, 32}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Validate({0x164, 2, 32000, 16}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Validate({0x3, 2, 48000, 32}), STATUS_INVALID_PARAMETER);  // float
    EXPECT_TRUE(wdm::IsCompressedSubformat(0x92));
    EXPECT_TRUE(wdm::IsCompressedSubformat(0x164));
    EXPECT_TRUE(wdm::IsCompressedSubformat(0x08));
    EXPECT_FALSE(wdm::IsCompressedSubformat(0x01));
}

TEST(WaveFormatValidation, ContainerWidthMustAgreeWithTheBlockAlignment) {
    // 28 bits in 7-byte frames (channels x bits / 8) cannot be stepped through sample by sample.
    WaveFormatRequest packed{1, 2, 48000, 28};
    packed.blockAlign = 7;
    EXPECT_EQ(Validate(packed), STATUS_INVALID_PARAMETER);
    WaveFormatRequest threeBytes{1, 2, 48000, 25};
    EXPECT_EQ(Validate(threeBytes), STATUS_SUCCESS);  // 3-byte containers, block 6
    threeBytes.blockAlign = 8;
    EXPECT_EQ(Validate(threeBytes), STATUS_INVALID_PARAMETER);
}

TEST(WaveFormatValidation, WrongTypeSubformatTailOrSpecifierIsRefused) {
    WaveFormatRequest wanted;
    wanted.major = KSDATAFORMAT_SUBTYPE_PCM;
    EXPECT_EQ(Validate(wanted), STATUS_INVALID_PARAMETER);
    wanted = {};
    wanted.subformat = KSDATAFORMAT_SUBTYPE_ANALOG;  // not of the wave-format family
    EXPECT_EQ(Validate(wanted), STATUS_INVALID_PARAMETER);
    wanted = {};
    wanted.specifier = KSDATAFORMAT_SPECIFIER_NONE;
    EXPECT_EQ(Validate(wanted), STATUS_INVALID_PARAMETER);
    wanted = {};
    wanted.directSound = true;  // the wave format sits behind the DirectSound description
    EXPECT_EQ(Validate(wanted), STATUS_SUCCESS);
}

TEST(WaveFormatValidation, TruncatedFormatsAreNeverReadPastTheirEnd) {
    std::vector<uint8_t> full = MakeFormat({});
    WaveFormatFacts facts{};
    for (size_t length = 0; length < full.size(); ++length) {
        // Exactly the bytes claimed, in a block of their own, so any read beyond trips asan.
        std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(length));
        if (length >= sizeof(ULONG)) {
            const ULONG claimed = static_cast<ULONG>(length);
            std::memcpy(cut.data(), &claimed, sizeof(claimed));
        }
        EXPECT_EQ(ValidateWaveFormat(reinterpret_cast<PKSDATAFORMAT>(cut.data()),
                                     static_cast<ULONG>(length), 8, &facts),
                  STATUS_INVALID_PARAMETER)
            << length;
    }
    // A format claiming more than it has is read only as far as it has.
    WaveFormatRequest extensible;
    extensible.extensible = true;
    std::vector<uint8_t> bytes = MakeFormat(extensible);
    bytes.resize(sizeof(KSDATAFORMAT) + 30);
    EXPECT_EQ(ValidateWaveFormat(AsFormat(bytes), static_cast<ULONG>(bytes.size()), 8, &facts),
              STATUS_INVALID_PARAMETER);
}

// --- Intersection ------------------------------------------------------------------------------

struct Answer {
    NTSTATUS status;
    ULONG length;
    KSDATAFORMAT header;
    WAVEFORMATEXTENSIBLE wave;
};

Answer Intersect(const KSDATARANGE_AUDIO& client, ULONG pin, bool multichannel,
                 ULONG bufferLength = 104, ULONG deviceRate = 44100) {
    IntersectionQuery query{pin,
                            &client.DataRange,
                            client.DataRange.FormatSize,
                            &wdm::WavePinDataRange()->DataRange,
                            sizeof(KSDATARANGE_AUDIO),
                            deviceRate,
                            static_cast<BOOLEAN>(multichannel ? TRUE : FALSE)};
    std::vector<uint8_t> buffer(bufferLength + 1, 0xCD);
    Answer answer{};
    answer.length = 0xFFFF;
    answer.status = IntersectWaveRange(query, bufferLength, buffer.data(), &answer.length);
    EXPECT_EQ(buffer[bufferLength], 0xCD) << "wrote past the buffer";
    if (answer.status == STATUS_SUCCESS) {
        std::memcpy(&answer.header, buffer.data(), sizeof(KSDATAFORMAT));
        std::memcpy(&answer.wave, buffer.data() + sizeof(KSDATAFORMAT), 40);
    }
    return answer;
}

TEST(WaveIntersection, AnswerSizeIsAskedWithAnEmptyBufferAndRefusedForAShortOne) {
    const KSDATARANGE_AUDIO client = MakeAudioRange(2, 16, 32, 44100, 96000);
    Answer answer = Intersect(client, 0, false, 0);
    EXPECT_EQ(answer.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(answer.length, 104u);
    EXPECT_EQ(Intersect(client, 0, false, 103).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Intersect(client, 0, false, 104).status, STATUS_SUCCESS);
}

TEST(WaveIntersection, StereoPlaybackAnswersAtTheDeviceRateWithTheSmallerBitDepth) {
    Answer answer = Intersect(MakeAudioRange(2, 16, 32, 48000, 96000), 0, false, 104, 88200);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.length, 104u);
    EXPECT_EQ(answer.header.FormatSize, 104u);
    EXPECT_TRUE(IsEqualGUID(answer.header.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
    EXPECT_TRUE(IsEqualGUID(answer.header.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_TRUE(IsEqualGUID(answer.header.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
    EXPECT_EQ(answer.wave.Format.wFormatTag, 1);
    EXPECT_EQ(answer.wave.Format.nChannels, 2);
    EXPECT_EQ(answer.wave.Format.nSamplesPerSec, 88200u);
    EXPECT_EQ(answer.wave.Format.wBitsPerSample, 32);
    EXPECT_EQ(answer.wave.Format.nBlockAlign, 8);
    EXPECT_EQ(answer.wave.Format.nAvgBytesPerSec, 88200u * 8);
    EXPECT_EQ(answer.wave.Format.cbSize, 22);
    EXPECT_EQ(answer.wave.Samples.wValidBitsPerSample, 32);
    EXPECT_EQ(answer.wave.dwChannelMask, 0x3u);
    EXPECT_EQ(answer.header.SampleSize, 8u);

    answer = Intersect(MakeAudioRange(2, 16, 16, 44100, 44100), 0, false);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.wave.Format.wBitsPerSample, 16);
    EXPECT_EQ(answer.wave.Format.nBlockAlign, 4);
}

TEST(WaveIntersection, ClientRangesOutsideTheDeviceFindNoMatch) {
    EXPECT_EQ(Intersect(MakeAudioRange(2, 24, 32, 44100, 96000), 0, false).status, STATUS_NO_MATCH);
    EXPECT_EQ(Intersect(MakeAudioRange(2, 16, 24, 44100, 96000), 0, false).status, STATUS_NO_MATCH);
    EXPECT_EQ(Intersect(MakeAudioRange(2, 8, 16, 44100, 96000), 0, false).status, STATUS_NO_MATCH);
    EXPECT_EQ(Intersect(MakeAudioRange(2, 16, 64, 44100, 96000), 0, false).status, STATUS_NO_MATCH);
    EXPECT_EQ(Intersect(MakeAudioRange(2, 16, 32, 8000, 96000), 0, false).status, STATUS_NO_MATCH);
    EXPECT_EQ(Intersect(MakeAudioRange(2, 16, 32, 44100, 192000), 0, false).status,
              STATUS_NO_MATCH);
    // A stereo subdevice takes exactly two channels at most.
    EXPECT_EQ(Intersect(MakeAudioRange(1, 16, 32, 44100, 96000), 0, false).status, STATUS_NO_MATCH);
    EXPECT_EQ(Intersect(MakeAudioRange(8, 16, 32, 44100, 96000), 0, false).status, STATUS_NO_MATCH);
    // A maximum width below the minimum would otherwise answer 8 bits.
    EXPECT_EQ(Intersect(MakeAudioRange(2, 16, 8, 44100, 96000), 0, false).status, STATUS_NO_MATCH);
}

TEST(WaveIntersection, MultichannelAnswersExtensibleWithTheLayoutOfTheChannelCount) {
    const struct {
        ULONG channels;
        ULONG mask;
    } layouts[] = {{2, 0x3}, {4, 0x33}, {6, 0x3F}, {7, 0x70F}, {8, 0x63F}};
    for (const auto& layout : layouts) {
        Answer answer = Intersect(MakeAudioRange(layout.channels, 16, 16, 44100, 96000), 0, true);
        ASSERT_EQ(answer.status, STATUS_SUCCESS) << layout.channels;
        EXPECT_EQ(answer.wave.Format.wFormatTag, 0xFFFE);
        EXPECT_EQ(answer.wave.Format.nChannels, layout.channels);
        EXPECT_EQ(answer.wave.dwChannelMask, layout.mask);
        EXPECT_EQ(answer.wave.Format.nBlockAlign, layout.channels * 2);
        EXPECT_TRUE(IsEqualGUID(answer.wave.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    }
    for (ULONG channels : {3u, 5u, 9u})
        EXPECT_EQ(Intersect(MakeAudioRange(channels, 16, 16, 44100, 96000), 0, true).status,
                  STATUS_NO_MATCH)
            << channels;
}

TEST(WaveIntersection, RecordingPinAlwaysAnswersTwoChannels) {
    Answer answer =
        Intersect(MakeAudioRange(2, 16, 32, 44100, 96000), wdm::kRecordingPin, false, 104, 96000);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.wave.Format.nChannels, 2);
    EXPECT_EQ(answer.wave.Format.nSamplesPerSec, 96000u);
}

TEST(WaveIntersection, ShortOrMisSizedClientRangesAreNotRead) {
    KSDATARANGE_AUDIO client = MakeAudioRange(2, 16, 32, 44100, 96000);
    client.DataRange.FormatSize = sizeof(KSDATARANGE);  // a plain range has no audio fields
    EXPECT_EQ(Intersect(client, 0, false).status, STATUS_NO_MATCH);
}

}  // namespace
}  // namespace q407::testing
