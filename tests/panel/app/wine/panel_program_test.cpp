// The control panel program under Wine against a machine with a virtual device, driven from a
// probe program as the shell and a person would: start-up with the device present, the dialog
// shown from the notification-area icon, the menus, closing, a second copy, unplug and replug,
// and pictures of the main window and the About box.
#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/panel/app/wine/panel_program_fixture.h"

namespace q407::test {
namespace {

using PanelProgramTest = PanelProgramFixture;

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

    // Unplugged: "No Device", the settings saved once with what the device held (a second save
    // would write the forgotten record: no rate); the meters stop reading the status record,
    // which went with the device. Plugged back: attached again.
    EXPECT_EQ(Ask("profile-clear", "profile-clear"), "profile-clear 1");
    ASSERT_TRUE(Device({"unplug", "0"}));
    EXPECT_EQ(Ask("wait-title - No Device", "title"),
              std::string("title ") + kAttachedTitle + " - No Device");
    const std::string saved = Ask("profile", "profile");
    int size = 0;
    int rate = 0;
    ASSERT_EQ(std::sscanf(saved.c_str(), "profile %d rate %d", &size, &rate), 2) << saved;
    EXPECT_EQ(size, 360);
    EXPECT_TRUE(rate == 44100 || rate == 48000 || rate == 88200 || rate == 96000) << saved;
    ASSERT_TRUE(Device({"plug", "0"}));
    EXPECT_EQ(Ask("wait-title Ver 1.4", "title"), std::string("title ") + kAttachedTitle);
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
