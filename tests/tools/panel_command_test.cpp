// q407 panel: what it refuses before it starts anything, and how it reports a machine that does
// not answer; the runs themselves are in the Wine tests.
#include "tools/panel_command.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace q407::tools {
namespace {

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

Outcome Panel(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    std::ostringstream o, e;
    Outcome outcome;
    outcome.code = PanelCommand(static_cast<int>(argv.size()), argv.data(), o, e);
    outcome.out = o.str();
    outcome.err = e.str();
    return outcome;
}

// Any readable file passes the program check; these cases end before it would run.
const std::string kProgram = "/proc/self/exe";

TEST(PanelCommandOptions, InconsistentSchedulesAndUnknownOptionsAreUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        std::string named;  // a word the message must hold
    };
    const std::vector<Case> cases = {
        {{"--after", "2"}, "--screenshot"},
        {{"--replug-after", "2"}, "--unplug-after"},
        {{"--unplug-after", "3", "--replug-after", "3"}, "later"},
        {{"--unplug-after", "3", "--replug-after", "1"}, "later"},
        {{"--unplug-after", "-1"}, "--unplug-after"},
        {{"--screenshot", "x.png", "--after", "100000"}, "--after"},
        {{"--machine", "/nowhere.sock", "--input", "ramp"}, "--input"},
        {{"--colour", "blue"}, "--colour"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--program", kProgram});
        const Outcome outcome = Panel(args);
        EXPECT_EQ(outcome.code, kPanelExitUsage) << c.args[0] << ": " << outcome.err;
        EXPECT_NE(outcome.err.find(c.named), std::string::npos) << outcome.err;
        EXPECT_TRUE(outcome.out.empty()) << outcome.out;
    }
}

TEST(PanelCommandOptions, HelpNamesEveryOptionAndEndsWell) {
    const Outcome outcome = Panel({"--help"});
    EXPECT_EQ(outcome.code, kPanelExitOk);
    for (const char* option : {"--machine", "--program", "--headless", "--screenshot", "--after",
                               "--unplug-after", "--replug-after", "--json", "--input"})
        EXPECT_NE(outcome.out.find(option), std::string::npos) << option;
}

TEST(PanelCommandOptions, AMissingProgramOrMachineFailsWithoutLeavingAnythingBehind) {
    const Outcome noProgram = Panel({"--program", "/nonexistent/Q407Pan.exe.so"});
    EXPECT_EQ(noProgram.code, kPanelExitFailed);
    EXPECT_NE(noProgram.err.find("/nonexistent/Q407Pan.exe.so"), std::string::npos);

    const std::string socket =
        testing::TempDir() + "no-machine-" + std::to_string(getpid()) + ".sock";
    auto runFolders = [] {
        int count = 0;
        for (const auto& entry :
             std::filesystem::directory_iterator(std::filesystem::temp_directory_path()))
            if (entry.path().filename().string().rfind("q407-panel-", 0) == 0) ++count;
        return count;
    };
    const int foldersBefore = runFolders();
    const Outcome noMachine = Panel({"--machine", socket, "--program", kProgram, "--json"});
    EXPECT_EQ(noMachine.code, kPanelExitFailed);
    const nlohmann::json report = nlohmann::json::parse(noMachine.out);
    EXPECT_FALSE(report["ok"].get<bool>());
    EXPECT_NE(report["error"].get<std::string>().find(socket), std::string::npos);
    EXPECT_FALSE(report["private_machine"].get<bool>());
    EXPECT_TRUE(report["screenshot"].is_null());
    EXPECT_NE(noMachine.err.find("no machine answers"), std::string::npos) << noMachine.err;
    EXPECT_EQ(runFolders(), foldersBefore);
}

}  // namespace
}  // namespace q407::tools
