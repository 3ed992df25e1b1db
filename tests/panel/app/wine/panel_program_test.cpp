// The control panel program under Wine against a machine with a virtual device, driven from a
// probe program as the shell and a person would: start-up with the device present, the dialog
// shown from the notification-area icon, the menus, closing, a second copy, unplug and replug,
// and pictures of the main window and the About box.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/wine/wine_session.h"

namespace q407::test {
namespace {

const char* const kPanelProgram = Q407_WINE_PROGRAM_Q407Pan;
const char* const kProbeProgram = Q407_WINE_PROGRAM_panel_probe_program;
constexpr Timeout kPatience{60000};
constexpr const char* kAttachedTitle = "ZEL Q407 LX Control Panel - Ver 1.4";

class PanelProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!wine_.Available()) GTEST_SKIP() << wine_.UnavailableReason();
        dir_ = std::string(Q407_PANEL_TEST_DIR) + "/run-" + std::to_string(getpid());
        // A socket's path has room for 107 bytes.
        if (dir_.size() > 90) dir_ = "/tmp/q407-panel-" + std::to_string(getpid());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        socket_ = dir_ + "/m.sock";
    }

    void TearDown() override {
        if (probe_) {
            probe_->Send("quit");
            probe_->WaitForExit(kPatience);
        }
        if (panel_) panel_->Kill();
        wine_.KillWine();
        if (machine_) {
            machine_->Signal(SIGINT);
            machine_->WaitForExit(kPatience);
        }
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    void StartMachine() {
        machine_ =
            wine_.StartNative({Q407_PROGRAM, "machine", "--socket", socket_, "--settings",
                               dir_ + "/registry.txt", "--log", dir_ + "/trace.log", "--json"});
        ASSERT_TRUE(machine_);
        std::optional<std::string> started = machine_->WaitForLine("{", kPatience);
        ASSERT_TRUE(started) << machine_->ErrorText();
        ASSERT_NE(started->find("\"started\""), std::string::npos) << *started;
    }

    bool Device(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {Q407_PROGRAM, "device", "--machine", socket_};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunBounded(argv, {}, dir_ + "/device.out", kPatience) == 0;
    }

    std::unique_ptr<WineProcess> StartPanel() {
        return wine_.Start(kPanelProgram, {}, {"Q407_MACHINE=" + socket_});
    }

    void StartProbe() {
        probe_ = wine_.Start(kProbeProgram, {}, {"Q407_MACHINE=" + socket_});
        ASSERT_TRUE(probe_);
        ASSERT_TRUE(probe_->WaitForLine("probe ready", kPatience));
    }

    std::string Ask(const std::string& command, const std::string& prefix) {
        if (!probe_->Send(command)) return "(probe gone)";
        return probe_->WaitForLine(prefix, kPatience).value_or("(no answer)");
    }

    // The window rectangle of a "panel visible V topmost T rect X Y W H ..." answer.
    static std::optional<ScreenRect> RectOf(const std::string& answer) {
        std::istringstream in(answer);
        std::string word;
        while (in >> word && word != "rect") {
        }
        ScreenRect rect{};
        if (!(in >> rect.x >> rect.y >> rect.width >> rect.height)) return std::nullopt;
        return rect;
    }

    WineSession& wine_ = WineSession::Shared();
    std::string dir_;
    std::string socket_;
    std::unique_ptr<WineProcess> machine_;
    std::unique_ptr<WineProcess> panel_;
    std::unique_ptr<WineProcess> probe_;
};

