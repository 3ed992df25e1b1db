// q407 panel end to end, with a winelib program that stands in for the panel (a window that
// looks for the device through the bridge and a "Q407 Class" message window) and with the panel
// itself: the picture of the main window on a private machine and screen, unplug and replug
// reaching the program, the stop on SIGINT, a second start on the same machine, and the ASIO
// driver's controlPanel showing or starting the panel.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/wine/wine_session.h"

extern char** environ;

namespace q407::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kStandIn = Q407_WINE_PROGRAM_panel_stand_in;
const char* const kPanel = Q407_WINE_PROGRAM_Q407Pan;
constexpr Timeout kPatience{90000};

// This process's environment without DISPLAY, with the extra NAME=VALUE entries.
std::vector<std::string> Environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool dropped = name == "DISPLAY";
        for (const std::string& x : extra) dropped = dropped || x.substr(0, x.find('=')) == name;
        if (!dropped) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

// Whether a "q407 panel --machine SOCKET" runs (this test's socket makes the match its own).
bool PanelRunsOn(const std::string& socket) {
    using namespace std::string_literals;
    const std::string wanted = "\0panel\0--machine\0"s + socket + "\0"s;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        const std::string line((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        if (line.find(wanted) != std::string::npos) return true;
    }
    return false;
}

int Count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

class PanelCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!wine_.Available()) GTEST_SKIP() << wine_.UnavailableReason();
        dir_ = std::string(Q407_PANEL_TEST_DIR) + "/run-" + std::to_string(getpid());
        // A socket's path has room for 107 bytes.
        if (dir_.size() > 90) dir_ = "/tmp/q407-panel-test-" + std::to_string(getpid());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        socket_ = dir_ + "/m.sock";
        log_ = dir_ + "/stand-in.log";
    }

    void TearDown() override {
        if (machine_) {
            machine_->Signal(SIGINT);
            EXPECT_EQ(machine_->WaitForExit(kPatience), 0) << machine_->ErrorText();
        }
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    void StartMachine() {
        machine_ =
            wine_.StartNative({Q407_PROGRAM, "machine", "--socket", socket_, "--settings",
                               dir_ + "/registry.txt", "--log", dir_ + "/trace.log", "--json"});
        ASSERT_TRUE(machine_);
        const std::optional<std::string> started = machine_->WaitForLine("{", kPatience);
        ASSERT_TRUE(started) << machine_->ErrorText();
    }

    // Runs q407 panel to its end; its exit code and its JSON report.
    std::optional<int> RunPanel(const std::vector<std::string>& args,
                                const std::vector<std::string>& environment, nlohmann::json* report,
                                const char* program = kStandIn) {
        std::vector<std::string> argv = {Q407_PROGRAM, "panel", "--program", program, "--json"};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::string output = dir_ + "/panel.out";
        std::vector<std::string> extra = environment;
        extra.push_back("Q407_STAND_IN_LOG=" + log_);
        const std::optional<int> code = RunBounded(argv, Environment(extra), output, kPatience);
        std::ifstream in(output);
        std::string line;
        while (std::getline(in, line)) {
            text_ += line + "\n";
            if (!line.empty() && line[0] == '{') *report = nlohmann::json::parse(line);
        }
        return code;
    }

    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::ifstream in(log_);
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
        return lines;
    }

    // Waits (bounded) until the stand-in's log has at least count lines equal to line.
    bool WaitForLog(const std::string& line, int count = 1, Timeout limit = kPatience) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (Count(LogLines(), line) >= count) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(100ms);
        }
    }

    // q407 session --control-panel on the test's machine.
    std::optional<int> AskControlPanel(const std::vector<std::string>& environment) {
        return RunBounded({Q407_PROGRAM, "session", "--machine", socket_, "--control-panel"},
                          Environment(environment), dir_ + "/session.out", kPatience);
    }

    WineSession& wine_ = WineSession::Shared();
    std::string dir_;
    std::string socket_;
    std::string log_;
    std::string text_;  // everything q407 panel wrote
    std::unique_ptr<WineProcess> machine_;
};

// The size of the rectangle in a report ({"x", "y", "width", "height"}).
std::pair<int, int> SizeOf(const nlohmann::json& rect) {
    return {rect["width"].get<int>(), rect["height"].get<int>()};
}

