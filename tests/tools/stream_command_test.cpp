// The q407 stream subcommand: its argument checks and one short run's report.
#include "tools/stream_command.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "tools/command_line.h"

namespace q407::tools {
namespace {

int RunStreamCommand(std::vector<std::string> args, std::string* out, std::string* err) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    std::ostringstream o;
    std::ostringstream e;
    const int rc = StreamCommand(static_cast<int>(argv.size()), argv.data(), o, e);
    *out = o.str();
    *err = e.str();
    return rc;
}

uint64_t Counter(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    if (at == std::string::npos) return UINT64_MAX;
    return std::stoull(json.substr(at + key.size() + 4));
}

TEST(StreamCommand, BadArgumentsAreRefusedWithAMessage) {
    std::string out;
    std::string err;
    const std::vector<std::vector<std::string>> bad = {
        {"--rate", "32000"}, {"--rate", "48k"},   {"--buffers", "6"},     {"--buffers", "1"},
        {"--seconds", "0"},  {"--seconds", "-3"}, {"--seconds", "1.2.3"}, {"--seconds"},
        {"--pcap="},         {"--frobnicate"},    {"--buffers=four"},
    };
    for (const auto& args : bad) {
        EXPECT_EQ(RunStreamCommand(args, &out, &err), 2) << args[0];
        EXPECT_NE(err.find("q407 stream: "), std::string::npos) << args[0];
        EXPECT_NE(err.find("usage: q407 stream"), std::string::npos) << args[0];
        EXPECT_TRUE(out.empty());
    }
}

TEST(StreamCommand, HelpPrintsTheUsage) {
    std::string out;
    std::string err;
    EXPECT_EQ(RunStreamCommand({"--help"}, &out, &err), 0);
    EXPECT_NE(out.find("--buffers"), std::string::npos);
    EXPECT_TRUE(err.empty());
}

TEST(StreamCommand, OptionsInBothSpellings) {
    std::string error;
    std::vector<std::string> args = {"--seconds=2.5", "--rate", "88200", "--buffers=3",
                                     "--real-time",   "--pcap", "x.pcap"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    const auto options = ParseStreamOptions(static_cast<int>(argv.size()), argv.data(), &error);
    ASSERT_TRUE(options.has_value()) << error;
    EXPECT_DOUBLE_EQ(options->seconds, 2.5);
    EXPECT_EQ(options->rate, 88200u);
    EXPECT_EQ(options->buffers, 3u);
    EXPECT_TRUE(options->realTime);
    EXPECT_EQ(options->pcapPath, "x.pcap");
}

TEST(StreamCommand, ShortRunReportsThePipeCounters) {
    std::string out;
    std::string err;
    ASSERT_EQ(RunStreamCommand({"--seconds", "2", "--rate", "48000", "--buffers", "4"}, &out, &err),
              0)
        << err;
    for (const char* key :
         {"playback_transfers", "capture_transfers", "midi_in_transfers", "device_underruns",
          "device_overruns", "capture_units_dropped", "midi_out_bytes", "midi_in_bytes"})
        EXPECT_NE(out.find(std::string("\"") + key + "\": "), std::string::npos) << key;
    // 48 kHz, n = 4: 600 playback and 750 capture completions per second, within the n
    // transfers in flight.
    EXPECT_NEAR(double(Counter(out, "playback_transfers")), 1200.0, 4.0) << out;
    EXPECT_NEAR(double(Counter(out, "capture_transfers")), 1500.0, 4.0) << out;
    EXPECT_EQ(Counter(out, "device_underruns"), 0u) << out;
    EXPECT_EQ(Counter(out, "device_overruns"), 0u) << out;
    EXPECT_EQ(Counter(out, "midi_in_bytes"), 12u) << out;
    EXPECT_EQ(Counter(out, "midi_out_bytes"), 12u) << out;
}

TEST(CommandLine, NumbersAreParsedStrictly) {
    EXPECT_EQ(ParseInteger("42", 0, 100), 42);
    EXPECT_FALSE(ParseInteger("42 ", 0, 100).has_value());
    EXPECT_FALSE(ParseInteger("101", 0, 100).has_value());
    EXPECT_FALSE(ParseInteger("", 0, 100).has_value());
    EXPECT_DOUBLE_EQ(*ParsePositiveNumber("0.25", 10), 0.25);
    EXPECT_FALSE(ParsePositiveNumber("11", 10).has_value());
    EXPECT_FALSE(ParsePositiveNumber(".", 10).has_value());
}

}  // namespace
}  // namespace q407::tools
