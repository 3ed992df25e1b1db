// The panel's controls as Win32 windows under Wine: registration, the toggle clicked as a person
// would, the label's text limit, the bitmap cache's single load and single report, a slider
// dragged, and a screenshot of the toggles both ways and the label.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/wine/wine_session.h"

namespace {

using q407::test::ScreenRect;
using q407::test::WineProcess;
using q407::test::WineSession;

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

class ControlClassesWine : public ::testing::Test {
  protected:
    void SetUp() override {
        WineSession& wine = WineSession::Shared();
        if (!wine.Available()) GTEST_SKIP() << wine.UnavailableReason();
        program_ = wine.Start(Q407_WINE_PROGRAM_control_classes_program);
        ASSERT_NE(program_, nullptr);
        std::optional<ScreenRect> client = program_->WaitForReady();
        ASSERT_TRUE(client.has_value()) << program_->ErrorText();
        client_ = *client;
        for (int i = 0; i < 6; ++i) {
            std::optional<std::string> line = program_->WaitForLine("child ");
            ASSERT_TRUE(line.has_value());
            std::vector<std::string> w = Words(*line);
            ASSERT_EQ(w.size(), 6u) << *line;
            children_[std::stoi(w[1])] =
                ScreenRect{std::stoi(w[2]), std::stoi(w[3]), std::stoi(w[4]), std::stoi(w[5])};
        }
    }

    void TearDown() override {
        if (program_ != nullptr) {
            program_->Send("quit");
            EXPECT_EQ(program_->WaitForExit(), std::optional<int>(0));
        }
    }

    // The program's answer to a command: the next line starting with the prefix.
    std::string Ask(const std::string& command, const std::string& prefix) {
        EXPECT_TRUE(program_->Send(command));
        std::optional<std::string> line = program_->WaitForLine(prefix);
        EXPECT_TRUE(line.has_value()) << command;
        return line.value_or("");
    }

    // A child's point in screen coordinates.
    std::pair<int, int> Screen(int id, int dx, int dy) {
        const ScreenRect& child = children_.at(id);
        return {client_.x + child.x + dx, client_.y + child.y + dy};
    }

    void ClickCentre(int id) {
        auto [x, y] = Screen(id, children_.at(id).width / 2, children_.at(id).height / 2);
        ASSERT_TRUE(WineSession::Shared().Click(x, y));
    }

