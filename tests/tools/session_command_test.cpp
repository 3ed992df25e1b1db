// The ASIO test host through the real driver library on the emulated machine, in virtual time:
// q407 demo's verdict and recording, q407 session playing and recording WAV files, the host
// reopening the driver when it asks for a reset (an unplugged and replugged device), the round
// trip the same at every start and equal to the reported latencies, and the commands' errors.
#include "tools/session_command.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tools/asio_device_session.h"
#include "tools/demo_command.h"
#include "tools/device_rig.h"
#include "tools/latency_sweep.h"
#include "tools/round_trip_analysis.h"
#include "tools/test_signal.h"
#include "tools/wav_io.h"

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
            ("q407_session_" + std::to_string(getpid()) + "_" + name))
        .string();
}

TEST(DemoCommand, FastRunIsBitExactOnEveryOutputAtTheReportedRoundTrip) {
    const std::string wav = TempPath("demo.wav");
    std::string out, err;
    const int rc = RunCommand(DemoCommand, {"--fast", "--json", "--seconds", "1", "--record", wav},
                              &out, &err);
    ASSERT_EQ(rc, 0) << out << err;
    const auto j = nlohmann::json::parse(out);
    EXPECT_TRUE(j["passed"].get<bool>());
    EXPECT_EQ(j["asio_driver"], "ZEL Q407LX ASIO DRIVER");
    EXPECT_EQ(j["firmware"], "B 1.3");
    ASSERT_EQ(j["outputs"].size(), 8u);
    for (const auto& o : j["outputs"]) EXPECT_TRUE(o["bit_exact"].get<bool>()) << o.dump();
    EXPECT_EQ(j["dropouts"], 0);
    // 48 kHz, L = 256, n = 4: 2L + 16n + 20n(n + 1).
    EXPECT_EQ(j["round_trip_frames"], 976);
    EXPECT_EQ(j["reported_input_latency"].get<long>() + j["reported_output_latency"].get<long>(),
              976);
    // The WDM stream played whole beside the session, mixed into outputs 1/2 (checked as the mix
    // on their inputs), and every MIDI byte came back in order.
    EXPECT_TRUE(j["wdm"]["passed"].get<bool>()) << j["wdm"].dump();
    EXPECT_EQ(j["wdm"]["frames_played"], 48000);
    for (const auto& m : j["wdm"]["mix"]) EXPECT_TRUE(m["bit_exact"].get<bool>()) << m.dump();
    EXPECT_TRUE(j["midi"]["passed"].get<bool>()) << j["midi"].dump();
    EXPECT_GT(j["midi"]["bytes_received"].get<long>(), 0);
    EXPECT_EQ(j["midi"]["bytes_received"], j["midi"]["bytes_sent"]);
    // The recording holds all 16 inputs, the impulse of output 3 (which carries no WDM stream) on
    // inputs 3 and 11 at the round trip.
    AudioClip clip;
    std::string error;
    ASSERT_TRUE(ReadWavFile(wav, &clip, &error)) << error;
    EXPECT_EQ(clip.rate, 48000u);
    ASSERT_EQ(clip.channels.size(), 16u);
    EXPECT_EQ(clip.Frames(), 48000u);
    EXPECT_EQ(clip.channels[2][kImpulseFrame + 976], kImpulseSample);
    EXPECT_EQ(clip.channels[10][kImpulseFrame + 976], kImpulseSample);
    EXPECT_EQ(clip.channels[2][kImpulseFrame + 975], 0);
    std::filesystem::remove(wav);
}

TEST(SessionCommand, PlaysAWavFileToChosenOutputsAndRecordsChosenInputs) {
    // Two channels of the test signal at 44.1 kHz, played on outputs 3 and 4.
    AudioClip clip;
    clip.rate = 44100;
    clip.channels = {TestSignalChannel(2, 22050), TestSignalChannel(3, 22050)};
    const std::string in = TempPath("play.wav"), rec = TempPath("rec.wav");
    std::string error;
    ASSERT_TRUE(WriteWavFile(in, clip, &error)) << error;
    std::string out, err;
    const int rc = RunCommand(SessionCommand,
                              {"--play", in, "--outputs", "3-4", "--inputs", "3,12,5", "--record",
                               rec, "--latency", "64", "--buffers", "2", "--json"},
                              &out, &err);
    ASSERT_EQ(rc, 0) << out << err;
    const auto j = nlohmann::json::parse(out);
    EXPECT_EQ(j["rate"], 44100.0);
    EXPECT_EQ(j["buffer_frames"], 64);
    const long reported = j["input_latency"].get<long>() + j["output_latency"].get<long>();
    // Input 3 carries output 3, input 12 output 4; input 5's source did not play.
    ASSERT_EQ(j["channels"].size(), 2u) << out;
    for (const auto& c : j["channels"]) {
        EXPECT_TRUE(c["bit_exact"].get<bool>()) << c.dump();
        EXPECT_EQ(c["round_trip_frames"].get<long>(), reported) << c.dump();
    }
    AudioClip recorded;
    ASSERT_TRUE(ReadWavFile(rec, &recorded, &error)) << error;
    ASSERT_EQ(recorded.channels.size(), 3u);
    EXPECT_EQ(recorded.Frames(), 22050u);
    EXPECT_TRUE(CompareChannel(clip.channels[1], recorded.channels[1]).BitExact());
    for (int32_t s : recorded.channels[2]) ASSERT_EQ(s, 0) << "input 5 hears nothing";
    std::filesystem::remove(in);
    std::filesystem::remove(rec);
}

