// What the sessions read and write besides audio paths: WAV files through libsndfile (samples
// kept exactly, foreign formats scaled, bad files refused with the file named), channel lists,
// and the plot's gnuplot program.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tools/command_line.h"
#include "tools/latency_plot.h"
#include "tools/test_signal.h"
#include "tools/wav_io.h"

namespace q407::tools {
namespace {

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("q407_" + std::to_string(getpid()) + "_" + name))
        .string();
}

TEST(WavFiles, ThirtyTwoBitSamplesComeBackExactly) {
    AudioClip clip;
    clip.rate = 96000;
    for (int c = 0; c < 16; ++c) clip.channels.push_back(TestSignalChannel(c % 8, 5000));
    clip.channels[3][10] = INT32_MIN;
    clip.channels[4][11] = 0x7FFFFFFF;
    const std::string path = TempPath("exact.wav");
    std::string error;
    ASSERT_TRUE(WriteWavFile(path, clip, &error)) << error;
    AudioClip back;
    ASSERT_TRUE(ReadWavFile(path, &back, &error)) << error;
    EXPECT_EQ(back.rate, 96000u);
    EXPECT_EQ(back.channels, clip.channels);
    std::filesystem::remove(path);
}

TEST(WavFiles, SixteenBitFilesAreScaledToTheFullRange) {
    const std::string path = TempPath("sixteen.wav");
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    const short samples[] = {1, -1, 0x7FFF, -0x8000};
    ASSERT_EQ(sf_writef_short(file, samples, 2), 2);
    sf_close(file);
    AudioClip clip;
    std::string error;
    ASSERT_TRUE(ReadWavFile(path, &clip, &error)) << error;
    ASSERT_EQ(clip.channels.size(), 2u);
    EXPECT_EQ(clip.channels[0], (std::vector<int32_t>{1 << 16, 0x7FFF << 16}));
    EXPECT_EQ(clip.channels[1], (std::vector<int32_t>{-(1 << 16), INT32_MIN}));
    std::filesystem::remove(path);
}

TEST(WavFiles, MissingEmptyOrForeignFilesAreRefusedNamingTheFile) {
    AudioClip clip;
    std::string error;
    EXPECT_FALSE(ReadWavFile(TempPath("absent.wav"), &clip, &error));
    EXPECT_NE(error.find("absent.wav"), std::string::npos) << error;
    const std::string text = TempPath("text.wav");
    std::ofstream(text) << "this is not a sound file\n";
    error.clear();
    EXPECT_FALSE(ReadWavFile(text, &clip, &error));
    EXPECT_NE(error.find("text.wav"), std::string::npos) << error;
    std::filesystem::remove(text);

    AudioClip ragged;
    ragged.rate = 48000;
    ragged.channels = {{1, 2, 3}, {1, 2}};
    EXPECT_FALSE(WriteWavFile(TempPath("ragged.wav"), ragged, &error));
    EXPECT_FALSE(std::filesystem::exists(TempPath("ragged.wav")));
    AudioClip some;
    some.rate = 48000;
    some.channels = {{1}};
    EXPECT_FALSE(WriteWavFile("/nonexistent-dir/x.wav", some, &error));
    EXPECT_NE(error.find("/nonexistent-dir/x.wav"), std::string::npos);
}

TEST(ChannelLists, RangesAndListsBecomeZeroBasedChannels) {
    std::string error;
    EXPECT_EQ(ParseChannelList("1-8", 8, &error), (std::vector<long>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(ParseChannelList("3,1,16", 16, &error), (std::vector<long>{2, 0, 15}));
    EXPECT_EQ(ParseChannelList("2-3,9", 16, &error), (std::vector<long>{1, 2, 8}));
    for (const char* bad : {"", "0", "9", "1-9", "3-2", "1,,2", "a", "1-", "-3", "1,1", "2-4,3"}) {
        error.clear();
        EXPECT_TRUE(ParseChannelList(bad, 8, &error).empty()) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(LatencyPlot, TheScriptMarksTheRoundTripAndCarriesBothSignals) {
    LatencyPlot plot;
    plot.played = TestSignalChannel(0, 3000);
    plot.recorded.assign(3000, 0);
    plot.recorded[kImpulseFrame + 700] = kImpulseSample;
    plot.impulseFrame = kImpulseFrame;
    plot.latencyFrames = 700;
    plot.reportedFrames = 700;
    plot.rate = 48000;
    plot.title = "it's a title";
    const std::string script = LatencyPlotScript(plot, "/tmp/out's.png");
    EXPECT_NE(script.find("set output '/tmp/out''s.png'"), std::string::npos);
    EXPECT_NE(script.find("set title 'it''s a title'"), std::string::npos);
    EXPECT_NE(script.find("round trip 700 frames (14.583 ms)"), std::string::npos);
    EXPECT_NE(script.find("set arrow 1 from 1024,0.9 to 1724,0.9"), std::string::npos);
    // The recorded impulse is in the data, at full scale.
    const size_t recorded = script.find("$recorded << EOD");
    ASSERT_NE(recorded, std::string::npos);
    EXPECT_NE(script.find("\n1724 1\n", recorded), std::string::npos);
    EXPECT_NE(script.find("\n1024 1\n"), std::string::npos);
}

TEST(LatencyPlot, GnuplotDrawsAPng) {
    if (std::system("command -v gnuplot >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "gnuplot is not installed (scripts/setup.sh installs it)";
    LatencyPlot plot;
    plot.played = TestSignalChannel(0, 2000);
    plot.recorded.assign(2000, 0);
    plot.recorded[kImpulseFrame + 300] = kImpulseSample;
    plot.impulseFrame = kImpulseFrame;
    plot.latencyFrames = 300;
    plot.rate = 44100;
    plot.title = "round trip";
    const std::string path = TempPath("plot.png");
    std::string error;
    ASSERT_TRUE(WriteLatencyPlot(plot, path, &error)) << error;
    std::ifstream png(path, std::ios::binary);
    char magic[8] = {};
    png.read(magic, 8);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");
    std::filesystem::remove(path);
    EXPECT_FALSE(WriteLatencyPlot(plot, "/nonexistent-dir/plot.png", &error));
}

}  // namespace
}  // namespace q407::tools
