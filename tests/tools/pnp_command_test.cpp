// q407 pnp and the Plug and Play options of q407 stream: argument checks and short runs whose
// reports must show every event doing what it should and nothing left behind.
#include "tools/pnp_command.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tools/stream_command.h"

namespace q407::tools {
namespace {

using Command = int (*)(int, char**, std::ostream&, std::ostream&);

int RunCommand(Command command, std::vector<std::string> args, std::string* out, std::string* err) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    std::ostringstream o;
    std::ostringstream e;
    const int rc = command(static_cast<int>(argv.size()), argv.data(), o, e);
    *out = o.str();
    *err = e.str();
    return rc;
}

TEST(PnpCommand, CyclesAlternateAndLeaveNothingBehind) {
    std::string out;
    std::string err;
    ASSERT_EQ(RunCommand(PnpCommand, {"--cycles", "5", "--json"}, &out, &err), 0) << out << err;
    const nlohmann::json r = nlohmann::json::parse(out);
    EXPECT_EQ(r["cycles"], 5);
    EXPECT_EQ(r["plug"]["ok"], 5);
    EXPECT_EQ(r["stream"]["ok"], 5);
    EXPECT_EQ(r["surprise_removal"]["count"], 3);  // cycles 1, 3 and 5
    EXPECT_EQ(r["surprise_removal"]["failed"], 0);
    EXPECT_EQ(r["removal"]["count"], 2);
    EXPECT_EQ(r["removal"]["failed"], 0);
    EXPECT_TRUE(r["pool_left_bytes"].empty());
    EXPECT_GT(r["virtual_seconds"].get<double>(), 0.25);  // 5 x 50 ms streamed at least
    EXPECT_EQ(r["clean"], true);
    EXPECT_NE(err.find("q407 pnp: cycle 5/5"), std::string::npos);  // progress on stderr

    ASSERT_EQ(RunCommand(PnpCommand, {"--cycles=2"}, &out, &err), 0);
    EXPECT_NE(out.find("pulled out"), std::string::npos);
    EXPECT_NE(out.find("pool left          none"), std::string::npos);
    EXPECT_NE(out.find("result             clean"), std::string::npos);
}

TEST(PnpCommand, BadArgumentsAreRefused) {
    std::string out;
    std::string err;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--cycles", "0"},
                                                 {"--cycles", "x"},
                                                 {"--cycles"},
                                                 {"--stream-seconds", "0"},
                                                 {"--frobnicate"}}) {
        EXPECT_EQ(RunCommand(PnpCommand, args, &out, &err), 2) << args[0];
        EXPECT_NE(err.find("q407 pnp: "), std::string::npos);
        EXPECT_TRUE(out.empty());
    }
    EXPECT_EQ(RunCommand(PnpCommand, {"--help"}, &out, &err), 0);
    EXPECT_NE(out.find("--cycles"), std::string::npos);
}

TEST(StreamPnp, UnplugReplugAndSleepAreReportedAndTheStreamGoesOn) {
    std::string out;
    std::string err;
    ASSERT_EQ(RunCommand(StreamCommand,
                         {"--seconds", "3", "--unplug-after", "0.5", "--replug-after", "0.5",
                          "--sleep-after", "1.5"},
                         &out, &err),
              0)
        << err;
    const nlohmann::json r = nlohmann::json::parse(out);
    const auto& events = r["events"];
    ASSERT_EQ(events.size(), 4u);
    const char* order[] = {"unplug", "replug", "sleep", "wake"};
    const double at[] = {0.5, 1.0, 1.5, 2.5};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(events[i]["event"], order[i]);
        EXPECT_DOUBLE_EQ(events[i]["at"].get<double>(), at[i]);
        EXPECT_EQ(events[i]["status"], "0x00000000");
    }
    // 2.5 s of the 3 on a live device at 48 kHz: 120000 frames, 6000 units of 20 frames;
    // the pulled-out half second moves nothing.
    const uint64_t units = r["device_playback_units"];
    EXPECT_GT(units, 5500u);
    EXPECT_LT(units, 6200u);
    EXPECT_GT(r["playback_transfers"].get<uint64_t>(), 0u);
}

TEST(StreamPnp, BadTimingsAreRefused) {
    std::string out;
    std::string err;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--replug-after", "1"},
                                                 {"--unplug-after", "0"},
                                                 {"--unplug-after", "soon"},
                                                 {"--unplug-after"},
                                                 {"--seconds", "2", "--sleep-after", "2"},
                                                 {"--real-time", "--unplug-after", "1"}}) {
        EXPECT_EQ(RunCommand(StreamCommand, args, &out, &err), 2) << args[0];
        EXPECT_NE(err.find("q407 stream: "), std::string::npos) << args[0];
        EXPECT_TRUE(out.empty());
    }
}

}  // namespace
}  // namespace q407::tools