TEST(SessionCommand, BadArgumentsAndFilesAreRefusedWithAMessage) {
    AudioClip stereo;
    stereo.rate = 48000;
    stereo.channels = {std::vector<int32_t>(100, 1 << 8), std::vector<int32_t>(100, 2 << 8)};
    const std::string file = TempPath("stereo.wav");
    std::string error;
    ASSERT_TRUE(WriteWavFile(file, stereo, &error)) << error;
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"--play", TempPath("absent.wav")}, "absent.wav"},
        {{"--play", file, "--outputs", "1-3"}, "fewer than the 3 outputs"},
        {{"--play", file, "--rate", "44100"}, "48000 Hz, not the --rate 44100"},
        {{"--outputs", "9"}, "--outputs"},
        {{"--inputs", "0"}, "--inputs"},
        {{"--inputs", "2,2"}, "named twice"},
        {{"--latency", "16"}, "latency"},
        {{"--rate", "22050"}, "rate"},
        {{"--unknown"}, "unknown"},
    };
    for (const auto& [args, text] : bad) {
        std::string out, err;
        EXPECT_EQ(RunCommand(SessionCommand, args, &out, &err), 2) << args[0] << " " << err;
        EXPECT_NE(err.find(text), std::string::npos) << err;
        EXPECT_TRUE(out.empty());
    }
    std::string out, err;
    EXPECT_EQ(RunCommand(SessionCommand, {"--driver", TempPath("none.so"), "--seconds", "0.1"},
                         &out, &err),
              1);
    EXPECT_NE(err.find("cannot load the ASIO driver"), std::string::npos) << err;
    EXPECT_EQ(RunCommand(DemoCommand, {"--fast", "--seconds", "0"}, &out, &err), 2);
    std::filesystem::remove(file);
}

TEST(AsioHost, AResetRequestAfterAnUnplugIsAnsweredByReopeningTheDriver) {
    DeviceSession session;
    std::string error;
    ASSERT_TRUE(session.Boot({}, &error)) << error;
    AsioSessionRequest request;
    request.outputs = {0};
    request.inputs = {0};
    request.frames = 48000;
    request.resetWaitSeconds = 2;
    request.signal = [](size_t, uint64_t f) { return TestSignalSample(f, 0); };
    double elapsed = 0;
    bool unplugged = false, replugged = false;
    DeviceRig& rig = session.Rig();
    request.advance = [&](double seconds) {
        rig.RunForSeconds(seconds);
        elapsed += seconds;
        if (!unplugged && elapsed >= 0.3) {
            rig.Unplug();
            unplugged = true;
        } else if (unplugged && !replugged && elapsed >= 0.8) {
            ASSERT_TRUE(NT_SUCCESS(rig.Replug()));
            rig.Device().LoopbackAllInputs();
            replugged = true;
        }
    };
    DeviceSessionResult result;
    ASSERT_EQ(session.Run(request, &result, &error), AsioSessionFailure::None) << error;
    EXPECT_TRUE(replugged);
    EXPECT_GE(result.asio.resetRequests, 1u);
    EXPECT_EQ(result.asio.reopenings, result.asio.resetRequests);
    EXPECT_EQ(result.asio.recorded.at(0).size(), 48000u) << "the session went on after the reopen";
    // After the reopen the stream runs again at the reported round trip: the last switches
    // recorded what the last ones played.
    EXPECT_GT(result.asio.bufferSwitches, 48000u / 256u);
}

TEST(AsioHost, AResetThatNeverReopensEndsTheSessionWithAnError) {
    DeviceSession session;
    std::string error;
    ASSERT_TRUE(session.Boot({}, &error)) << error;
    AsioSessionRequest request;
    request.inputs = {0};
    request.frames = 48000;
    request.resetWaitSeconds = 0.5;
    double elapsed = 0;
    bool unplugged = false;
    request.advance = [&](double seconds) {
        session.Rig().RunForSeconds(seconds);
        elapsed += seconds;
        if (!unplugged && elapsed >= 0.2) {
            session.Rig().Unplug();
            unplugged = true;
        }
    };
    DeviceSessionResult result;
    EXPECT_EQ(session.Run(request, &result, &error), AsioSessionFailure::ResetTimeout);
    EXPECT_NE(error.find("did not open again"), std::string::npos) << error;
}

// A small part of the sweep of q407 session --latency-sweep: the round trip through the real
// driver is the same at every start and equal to what the driver reports, also where the pipes'
// phase used to move it (96 kHz, L = 32, n = 2).
TEST(LatencySweep, RoundTripIsTheSameAtEveryStartAndAsReported) {
    for (const auto& [rate, latency, buffers] :
         std::vector<std::tuple<uint32_t, uint32_t, uint32_t>>{{96000, 32, 2}, {44100, 256, 5}}) {
        LatencySweepRow row;
        std::string error;
        ASSERT_TRUE(MeasureRoundTrips(rate, latency, buffers, 8, "", &row, &error)) << error;
        EXPECT_EQ(row.starts, 8u);
        EXPECT_EQ(row.minFrames, row.maxFrames) << rate << " " << latency << " " << buffers;
        EXPECT_EQ(row.maxFrames, row.reportedFrames) << rate << " " << latency << " " << buffers;
        EXPECT_TRUE(row.Agrees());
    }
}

}  // namespace
}  // namespace q407::tools