TEST_F(PanelCommandTest, HeadlessRunUnplugsAndReplugsOnScheduleAndStopsCleanOnSigint) {
    std::unique_ptr<WineProcess> panel =
        wine_.StartNative({Q407_PROGRAM, "panel", "--headless", "--program", kStandIn, "--json",
                           "--unplug-after", "0.5", "--replug-after", "2.5"},
                          {"Q407_STAND_IN_LOG=" + log_});
    ASSERT_TRUE(panel);
    // The program saw the device through the bridge, its removal and its return.
    ASSERT_TRUE(WaitForLog("device present", 2)) << panel->ErrorText();
    // Its progress lines go to standard error beside the JSON report.
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (panel->ErrorText().find("opened the panel's main window") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    panel->Signal(SIGINT);
    ASSERT_EQ(panel->WaitForExit(kPatience), 0) << panel->ErrorText();
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"device present", "device absent", "device present"}));
    const std::optional<std::string> line = panel->WaitForLine("{", Timeout(1000));
    ASSERT_TRUE(line) << panel->ErrorText();
    const nlohmann::json report = nlohmann::json::parse(*line);
    // With --json the report is all that standard output holds; the progress went beside it.
    EXPECT_EQ(panel->Lines().size(), 1u);
    for (const char* progress :
         {"q407 panel: the panel reached the machine after", "q407 panel: unplugged unit 0",
          "q407 panel: plugged in unit 0", "q407 panel: stopping"})
        EXPECT_NE(panel->ErrorText().find(progress), std::string::npos) << progress;
    EXPECT_EQ(report["stop_signal"], SIGINT);
    EXPECT_TRUE(report["ok"].get<bool>()) << panel->ErrorText();
    EXPECT_TRUE(report["headless"].get<bool>());
    EXPECT_TRUE(report["private_machine"].get<bool>());
    EXPECT_TRUE(report["machine_clean"].get<bool>()) << panel->ErrorText();
    EXPECT_TRUE(report["screenshot"].is_null());
    // The window program found and opened the program's window as Wine placed it.
    ASSERT_TRUE(report["window"].is_object()) << report.dump();
    EXPECT_EQ(SizeOf(report["window"]), std::make_pair(320, 200));
    EXPECT_EQ(report["window"]["title"], "Q407 LX Control Panel");

    // The schedule counts from when the program connected to the machine.
    ASSERT_EQ(report["events"].size(), 2u) << report.dump();
    EXPECT_EQ(report["events"][0]["action"], "unplug");
    EXPECT_EQ(report["events"][1]["action"], "plug");
    EXPECT_GT(report["panel_connected_after"].get<double>(), 0.0);
    EXPECT_GE(report["events"][0]["at"].get<double>(), 0.5);
    EXPECT_GE(report["events"][1]["at"].get<double>(), 2.5);
    EXPECT_LT(report["events"][0]["at"].get<double>(), report["events"][1]["at"].get<double>());
    for (const auto& event : report["events"]) EXPECT_TRUE(event["ok"].get<bool>());

    // Its machine's socket, prefix and screen went with it.
    const std::string socket = report["machine"].get<std::string>();
    EXPECT_FALSE(socket.empty());
    EXPECT_FALSE(fs::exists(socket));
    EXPECT_FALSE(fs::exists(fs::path(socket).parent_path()));
}

