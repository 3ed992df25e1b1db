// The q407 loopback subcommand: its argument checks, its report's keys, and a run that is
// bit-exact with the derived round trip.
#include "tools/loopback_command.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace q407::tools {
namespace {

int RunLoopbackCommand(std::vector<std::string> args, std::string* out, std::string* err) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    std::ostringstream o;
    std::ostringstream e;
    const int rc = LoopbackCommand(static_cast<int>(argv.size()), argv.data(), o, e);
    *out = o.str();
    *err = e.str();
    return rc;
}

std::string Value(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    if (at == std::string::npos) return "<missing>";
    const size_t from = at + key.size() + 4;
    const size_t end =
        json[from] == '[' ? json.find(']', from) + 1 : json.find_first_of(",}", from);
    return json.substr(from, end - from);
}

TEST(LoopbackCommand, BadArgumentsAreRefusedWithAMessage) {
    const std::vector<std::vector<std::string>> bad = {
        {"--latency", "31"}, {"--latency", "1025"}, {"--latency", "x"}, {"--rate", "22050"},
        {"--buffers", "1"},  {"--seconds", "0"},    {"--latency"},      {"extra"},
    };
    for (const auto& args : bad) {
        std::string out, err;
        EXPECT_EQ(RunLoopbackCommand(args, &out, &err), 2) << args[0];
        EXPECT_EQ(out, "");
        EXPECT_NE(err.find("q407 loopback: "), std::string::npos) << err;
        EXPECT_NE(err.find("usage: q407 loopback"), std::string::npos);
    }
    std::string out, err;
    EXPECT_EQ(RunLoopbackCommand({"--help"}, &out, &err), 0);
    EXPECT_NE(out.find("--latency"), std::string::npos);
}

TEST(LoopbackCommand, ShortRunIsBitExactWithTheDerivedRoundTrip) {
    std::string out, err;
    ASSERT_EQ(
        RunLoopbackCommand({"--seconds", "2", "--rate=48000", "--latency", "256", "--buffers", "4"},
                           &out, &err),
        0)
        << err;
    EXPECT_EQ(Value(out, "bit_exact"), "[true, true, true, true, true, true, true, true]");
    EXPECT_EQ(Value(out, "latency_frames"), Value(out, "derived_latency_frames"));
    EXPECT_GT(std::stoll(Value(out, "latency_frames")), 2 * 256);
    EXPECT_EQ(Value(out, "dropouts"), "0");
    EXPECT_EQ(Value(out, "device_underruns"), "0");
    EXPECT_EQ(Value(out, "device_overruns"), "0");
    EXPECT_NE(Value(out, "latency_ms"), "<missing>");
    EXPECT_NE(err.find("2.0 of 2.0 s streamed"), std::string::npos) << err;
}

TEST(LoopbackCommand, CheckFailsOnAnyMismatchOrDropout) {
    LoopbackReport good;
    good.latencyFrames = good.derivedLatencyFrames = 820;
    good.bitExact.fill(true);
    EXPECT_TRUE(LoopbackPassed(good));

    LoopbackReport inexact = good;
    inexact.bitExact[5] = false;
    EXPECT_FALSE(LoopbackPassed(inexact));

    LoopbackReport late = good;
    late.latencyFrames = 821;
    EXPECT_FALSE(LoopbackPassed(late));

    LoopbackReport silent = good;
    silent.latencyFrames = silent.derivedLatencyFrames = -1;
    EXPECT_FALSE(LoopbackPassed(silent));

    LoopbackReport dropped = good;
    dropped.dropouts = 1;
    EXPECT_FALSE(LoopbackPassed(dropped));
}

}  // namespace
}  // namespace q407::tools
