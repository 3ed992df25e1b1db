// The play, record, midi and mixer commands through the port-class driver: their argument and
// file errors with distinct exit statuses, a format the device refuses (with its status), a busy
// pin, the listing, reports that agree with what the device did, and the mute set through the
// mixer read back.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tools/midi_command.h"
#include "tools/mixer_command.h"
#include "tools/play_command.h"
#include "tools/record_command.h"
#include "tools/subdevice_names.h"
#include "tools/wav_io.h"
#include "tools/wave_streams.h"
#include "tools/wdm_machine.h"

namespace q407::tools {
namespace {

using CommandFunction = int (*)(int, char**, std::ostream&, std::ostream&);

int RunCommand(CommandFunction command, std::vector<std::string> args, std::string* out,
               std::string* err) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    std::ostringstream o, e;
    const int rc = command(static_cast<int>(argv.size()), argv.data(), o, e);
    *out = o.str();
    *err = e.str();
    return rc;
}

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("q407-wdm-" + std::to_string(getpid()) + "-" + name))
        .string();
}

// A WAV file of `frames` frames of a pseudo-random signal (never 0) in the given encoding.
void WriteTestWav(const std::string& path, uint32_t rate, int channels, int format,
                  uint64_t frames) {
    SF_INFO info{};
    info.samplerate = int(rate);
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<int32_t> samples(frames * size_t(channels));
    uint32_t x = 12345;
    for (int32_t& s : samples) {
        x = x * 1664525U + 1013904223U;
        s = static_cast<int32_t>((x & 0xFFFFFF00U) | 0x01000000U);
    }
    ASSERT_EQ(sf_writef_int(file, samples.data(), sf_count_t(frames)), sf_count_t(frames));
    sf_close(file);
}

nlohmann::json Json(const std::string& out) {
    return nlohmann::json::parse(out, nullptr, false);
}

TEST(WdmCommands, ArgumentAndFileErrorsHaveTheirOwnStatus) {
    std::string out, err;
    EXPECT_EQ(RunCommand(PlayCommand, {}, &out, &err), kWdmExitUsage);
    EXPECT_NE(err.find("no FILE"), std::string::npos) << err;
    EXPECT_EQ(RunCommand(PlayCommand, {"a.wav", "--bogus"}, &out, &err), kWdmExitUsage);
    EXPECT_EQ(RunCommand(RecordCommand, {"x.wav", "--rate", "22050"}, &out, &err), kWdmExitUsage);
    EXPECT_EQ(RunCommand(RecordCommand, {"x.wav", "--bits", "24"}, &out, &err), kWdmExitUsage);
    EXPECT_EQ(RunCommand(MidiCommand, {"send", "9G"}, &out, &err), kWdmExitUsage);
    EXPECT_NE(err.find("not hexadecimal"), std::string::npos) << err;
    EXPECT_EQ(RunCommand(MidiCommand, {"send", "903"}, &out, &err), kWdmExitUsage);
    EXPECT_EQ(RunCommand(MidiCommand, {}, &out, &err), kWdmExitUsage);
    EXPECT_EQ(RunCommand(MixerCommand, {"--set", "1", "--mute", "on"}, &out, &err), kWdmExitUsage);
    EXPECT_EQ(RunCommand(MixerCommand, {"--mute", "maybe"}, &out, &err), kWdmExitUsage);

    EXPECT_EQ(RunCommand(PlayCommand, {TempPath("missing.wav")}, &out, &err), kWdmExitFile);
    EXPECT_NE(err.find("cannot read"), std::string::npos) << err;
    const std::string text = TempPath("not-audio.wav");
    std::ofstream(text) << "this is not a sound file";
    EXPECT_EQ(RunCommand(PlayCommand, {text}, &out, &err), kWdmExitFile);
    std::filesystem::remove(text);

    // Samples the device has no format for are refused before any stream is opened.
    const std::string floats = TempPath("float.wav");
    WriteTestWav(floats, 48000, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 480);
    EXPECT_EQ(RunCommand(PlayCommand, {floats}, &out, &err), kWdmExitRefused);
    EXPECT_NE(err.find("float 32-bit"), std::string::npos) << err;
    std::filesystem::remove(floats);
}