TEST_F(PanelCommandTest, OnARunningMachineTheAsioDriverStartsOnePanelThatLaterRequestsShow) {
    ASSERT_NO_FATAL_FAILURE(StartMachine());
    // ShellExecuteW runs "q407 panel --machine SOCKET" from beside the session's q407, on the
    // session's screen (the desktop path: no private Xvfb).
    const std::vector<std::string> env = {"Q407_PANEL_PROGRAM=" + std::string(kStandIn),
                                          "Q407_STAND_IN_LOG=" + log_,
                                          "DISPLAY=" + wine_.Display()};
    ASSERT_EQ(AskControlPanel(env), 0);
    ASSERT_TRUE(WaitForLog("device present")) << "no panel came up";
    ASSERT_TRUE(PanelRunsOn(socket_));
    // Asked again once its window is known to the machine: shown, not started twice.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    bool shown = false;
    while (!shown && std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(AskControlPanel(env), 0);
        shown = WaitForLog("show", 1, Timeout(1000));
    }
    ASSERT_TRUE(shown) << "the driver's request never reached the panel's window";

    // A second start on the same machine brings the first up and ends at once.
    nlohmann::json report;
    ASSERT_EQ(RunPanel({"--machine", socket_}, {"DISPLAY=" + wine_.Display()}, &report), 0)
        << text_;
    EXPECT_TRUE(report["already_running"].get<bool>());
    EXPECT_FALSE(report["private_machine"].get<bool>());
    EXPECT_TRUE(WaitForLog("show", 2));
    EXPECT_EQ(Count(LogLines(), "device present"), 1);

    // Stopping the machine ends the panel that it started.
    machine_->Signal(SIGINT);
    EXPECT_EQ(machine_->WaitForExit(kPatience), 0) << machine_->ErrorText();
    machine_.reset();
    const auto ended = std::chrono::steady_clock::now() + 30s;
    while (PanelRunsOn(socket_) && std::chrono::steady_clock::now() < ended)
        std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(PanelRunsOn(socket_));
}

TEST_F(PanelCommandTest, TheControlPanelProgramRunsSharesItsWindowAndIsShownOnASecondStart) {
    nlohmann::json report;
    const std::string shot = dir_ + "/panel.png";
    ASSERT_EQ(
        RunPanel({"--headless", "--unplug-after", "0.5", "--screenshot", shot, "--after", "2.5"},
                 {}, &report, kPanel),
        0)
        << text_;
    EXPECT_TRUE(report["panel_connected_after"].is_number()) << report.dump();
    // No DISPLAY: headless without being asked; the run ends clean once the picture is written.
    EXPECT_TRUE(report["headless"].get<bool>());
    EXPECT_TRUE(report["machine_clean"].get<bool>()) << text_;
    EXPECT_EQ(report["screenshot"], shot);
    EXPECT_FALSE(fs::exists(fs::path(report["machine"].get<std::string>()).parent_path()));
    // The main dialog, opened from its hidden start: a picture of it alone, well inside the
    // screen, showing that the device has gone.
    ASSERT_TRUE(report["screenshot_rect"].is_object()) << report.dump();
    const std::string title = report["screenshot_rect"]["title"].get<std::string>();
    EXPECT_EQ(title.rfind("ZEL", 0), 0u) << title;
    EXPECT_TRUE(title.ends_with("No Device")) << title;
    const std::pair<int, int> size = SizeOf(report["screenshot_rect"]);
    EXPECT_EQ(PngSize(shot), std::make_optional(size));
    EXPECT_GT(size.first, 400);
    EXPECT_LT(size.first, 1024);
    EXPECT_GT(size.second, 200);
    EXPECT_LT(size.second, 768);

    ASSERT_NO_FATAL_FAILURE(StartMachine());
    std::unique_ptr<WineProcess> panel =
        wine_.StartNative({Q407_PROGRAM, "panel", "--machine", socket_, "--program", kPanel});
    ASSERT_TRUE(panel);
    // Its progress: the panel has connected to the machine.
    ASSERT_TRUE(panel->WaitForLine("q407 panel: the panel reached the machine", kPatience))
        << panel->ErrorText();
    // Once its message window is known to the machine, the driver's request starts nothing.
    const std::string marker = dir_ + "/started";
    const std::vector<std::string> env = {"Q407_PANEL_COMMAND=echo started >> '" + marker + "'"};
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    bool found = false;
    while (!found && std::chrono::steady_clock::now() < deadline) {
        fs::remove(marker);
        ASSERT_EQ(AskControlPanel(env), 0);
        std::this_thread::sleep_for(500ms);
        found = !fs::exists(marker);
    }
    ASSERT_TRUE(found) << panel->ErrorText();
    nlohmann::json second;
    ASSERT_EQ(RunPanel({"--machine", socket_}, {}, &second, kPanel), 0) << text_;
    EXPECT_TRUE(second["already_running"].get<bool>());
    panel->Signal(SIGINT);
    EXPECT_EQ(panel->WaitForExit(kPatience), 0) << panel->ErrorText();
}

}  // namespace
}  // namespace q407::test