    std::unique_ptr<WineProcess> program_;
    ScreenRect client_;
    std::map<int, ScreenRect> children_;
};

TEST_F(ControlClassesWine, SixteenClassesWithTheirStylesCursorsAndBackground) {
    ASSERT_TRUE(program_->Send("classes"));
    // name -> (double clicks, system arrow)
    const std::map<std::string, std::pair<bool, bool>> expected = {
        {"Oxa_DigitExClass", {false, false}},
        {"Oxa_State3Class", {false, true}},
        {"Oxa_State4Class", {false, true}},
        {"Oxa_KnobClass", {true, false}},
        {"Oxa_VSClass", {true, false}},
        {"Oxa_SmallTextClass", {false, false}},
        {"Oxa_DBLVSClass", {true, false}},
        {"Oxa_PeakClass", {true, false}},
        {"Oxa_PeakMonoClass", {true, false}},
        {"Oxa_TextBtnClass", {false, false}},
        {"Oxa_TextBtnBmpClass", {false, false}},
        {"Oxa_TogleClass", {false, true}},
        {"Oxa_FpathClass", {false, true}},
        {"Oxa_FpathAdvanceClass", {false, true}},
        {"Oxa_OutputRoutingClass", {false, true}},
        {"Oxa_RoundVSClass", {true, false}},
    };
    const unsigned kGlobal = 0x4000, kHRedraw = 0x2, kVRedraw = 0x1, kDoubleClicks = 0x8;
    std::map<std::string, bool> seen;
    for (;;) {
        std::optional<std::string> line = program_->WaitForLine("class");
        ASSERT_TRUE(line.has_value());
        if (*line == "classes") break;
        std::vector<std::string> w = Words(*line);
        ASSERT_EQ(w.size(), 7u) << *line;  // class NAME STYLE EXTRA ARROW NONE BACKGROUND
        auto it = expected.find(w[1]);
        ASSERT_NE(it, expected.end()) << *line;
        unsigned style = static_cast<unsigned>(std::stoul(w[2]));
        unsigned want = kGlobal | kHRedraw | kVRedraw | (it->second.first ? kDoubleClicks : 0);
        EXPECT_EQ(style, want) << w[1];
        EXPECT_EQ(w[3], "4") << w[1];
        EXPECT_EQ(w[4], it->second.second ? "1" : "0") << w[1];
        EXPECT_EQ(w[5], it->second.second ? "0" : "1") << w[1];  // no cursor in the resources
        EXPECT_EQ(w[6], "6") << w[1];                            // COLOR_WINDOW + 1
        seen[w[1]] = true;
    }
    EXPECT_EQ(seen.size(), 16u);
}

TEST_F(ControlClassesWine, ToggleFlipsOnceOnAClickAndTakesZeroOrOneFromItsParent) {
    EXPECT_EQ(Ask("check 100", "check"), "check 100 0");
    ClickCentre(100);
    std::optional<std::string> command = program_->WaitForLine("command");
    ASSERT_TRUE(command.has_value());
    EXPECT_EQ(*command, "command 100 1 1");  // identifier, notification code 1, flipped state
    EXPECT_EQ(Ask("messages", "messages"), "messages 1 0 0");
    EXPECT_EQ(Ask("check 100", "check"), "check 100 1");

    ClickCentre(100);
    command = program_->WaitForLine("command");
    ASSERT_TRUE(command.has_value());
    EXPECT_EQ(*command, "command 100 1 0");
    EXPECT_EQ(Ask("messages", "messages"), "messages 2 0 0");

    // BM_SETCHECK takes 0 or 1 only, and always asks for a repaint.
    EXPECT_EQ(Ask("setcheck 101 2", "setcheck"), "setcheck 101 1 1");  // ignored, repainted
    EXPECT_EQ(Ask("setcheck 101 0", "setcheck"), "setcheck 101 0 1");
    EXPECT_EQ(Ask("setcheck 101 -1", "setcheck"), "setcheck 101 0 1");
    EXPECT_EQ(Ask("setcheck 101 1", "setcheck"), "setcheck 101 1 1");
}

TEST_F(ControlClassesWine, FrameRefusesCreationWithoutARecordAndCatchesHandlerFailures) {
    // Creation fails when the record cannot be allocated; a throwing handler answers 0 and the
    // program goes on, its window destroyed with its record.
    EXPECT_EQ(Ask("frame", "frame"), "frame 1 0 1");
    EXPECT_EQ(Ask("check 101", "check"), "check 101 1");
}

TEST_F(ControlClassesWine, LabelKeepsSixtyThreeCharacters) {
    std::string hundred;
    for (int i = 0; i < 100; ++i) hundred.push_back(static_cast<char>('a' + i % 26));
    EXPECT_EQ(Ask("text 200 " + hundred, "text"), "text 200 63 " + hundred.substr(0, 63));
    EXPECT_EQ(Ask("text 200 Output 7", "text"), "text 200 8 Output 7");
}

TEST_F(ControlClassesWine, BitmapsLoadOnceAndAMissingNameIsReportedOnce) {
    std::vector<std::string> first = Words(Ask("bitmap FP_JAK_N", "bitmap"));
    std::vector<std::string> second = Words(Ask("bitmap FP_JAK_N", "bitmap"));
    ASSERT_EQ(first.size(), 3u);
    EXPECT_NE(first[2], "0");
    EXPECT_EQ(second, first);
    // The toggle's picture, fetched at its creation, is the cached one.
    EXPECT_EQ(Words(Ask("bitmap FP_BTN_F", "bitmap")), Words(Ask("bitmap FP_BTN_F", "bitmap")));

    ASSERT_TRUE(program_->Send("bitmap NO_SUCH_PICTURE"));
    std::optional<std::string> box = program_->WaitForLine("box");
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(*box, "box NotFound NO_SUCH_PICTURE");
    EXPECT_EQ(program_->WaitForLine("bitmap").value_or(""), "bitmap NO_SUCH_PICTURE 0");
    EXPECT_EQ(Ask("bitmap NO_SUCH_PICTURE", "bitmap"), "bitmap NO_SUCH_PICTURE 0");
    EXPECT_EQ(Ask("messages", "messages"), "messages 0 0 1");
}

TEST_F(ControlClassesWine, SliderDraggedToTheTopReportsTrackingThenRelease) {
    EXPECT_EQ(Ask("pos 300", "pos"), "pos 300 25");
    const ScreenRect& slider = children_.at(300);
    int bottom = slider.height - 12;
    int top = 12;
    int row = bottom - 25 * (bottom - top) / 100;
    auto start = Screen(300, slider.width / 2, row);
    auto middle = Screen(300, slider.width / 2, (top + bottom) / 2);
    auto above = Screen(300, slider.width / 2, top - 30);
    ASSERT_TRUE(WineSession::Shared().Drag({start, middle, above}));
    std::optional<std::string> line;
    int tracking = 0;
    while ((line = program_->WaitForLine("vscroll")).has_value()) {
        std::vector<std::string> w = Words(*line);
        ASSERT_EQ(w.size(), 4u);
        if (w[2] == "0") break;
        EXPECT_EQ(w[2], "5") << *line;
        ++tracking;
    }
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(*line, "vscroll 300 0 100");  // beyond the travel: clamped to the maximum
    EXPECT_GE(tracking, 1);
    EXPECT_EQ(Ask("pos 300", "pos"), "pos 300 100");
}

TEST_F(ControlClassesWine, ScreenshotShowsBothTogglesAndTheLabel) {
    // The first toggle stays unchecked, the second was created checked; the link toggle clicked.
    ClickCentre(102);
    ASSERT_EQ(program_->WaitForLine("command").value_or(""), "command 102 1 1");
    Ask("level 400 100 35", "level");
    // The next answer comes after the repaints the commands queued.
    Ask("check 101", "check");
    WineSession& wine = WineSession::Shared();
    std::string dir = Q407_TEST_OUTPUT_DIR;
    std::string path = dir + "/controls_toggles.png";
    ASSERT_TRUE(wine.Screenshot(path, client_));
    std::optional<std::pair<int, int>> size = q407::test::PngSize(path);
    ASSERT_TRUE(size.has_value());
    EXPECT_EQ(size->first, client_.width);
    EXPECT_EQ(size->second, client_.height);

    // The two toggles of the same pictures show different pictures; after BM_SETCHECK they match.
    auto shot = [&](int id, const std::string& name) {
        auto [x, y] = Screen(id, 0, 0);
        std::string file = dir + "/" + name;
        EXPECT_TRUE(wine.Screenshot(
            file, ScreenRect{x, y, children_.at(id).width, children_.at(id).height}));
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    std::string unchecked = shot(100, "toggle_unchecked.png");
    std::string checked = shot(101, "toggle_checked.png");
    EXPECT_FALSE(unchecked.empty());
    EXPECT_NE(unchecked, checked);
    EXPECT_EQ(Ask("setcheck 100 1", "setcheck"), "setcheck 100 1 1");
    Ask("check 100", "check");
    EXPECT_EQ(shot(100, "toggle_now_checked.png"), checked);
}

// The classes the panel never creates, through their messages.
TEST_F(ControlClassesWine, CounterStateTextButtonRotaryAndDialFollowTheirTables) {
    ASSERT_TRUE(program_->Send("extra"));
    for (int i = 0; i < 6; ++i) {
        std::vector<std::string> w = Words(program_->WaitForLine("child ").value_or(""));
        ASSERT_EQ(w.size(), 6u);
        children_[std::stoi(w[1])] =
            ScreenRect{std::stoi(w[2]), std::stoi(w[3]), std::stoi(w[4]), std::stoi(w[5])};
    }
    const int kSetPos = 0xE0, kGetPos = 0xE1, kSetCheck = 0xF1, kGetCheck = 0xF0;
    const int kKeyDown = 0x100, kUp = 0x26, kDown = 0x28, kWheel = 0x20A;
    auto send = [&](int id, int message, long long w, long long l = 0) {
        std::vector<std::string> words =
            Words(Ask("send " + std::to_string(id) + " " + std::to_string(message) + " " +
                          std::to_string(w) + " " + std::to_string(l),
                      "result"));
        return words.size() == 3 ? std::stoll(words[2]) : -999;
    };

    // Counter: below zero turns to the upper bound (59), above it to the wrap value (1).
    send(500, kSetPos, -1);
    EXPECT_EQ(send(500, kGetPos, 0), 59);
    send(500, kSetPos, 60);
    EXPECT_EQ(send(500, kGetPos, 0), 1);
    send(500, kSetPos, 42);
    EXPECT_EQ(send(500, kGetPos, 0), 42);

    // Three-state button: the press tells the parent (code 0); the state is the parent's to set.
    ClickCentre(501);
    EXPECT_EQ(program_->WaitForLine("command").value_or(""), "command 501 0 0");
    send(501, kSetCheck, 2);
    EXPECT_EQ(send(501, kGetCheck, 0), 2);
    send(501, kSetCheck, 3);  // no picture for it: ignored
    EXPECT_EQ(send(501, kGetCheck, 0), 2);

    // Text button: the release tells the parent with code 1 and leaves the state alone.
    ClickCentre(502);
    EXPECT_EQ(program_->WaitForLine("command").value_or(""), "command 502 1 0");
    EXPECT_EQ(send(502, kGetCheck, 0), 0);

    // Rotary, 64 steps at 32 (angle 0): one key step of 0.8 rad is 11.13 steps, so up once is
    // 43, down once 32 again, down again 32 - 11.13 = 20.87 steps.
    EXPECT_EQ(send(503, kGetPos, 0), 32);
    send(503, kKeyDown, kUp);
    send(503, kKeyDown, kDown);
    send(503, kKeyDown, kDown);

    // Dial: keys do nothing while it is disabled, step by one once enabled.
    send(504, kKeyDown, kUp);
    EXPECT_EQ(send(504, kGetPos, 0), 0);
    send(504, kSetCheck, 1);
    send(504, kKeyDown, kUp);
    EXPECT_EQ(send(504, kGetPos, 0), 1);
    // A press straight below the centre is at the start angle (90 degrees): position 0, told
    // while pressed (code 5) and once more at the release (code 4), which itself moved nothing.
    auto [x, y] = Screen(504, 20, 35);
    ASSERT_TRUE(WineSession::Shared().Click(x, y));
    // The program sees the click shortly after xdotool sent it: ask until its report is in.
    auto released = [&] {
        const std::vector<std::string>& lines = program_->Lines();
        return std::find(lines.begin(), lines.end(), "vscroll 504 4 0") != lines.end();
    };
    for (int i = 0; i < 50 && !released(); ++i) {
        Ask("messages", "messages");
    }

    // Double slider: both positions in one value, left in the low word. The wheel moves the part
    // under the pointer by 8 and reports the wheel's wParam plus 1 when the left moved and 2
    // when the right moved.
    send(505, kSetPos, (20 << 16) | 10);
    EXPECT_EQ(send(505, kGetPos, 0), (20 << 16) | 10);
    auto wheelAt = [&](int clientX) {
        auto [sx, sy] = Screen(505, clientX, 50);
        return send(505, kWheel, 120 << 16, (static_cast<long long>(sy) << 16) | sx);
    };
    wheelAt(20);  // between the splits: both
    EXPECT_EQ(send(505, kGetPos, 0), (28 << 16) | 18);
    send(505, kSetPos, (85 << 16) | 90);
    wheelAt(30);  // right of the second split: the right one, up to the maximum
    wheelAt(5);   // left of the first split: the left one, already at the maximum
    EXPECT_EQ(send(505, kGetPos, 0), (90 << 16) | 90);

    // The scroll reports, in order (some arrived while other answers were awaited).
    std::vector<std::string> scrolls;
    for (const std::string& line : program_->Lines()) {
        if (line.rfind("hscroll", 0) == 0 || line.rfind("vscroll", 0) == 0) {
            scrolls.push_back(line);
        }
    }
    EXPECT_EQ(scrolls,
              (std::vector<std::string>{"hscroll 4 43", "hscroll 4 32", "hscroll 4 20",
                                        "vscroll 504 4 1", "vscroll 504 5 0", "vscroll 504 4 0",
                                        // (28 << 16) | 18, then (90 << 16) | 90
                                        "vscroll 505 3 1835026", "vscroll 505 2 5898330",
                                        "vscroll 505 0 5898330"}));
    EXPECT_EQ(Ask("messages", "messages"), "messages 2 9 0");
}

}  // namespace
