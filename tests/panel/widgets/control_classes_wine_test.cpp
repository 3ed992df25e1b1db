// The panel's controls as Win32 windows under Wine: registration, the toggle clicked as a person
// would, the label's text limit, the bitmap cache's single load and single report, a slider
// dragged, and a screenshot of the toggles both ways and the label.
#include <gtest/gtest.h>

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

TEST_F(ControlClassesWine, ToggleClickFlipsOnceAndSendsOneCommand) {
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
}

TEST_F(ControlClassesWine, SetCheckTakesZeroOrOneAndAlwaysRepaints) {
    EXPECT_EQ(Ask("setcheck 101 2", "setcheck"), "setcheck 101 1 1");  // ignored, repainted
    EXPECT_EQ(Ask("setcheck 101 0", "setcheck"), "setcheck 101 0 1");
    EXPECT_EQ(Ask("setcheck 101 -1", "setcheck"), "setcheck 101 0 1");
    EXPECT_EQ(Ask("setcheck 101 1", "setcheck"), "setcheck 101 1 1");
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

}  // namespace
