// q407 info end to end: the machine boots, a client process opens the device and the report
// carries what the driver and the virtual device answered.
#include "tools/info_command.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace q407::tools {
namespace {

int RunInfo(std::vector<std::string> args, std::string* out, std::string* err) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    std::ostringstream o, e;
    const int rc = InfoCommand(static_cast<int>(argv.size()), argv.data(), o, e);
    *out = o.str();
    *err = e.str();
    return rc;
}

TEST(InfoCommandTest, JsonReportsDriverVersionChannelsAndDeviceState) {
    std::string out, err;
    ASSERT_EQ(RunInfo({"--json"}, &out, &err), 0) << err;
    const auto report = nlohmann::json::parse(out);
    EXPECT_EQ(report.at("driverVersion"), "1.4");
    EXPECT_EQ(report.at("inputs"), 16);
    EXPECT_EQ(report.at("outputs"), 8);
    EXPECT_EQ(report.at("sampleRate"), 44100);
    EXPECT_EQ(report.at("latencyFrames"), 256);
    EXPECT_EQ(report.at("usbBuffers"), 4);
    EXPECT_EQ(report.at("clockMode"), "internal");
    EXPECT_EQ(report.at("firmware").at("letter").get<std::string>().size(), 1u);
    EXPECT_NE(report.at("device").get<std::string>().find("ce872cd5"), std::string::npos);
}

TEST(InfoCommandTest, HumanReportAndBadArguments) {
    std::string out, err;
    ASSERT_EQ(RunInfo({}, &out, &err), 0) << err;
    EXPECT_NE(out.find("driver version     1.4"), std::string::npos) << out;
    EXPECT_NE(out.find("16 inputs, 8 outputs"), std::string::npos) << out;

    EXPECT_EQ(RunInfo({"--rate"}, &out, &err), 2);
    EXPECT_NE(err.find("q407 info"), std::string::npos);
    EXPECT_EQ(RunInfo({"--help"}, &out, &err), 0);
    EXPECT_NE(out.find("--json"), std::string::npos);
}

}  // namespace
}  // namespace q407::tools