TEST(WdmCommands, PlayReportsEveryChannelBitExactAndListsSubdevices) {
    const std::string path = TempPath("play16.wav");
    WriteTestWav(path, 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1440);
    std::string out, err;
    ASSERT_EQ(RunCommand(PlayCommand, {path, "--device", "ZEL_Wave2", "--json"}, &out, &err),
              kWdmExitOk)
        << err;
    const nlohmann::json j = Json(out);
    ASSERT_FALSE(j.is_discarded()) << out;
    EXPECT_EQ(j["bits"], 16);
    EXPECT_EQ(j["frames"], 1440);
    EXPECT_EQ(j["bytes_queued"], 1440 * 4);
    ASSERT_EQ(j["channel_checks"].size(), 2U);
    for (const auto& c : j["channel_checks"]) EXPECT_TRUE(c["bit_exact"].get<bool>()) << c;
    EXPECT_TRUE(j["passed"].get<bool>());
    EXPECT_NE(err.find("queued"), std::string::npos) << "progress on stderr: " << err;
    std::filesystem::remove(path);

    ASSERT_EQ(RunCommand(PlayCommand, {"--list", "--json"}, &out, &err), kWdmExitOk) << err;
    const nlohmann::json list = Json(out)["subdevices"];
    ASSERT_EQ(list.size(), std::size(kSubdeviceNames));
    for (const auto& s : list) {
        EXPECT_FALSE(s["display_name"].get<std::string>().empty()) << s;
        const std::string name = s["name"];
        if (name == "ZEL_Wave9") {
            EXPECT_TRUE(s["playback"] && !s["recording"]) << s;
        }
        if (name == "ZEL_Wave5") {
            EXPECT_TRUE(!s["playback"] && s["recording"]) << s;
        }
    }
}

TEST(WdmCommands, RefusedFormatsAndSubdevicesAreReportedWithTheDeviceStatus) {
    // 22,050 Hz is none of the device's rates: the driver refuses the format, and the command
    // prints its status.
    const std::string slow = TempPath("slow.wav");
    WriteTestWav(slow, 22050, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 441);
    std::string out, err;
    EXPECT_EQ(RunCommand(PlayCommand, {slow}, &out, &err), kWdmExitRefused);
    EXPECT_NE(err.find("status 0xC0"), std::string::npos) << err;
    std::filesystem::remove(slow);
    // Six channels on a stereo pair.
    const std::string six = TempPath("six.wav");
    WriteTestWav(six, 48000, 6, SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 480);
    EXPECT_EQ(RunCommand(PlayCommand, {six, "--device", "ZEL_Wave1"}, &out, &err), kWdmExitRefused);
    EXPECT_NE(err.find("status 0xC0"), std::string::npos) << err;
    std::filesystem::remove(six);
    // Pair 5 records only; pair 9 plays only.
    const std::string stereo = TempPath("stereo.wav");
    WriteTestWav(stereo, 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 480);
    EXPECT_EQ(RunCommand(PlayCommand, {stereo, "--device", "ZEL_Wave5"}, &out, &err),
              kWdmExitUsage);
    EXPECT_EQ(RunCommand(RecordCommand, {TempPath("r.wav"), "--device", "ZEL_Wave9"}, &out, &err),
              kWdmExitUsage);
    std::filesystem::remove(stereo);
}

TEST(WdmCommands, BusyPinIsReportedAsBusy) {
    WdmMachine machine;
    WdmMachineOptions options;
    options.keepOutputs = true;
    std::string error;
    ASSERT_TRUE(machine.Boot(options, &error)) << error;
    AudioClip clip;
    clip.rate = 48000;
    clip.channels.assign(2, std::vector<int32_t>(480, 0x01000000));
    {
        ClientScope scope(machine);
        std::unique_ptr<sim::audio::WavePin> holder;
        ASSERT_EQ(
            sim::audio::WavePin::Open(L"ZEL_Wave3", false, PinFormat(48000, 2, 16, false), &holder),
            0);
        PlayReport report;
        EXPECT_EQ(RunPlay(machine, clip, 16, false, "ZEL_Wave3", &report, &error), kWdmExitBusy);
        EXPECT_EQ(report.status, kStatusPinBusy);
        EXPECT_NE(error.find("0xC000009A"), std::string::npos) << error;
        // Another pair is free meanwhile.
        PlayReport other;
        EXPECT_EQ(RunPlay(machine, clip, 16, false, "ZEL_Wave4", &other, &error), kWdmExitOk)
            << error;
    }
    // Released, the pin plays again.
    PlayReport again;
    EXPECT_EQ(RunPlay(machine, clip, 32, false, "ZEL_Wave3", &again, &error), kWdmExitOk) << error;
    EXPECT_TRUE(again.AllBitExact());
}

