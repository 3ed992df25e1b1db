// The control panel program under Wine against a machine with a virtual device, driven from a
// probe program as the shell and a person would: start-up with the device present, the dialog
// shown from the notification-area icon, the menus, closing, a second copy, unplug and replug,
// and pictures of the main window and the About box.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "tests/panel/app/wine/panel_program_fixture.h"

namespace q407::test {
namespace {

class PanelProgramTest : public PanelProgramFixture {
  protected:
    // "&Open" until the dialog stays shown: a dialog still starting hides itself once at the end
    // of its initialisation, which can come after an early "&Open".
    std::string OpenDialog() {
        std::string state;
        for (int attempt = 0; attempt < 3; ++attempt) {
            Ask("command 32771", "posted");
            Ask("wait-visible 1", "panel");
            usleep(300000);
            state = Ask("find", "panel");
            if (state.rfind("panel visible 1", 0) == 0) break;
        }
        return state;
    }
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
    // An arrival announced while the device does not answer yet leaves the watcher looking.
    EXPECT_EQ(Ask("listener 0x8000", "listener"), "listener 1");
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
    EXPECT_EQ(OpenDialog().rfind("panel visible 1", 0), 0u);

    Ask("command 32797", "posted");
    // The box is found by its title before its texts are set: ask until they are.
    std::string about = Ask("about", "about");
    for (int i = 0; i < 50 && about.find(" driver 0") == std::string::npos; ++i) {
        usleep(100000);
        about = Ask("about", "about");
    }
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

// The lines of text that hold needle.
size_t CountLines(const std::string& text, const std::string& needle) {
    size_t count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.find(needle) != std::string::npos) ++count;
    return count;
}

TEST_F(PanelProgramTest, StartsWithTheDeviceAttachedOnceAndTracesOnlyConfigurationChanges) {
    ASSERT_NO_FATAL_FAILURE(StartMachine());
    // Wine shows the program's debug output and every window title it sets.
    panel_ = StartTracedPanel(wine_, socket_, "warn+debugstr,trace+win");
    ASSERT_TRUE(panel_);
    ASSERT_NO_FATAL_FAILURE(StartProbe());
    EXPECT_EQ(Ask("wait-title Ver 1.4", "title"), std::string("title ") + kAttachedTitle);

    // An arrival while attached attaches nothing more and leaves no trace; a configuration
    // change leaves its trace.
    EXPECT_EQ(Ask("listener 0x8000", "listener"), "listener 1");
    EXPECT_EQ(Ask("listener 0x18", "listener"), "listener 1");
    const std::string state = Ask("find", "panel");
    const std::string attached = std::string(" title ") + kAttachedTitle;
    ASSERT_GE(state.size(), attached.size()) << state;
    EXPECT_EQ(state.substr(state.size() - attached.size()), attached);
    Ask("command 32773", "posted");
    EXPECT_EQ(panel_->WaitForExit(kPatience), 0);
    const std::string trace = panel_->ErrorText();
    panel_.reset();

    // The initial check and its arrival report attach once: the title passes through the
    // attaching text (two spaces) once and is set to the attached text once.
    EXPECT_EQ(CountLines(trace,
                         "set_window_text L\"ZEL Q407 LX Control Panel - Ver 1.4 -  No "
                         "Device\""),
              1u)
        << trace.substr(0, 4000);
    EXPECT_EQ(CountLines(trace, "set_window_text L\"ZEL Q407 LX Control Panel - Ver 1.4\""), 1u);
    EXPECT_EQ(CountLines(trace, ":debugstr:"), 1u);
    EXPECT_EQ(CountLines(trace, ":debugstr:OutputDebugStringA \"DBT_CONFIGCHANGED\\n\""), 1u);
}

// The command items of the popup menus Wine laid out for the screen (its "menu" trace), each
// with whether it showed a check mark; the last showing counts.
std::map<unsigned, bool> ShownMenuItems(const std::string& trace) {
    std::map<unsigned, bool> items;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        const size_t item = line.find("item { ID=0x");
        if (line.find("calc_menu_item_size") == std::string::npos || item == std::string::npos ||
            line.find("fType=pop") != std::string::npos)
            continue;
        const unsigned id = static_cast<unsigned>(std::stoul(line.substr(item + 12), nullptr, 16));
        if (id != 0) items[id] = line.find("State=check") != std::string::npos;
    }
    return items;
}

// The one checked command among first..last of shown, or 0 (also when several are checked).
unsigned CheckedAmong(const std::map<unsigned, bool>& shown, unsigned first, unsigned last) {
    unsigned checked = 0;
    for (unsigned id = first; id <= last; ++id) {
        const auto it = shown.find(id);
        if (it == shown.end() || !it->second) continue;
        if (checked != 0) return 0;
        checked = id;
    }
    return checked;
}

TEST_F(PanelProgramTest, MenuCommandsChangeTheDeviceAndItsCheckMarksFollow) {
    ASSERT_NO_FATAL_FAILURE(StartMachine());
    panel_ = StartTracedPanel(wine_, socket_, "trace+menu");
    ASSERT_TRUE(panel_);
    ASSERT_NO_FATAL_FAILURE(StartProbe());
    EXPECT_EQ(Ask("wait-title Ver 1.4", "title"), std::string("title ") + kAttachedTitle);
    EXPECT_EQ(OpenDialog().rfind("panel visible 1", 0), 0u);

    // 96000 Hz, USB buffer 2, 128 samples: the rate reaches the device at once.
    Ask("command 32779", "posted");
    Ask("command 32790", "posted");
    Ask("command 32782", "posted");
    bool rateSet = false;
    for (int i = 0; i < 50 && !rateSet; ++i) {
        ASSERT_TRUE(Device({"list"}));
        std::ifstream out(dir_ + "/device.out");
        const std::string listed((std::istreambuf_iterator<char>(out)),
                                 std::istreambuf_iterator<char>());
        rateSet = listed.find("96000 Hz") != std::string::npos;
        if (!rateSet) usleep(100000);
    }
    EXPECT_TRUE(rateSet);

    // After the 5 s refresh (its timer made due at once), Config's three submenus opened from
    // the keyboard as a person would: Samplerate (down, right, left), USB Buffer (down, right,
    // left), Latency (down, right).
    EXPECT_EQ(Ask("timer 2", "timer"), "timer 1");
    EXPECT_EQ(Ask("menu-keys c 40 39 37 40 39 37 40 39 27 27 27", "menu-keys"), "menu-keys 1");
    Ask("command 32773", "posted");
    EXPECT_EQ(panel_->WaitForExit(kPatience), 0);
    const std::map<unsigned, bool> shown = ShownMenuItems(panel_->ErrorText());
    panel_.reset();

    EXPECT_EQ(CheckedAmong(shown, 32776, 32779), 32779u);
    EXPECT_EQ(CheckedAmong(shown, 32780, 32785), 32782u);
    EXPECT_EQ(CheckedAmong(shown, 32790, 32795), 32790u);
    // USB Buffer shows 2 to 5 only.
    for (unsigned id = 32790; id <= 32793; ++id) EXPECT_EQ(shown.count(id), 1u) << id;
    EXPECT_EQ(shown.count(32794), 0u);
    EXPECT_EQ(shown.count(32795), 0u);
}

}  // namespace
}  // namespace q407::test