TEST_F(PanelProgramTest, LivesInTheNotificationAreaFollowsTheDeviceAndRunsOnce) {
    ASSERT_NO_FATAL_FAILURE(StartMachine());
    panel_ = StartPanel();
    ASSERT_TRUE(panel_);
    ASSERT_NO_FATAL_FAILURE(StartProbe());

    // Started with the device present: attached, and hidden behind its icon.
    EXPECT_EQ(Ask("wait-title Ver 1.4", "title"), std::string("title ") + kAttachedTitle);
    std::string state = Ask("wait-visible 0", "panel");
    EXPECT_EQ(state.rfind("panel visible 0 topmost 0", 0), 0u) << state;

    // Another icon's notification is not ours; a left click on ours shows the dialog.
    EXPECT_EQ(Ask("tray 7 514", "tray"), "tray 0");
    EXPECT_EQ(Ask("find", "panel").rfind("panel visible 0", 0), 0u);
    EXPECT_EQ(Ask("tray 163 514", "tray"), "tray 1");  // WM_LBUTTONUP
    state = Ask("wait-visible 1", "panel");
    EXPECT_EQ(state.rfind("panel visible 1", 0), 0u) << state;

    // Always On Top: on, then off again.
    Ask("command 32798", "posted");
    EXPECT_EQ(Ask("wait-topmost 1", "topmost"), "topmost 1");
    Ask("command 32798", "posted");
    EXPECT_EQ(Ask("wait-topmost 0", "topmost"), "topmost 0");
    state = Ask("find", "panel");

    // A picture of the main window.
    const std::optional<ScreenRect> rect = RectOf(state);
    ASSERT_TRUE(rect) << state;
    const std::string shots = std::string(Q407_PANEL_TEST_DIR) + "/screenshots";
    std::filesystem::create_directories(shots);
    ASSERT_TRUE(wine_.Screenshot(shots + "/main_window.png", *rect));
    EXPECT_EQ(PngSize(shots + "/main_window.png"), std::make_pair(rect->width, rect->height));

    // Its close box hides it; the program keeps running.
    Ask("close", "posted");
    EXPECT_EQ(Ask("wait-visible 0", "panel").rfind("panel visible 0", 0), 0u);
    EXPECT_TRUE(panel_->Running());

    // A second copy shows the first one and ends.
    std::unique_ptr<WineProcess> second = StartPanel();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->WaitForExit(kPatience), 0);
    EXPECT_EQ(Ask("wait-visible 1", "panel").rfind("panel visible 1", 0), 0u);
    EXPECT_TRUE(panel_->Running());

    // The watcher's window is found by its class and takes a configuration change.
    EXPECT_EQ(Ask("listener 0x18", "listener"), "listener 1");

    // "E&xit" ends the program, and with it the watcher.
    Ask("command 32773", "posted");
    EXPECT_EQ(panel_->WaitForExit(kPatience), 0);
    panel_.reset();
}

TEST_F(PanelProgramTest, WithoutADeviceShowsNoDeviceAndTheAboutBox) {
    // No machine: nothing is found.
    panel_ = StartPanel();
    ASSERT_TRUE(panel_);
    ASSERT_NO_FATAL_FAILURE(StartProbe());
    EXPECT_EQ(Ask("wait-title No Device", "title"), "title ZEL-Q407 LX Control Panel - No Device");
    Ask("command 32771", "posted");  // "&Open"
    EXPECT_EQ(Ask("wait-visible 1", "panel").rfind("panel visible 1", 0), 0u);

    Ask("command 32797", "posted");
    const std::string about = Ask("about", "about");
    EXPECT_NE(about.find("driver 0.00d0 firmware 0.0  (2)"), std::string::npos) << about;
    int x = 0;
    int y = 0;
    ASSERT_EQ(std::sscanf(about.c_str(), "about %d %d", &x, &y), 2) << about;
    const std::string shots = std::string(Q407_PANEL_TEST_DIR) + "/screenshots";
    std::filesystem::create_directories(shots);
    EXPECT_TRUE(wine_.Screenshot(shots + "/about_box.png", ScreenRect{x, y, 285, 200}));

    // A click outside both areas leaves the box; one on OK closes it.
    EXPECT_EQ(Ask("about-click 20 110", "clicked"), "clicked 1");
    EXPECT_EQ(Ask("about", "about").rfind("about none", 0), std::string::npos);
    EXPECT_EQ(Ask("about-click 140 190", "clicked"), "clicked 1");
    EXPECT_EQ(Ask("about-gone", "about-gone"), "about-gone 1");

    Ask("command 32773", "posted");
    EXPECT_EQ(panel_->WaitForExit(kPatience), 0);
    panel_.reset();
}

}  // namespace
}  // namespace q407::test