TEST(WdmCommands, RecordWritesTheRampIntactAtBothWidths) {
    for (const int bits : {16, 32}) {
        const std::string path = TempPath("rec" + std::to_string(bits) + ".wav");
        std::string out, err;
        ASSERT_EQ(RunCommand(RecordCommand,
                             {path, "--device", "ZEL_Wave6", "--seconds", "0.05", "--rate", "96000",
                              "--bits", std::to_string(bits), "--json"},
                             &out, &err),
                  kWdmExitOk)
            << err;
        const nlohmann::json j = Json(out);
        EXPECT_EQ(j["frames"], 4800);
        EXPECT_EQ(j["ramp_breaks"], nlohmann::json({0, 0})) << out;
        EXPECT_EQ(j["inputs"], nlohmann::json({11, 12}));
        // The file holds what was recorded, at the asked width: the ramp of inputs 11 and 12.
        AudioClip clip;
        WavFileFormat format;
        std::string error;
        ASSERT_TRUE(ProbeWavFile(path, &format, &error)) << error;
        EXPECT_EQ(format.bits, bits);
        ASSERT_TRUE(ReadWavFile(path, &clip, &error)) << error;
        ASSERT_EQ(clip.channels.size(), 2U);
        EXPECT_EQ(clip.Frames(), 4800U);
        EXPECT_EQ(RampBreaks(clip.channels[0], 10, bits), 0U);
        EXPECT_EQ(RampBreaks(clip.channels[1], 11, bits), 0U);
        if (bits == 32) {
            EXPECT_NE(RampBreaks(clip.channels[0], 11, bits), 0U) << "inputs swapped";
        }
        std::filesystem::remove(path);
    }
    // The check itself catches a lost sample.
    std::vector<int32_t> ramp;
    for (uint64_t f = 100; f < 200; ++f) ramp.push_back(RampInputSample(3, f) * 256);
    EXPECT_EQ(RampBreaks(ramp, 3, 32), 0U);
    ramp.erase(ramp.begin() + 50);
    EXPECT_EQ(RampBreaks(ramp, 3, 32), 1U);
}

TEST(WdmCommands, MidiSendComesOutOfTheDeviceAndBackInOrder) {
    std::string out, err;
    ASSERT_EQ(RunCommand(MidiCommand, {"--json", "send", "90 3C 7F", "803C00", "F0,7E,7F,09,01,F7"},
                         &out, &err),
              kWdmExitOk)
        << err;
    const nlohmann::json j = Json(out);
    EXPECT_EQ(j["bytes_sent"], 12);
    EXPECT_EQ(j["device_midi_out_bytes"], 12);
    EXPECT_TRUE(j["midi_out_matches"].get<bool>());
    EXPECT_EQ(j["received"], "90 3C 7F 80 3C 00 F0 7E 7F 09 01 F7");

    // Bytes arriving on the MIDI IN wire reach the application.
    ASSERT_EQ(
        RunCommand(MidiCommand, {"--json", "receive", "--seconds", "0.05", "--inject", "B07B00"},
                   &out, &err),
        kWdmExitOk)
        << err;
    EXPECT_EQ(Json(out)["received"], "B0 7B 00");
}

TEST(WdmCommands, MixerListsMuteLinesAndSetsOne) {
    std::string out, err;
    ASSERT_EQ(RunCommand(MixerCommand, {"--json"}, &out, &err), kWdmExitOk) << err;
    const nlohmann::json all = Json(out);
    ASSERT_EQ(all["mixers"].size(), 9U);
    // Pairs 1-4 have a mute on each path, none muted at load; pairs 5-9 none the system can set.
    for (const auto& m : all["mixers"]) {
        int mutes = 0;
        for (const auto& l : m["lines"]) {
            if (l["has_mute"].get<bool>()) ++mutes;
            EXPECT_FALSE(l["muted"].get<bool>()) << m;
        }
        const int n = m["name"].get<std::string>().back() - '0';
        EXPECT_EQ(mutes, n <= 4 ? 2 : 0) << m;
    }

    ASSERT_EQ(
        RunCommand(MixerCommand, {"--device", "ZEL_Mixer2", "--set", "3", "--mute", "on", "--json"},
                   &out, &err),
        kWdmExitOk)
        << err;
    const nlohmann::json set = Json(out);
    EXPECT_TRUE(set["set"]["confirmed"].get<bool>());
    ASSERT_EQ(set["mixers"].size(), 1U);
    bool seen = false;
    for (const auto& l : set["mixers"][0]["lines"]) {
        if (l["node"] != 3) continue;
        seen = true;
        EXPECT_TRUE(l["muted"].get<bool>());
        EXPECT_EQ(l["path"], "recording");
    }
    EXPECT_TRUE(seen) << out;

    // A node without the mute control: the driver's status is reported.
    EXPECT_EQ(RunCommand(MixerCommand, {"--device", "ZEL_Mixer6", "--set", "1", "--mute", "on"},
                         &out, &err),
              kWdmExitRefused);
    EXPECT_NE(err.find("status 0x"), std::string::npos) << err;
    EXPECT_EQ(RunCommand(MixerCommand, {"--device", "ZEL_Mixer12"}, &out, &err), kWdmExitUsage);
}

}  // namespace
}  // namespace q407::tools
