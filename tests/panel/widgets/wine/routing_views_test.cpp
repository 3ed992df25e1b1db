// The two routing views as a person uses them: cables dragged and buttons clicked with the mouse
// on an Xvfb screen, the tables and the owner's notifications read back from the program, and
// screenshots written as PNG files into the test's output folder.
//
// Client geometry used here, worked out from the jack layout rather than taken from the code:
// jack k of a column spans x = column .. column + 23, y = 52 + 23k .. + 12, columns at x 41
// (INPUT), 89 (MME), 176 (WDM), 224 (ASIO), right columns 39 further; cables end at (left + 12,
// top + 7). Output rows are 23 pixels apart from y = 34: minus at x 48, plus at 92 (23 x 16),
// the link button at (48, 217), 67 x 16.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/wine/wine_session.h"

namespace q407::test {
namespace {

const char* const kProgram = Q407_WINE_PROGRAM_routing_views;
const std::string kShots = Q407_ROUTING_SHOTS_DIR;

constexpr int kMme = 0, kWdm = 1, kAsio = 2, kInput = 3;
constexpr std::array<int, 4> kColumnX = {89, 176, 224, 41};

struct Point {
    int x;
    int y;
};
Point LeftJack(int group, int k) {
    return {kColumnX[group] + 12, 52 + 23 * k + 7};
}
Point RightJack(int group, int k) {
    return {kColumnX[group] + 39 + 12, 52 + 23 * k + 7};
}

struct Record {
    int inUse, count, group, side, index, off, reserved;
    bool operator==(const Record&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Record& r) {
    return os << "{" << r.inUse << " " << r.count << " " << r.group << " " << r.side << " "
              << r.index << " " << r.off << " " << r.reserved << "}";
}

struct Dump {
    std::array<Record, 64> routes{};
    std::array<int, 8> map{};
    int flexPathNotices = -1;
    int outputNotices = -1;
    std::string visible;
    std::string labels;
    std::string checks;
    std::string menus;
    const Record& At(int group, int k) const { return routes[static_cast<size_t>(16 * group + k)]; }
};

struct Rgb {
    int r, g, b;
};

// The pixels of a binary PPM file, as import writes it for a .ppm name.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
    Rgb At(int x, int y) const {
        const size_t i =
            (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
        return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

bool ReadPpm(const std::string& path, Picture& picture) {
    std::ifstream file(path, std::ios::binary);
    std::string magic;
    int maxValue = 0;
    if (!(file >> magic >> picture.width >> picture.height >> maxValue) || magic != "P6" ||
        maxValue != 255) {
        return false;
    }
    file.get();
    picture.rgb.resize(static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height) *
                       3);
    return static_cast<bool>(file.read(reinterpret_cast<char*>(picture.rgb.data()),
                                       static_cast<std::streamsize>(picture.rgb.size())));
}

class RoutingViewsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!wine_.Available()) {
            GTEST_SKIP() << wine_.UnavailableReason();
        }
        std::filesystem::create_directories(kShots);
        program_ = wine_.Start(kProgram, args_);
        ASSERT_TRUE(program_);
        const auto flexPath = program_->WaitForLine("ready flexpath");
        const auto output = program_->WaitForLine("ready output");
        ASSERT_TRUE(flexPath && output) << program_->ErrorText();
        flexPath_ = *ParseReadyLine(*flexPath);
        output_ = *ParseReadyLine(*output);
    }
    void TearDown() override {
        if (program_) {
            program_->Send("quit");
            EXPECT_EQ(program_->WaitForExit(), 0);
        }
    }

    Point OnScreen(const ScreenRect& client, Point p) const {
        return {client.x + p.x, client.y + p.y};
    }

    // A cable dragged from one jack to another through a point between them.
    void DragCable(Point from, Point to) {
        const Point a = OnScreen(flexPath_, from);
        const Point b = OnScreen(flexPath_, to);
        ASSERT_TRUE(wine_.Drag({{a.x, a.y}, {(a.x + b.x) / 2, (a.y + b.y) / 2 + 30}, {b.x, b.y}}));
        ExpectNotice("3328");
    }
    void ClickFlexPath(Point p) {
        const Point s = OnScreen(flexPath_, p);
        ASSERT_TRUE(wine_.Click(s.x, s.y));
    }
    void ClickOutput(Point p) {
        const Point s = OnScreen(output_, p);
        ASSERT_TRUE(wine_.Click(s.x, s.y));
    }
    void ExpectNotice(const std::string& id) {
        const auto notice = program_->WaitForLine("notice");
        ASSERT_TRUE(notice) << "no notification";
        std::istringstream words(*notice);
        std::string word, got, count, sender;
        words >> word >> got >> count >> sender;
        EXPECT_EQ(got, id);
        EXPECT_EQ(sender, "1") << "lParam is the low word of the view's handle";
    }
    // The menu bar's only item, "Reset", sits just above the client area at its left.
    void ClickReset(const ScreenRect& client) {
        ASSERT_TRUE(wine_.Click(client.x + 16, client.y - 10));
    }

    Dump Read() {
        Dump d;
        EXPECT_TRUE(program_->Send("dump"));
        for (int i = 0; i < 64; ++i) {
            const auto line = program_->WaitForLine("route ");
            if (!line) {
                ADD_FAILURE() << "no route line";
                return d;
            }
            std::istringstream words(line->substr(6));
            int index = 0;
            Record r{};
            words >> index >> r.inUse >> r.count >> r.group >> r.side >> r.index >> r.off >>
                r.reserved;
            d.routes[static_cast<size_t>(index & 63)] = r;
        }
        const auto map = program_->WaitForLine("map ");
        const auto notify = program_->WaitForLine("notify ");
        const auto visible = program_->WaitForLine("visible ");
        const auto labels = program_->WaitForLine("labels ");
        const auto checks = program_->WaitForLine("checks ");
        const auto menus = program_->WaitForLine("menus ");
        EXPECT_TRUE(program_->WaitForLine("end"));
        if (!map || !notify || !visible || !labels || !checks || !menus) {
            ADD_FAILURE() << "incomplete dump";
            return d;
        }
        std::istringstream m(map->substr(4));
        for (int& e : d.map) {
            m >> e;
        }
        std::istringstream n(notify->substr(7));
        n >> d.flexPathNotices >> d.outputNotices;
        d.visible = visible->substr(8);
        d.labels = labels->substr(7);
        d.checks = checks->substr(7);
        d.menus = menus->substr(6);
        return d;
    }

    void Shot(const std::string& name, const ScreenRect& client) {
        const std::string path = kShots + "/" + name;
        ASSERT_TRUE(wine_.Screenshot(path, client));
        const auto size = PngSize(path);
        ASSERT_TRUE(size);
        EXPECT_EQ(size->first, client.width);
        EXPECT_EQ(size->second, client.height);
    }

    WineSession& wine_ = WineSession::Shared();
    std::vector<std::string> args_;
    std::unique_ptr<WineProcess> program_;
    ScreenRect flexPath_;
    ScreenRect output_;
};

TEST_F(RoutingViewsTest, CablesDraggedBetweenJacksLandInTheTableInTheirLayersColours) {
    DragCable(LeftJack(kMme, 0), RightJack(kAsio, 3));
    DragCable(LeftJack(kWdm, 0), RightJack(kMme, 10));
    DragCable(RightJack(kMme, 5), LeftJack(kAsio, 2));  // from the destination end
    DragCable(LeftJack(kInput, 12), RightJack(kAsio, 14));

    const Dump d = Read();
    EXPECT_EQ(d.At(kMme, 0), (Record{1, 0, kAsio, 1, 3, 0, 0}));
    EXPECT_EQ(d.At(kWdm, 0), (Record{1, 0, kMme, 1, 10, 0, 0}));
    EXPECT_EQ(d.At(kAsio, 2), (Record{1, 0, kMme, 1, 5, 0, 0}));
    EXPECT_EQ(d.At(kInput, 12), (Record{1, 0, kAsio, 1, 14, 0, 0}));
    EXPECT_EQ(d.At(kAsio, 3).count, 1);
    EXPECT_EQ(d.At(kMme, 10).count, 1);
    EXPECT_EQ(d.At(kMme, 5).count, 1);
    EXPECT_EQ(d.At(kAsio, 14).count, 1);
    int inUse = 0;
    for (const Record& r : d.routes) {
        inUse += r.inUse;
    }
    EXPECT_EQ(inUse, 4);
    EXPECT_EQ(d.flexPathNotices, 4);
    EXPECT_EQ(d.outputNotices, 0);

    Shot("flexpath_cables.png", flexPath_);
    const std::string ppm = kShots + "/flexpath_cables.ppm";
    ASSERT_TRUE(wine_.Screenshot(ppm, flexPath_));
    Picture picture;
    ASSERT_TRUE(ReadPpm(ppm, picture));
    std::filesystem::remove(ppm);
    // Each cable leaves its source straight down (both control points hang below), so a few
    // pixels under the source's centre lie on the tube's bright core, in the layer's colour.
    struct Expect {
        Point source;
        bool red, green, blue;
    };
    for (const Expect& e : {Expect{LeftJack(kMme, 0), true, false, false},
                            Expect{LeftJack(kWdm, 0), false, true, false},
                            Expect{LeftJack(kAsio, 2), false, true, true},
                            Expect{LeftJack(kInput, 12), true, false, true}}) {
        const Rgb c = picture.At(e.source.x, e.source.y + 8);
        SCOPED_TRACE(::testing::Message() << "cable from " << e.source.x << "," << e.source.y
                                          << ": " << c.r << " " << c.g << " " << c.b);
        EXPECT_EQ(c.r > 120, e.red);
        EXPECT_EQ(c.g > 120, e.green);
        EXPECT_EQ(c.b > 120, e.blue);
        EXPECT_TRUE(e.red || c.r < 40);
        EXPECT_TRUE(e.green || c.g < 40);
        EXPECT_TRUE(e.blue || c.b < 40);
    }

    // A cable in the hand, from a free jack to the pointer, is drawn in yellow until released.
    const Point anchor = LeftJack(kAsio, 5);
    const Point a = OnScreen(flexPath_, anchor);
    const Point pointer = OnScreen(flexPath_, Point{160, 330});
    ASSERT_TRUE(wine_.Press(a.x, a.y));
    ASSERT_TRUE(wine_.MoveTo((a.x + pointer.x) / 2, pointer.y - 40));
    ASSERT_TRUE(wine_.MoveTo(pointer.x, pointer.y));
    // The moves reach the program some time after xdotool returns: look until the cable shows.
    bool yellow = false;
    for (int attempt = 0; attempt < 20 && !yellow; ++attempt) {
        Read();
        ASSERT_TRUE(wine_.Screenshot(ppm, flexPath_));
        ASSERT_TRUE(ReadPpm(ppm, picture));
        const Rgb c = picture.At(anchor.x, anchor.y + 8);  // the press point is the fixed end
        yellow = c.r > 120 && c.g > 120 && c.b < 40;
    }
    EXPECT_TRUE(yellow) << "no dragged cable below the press point";
    Shot("flexpath_dragging.png", flexPath_);
    std::filesystem::remove(ppm);
    ASSERT_TRUE(wine_.Release(pointer.x, pointer.y));
    ExpectNotice("3328");
    EXPECT_EQ(Read().At(kAsio, 5).inUse, 0);  // dropped away from the jacks: nothing plugged
}

TEST_F(RoutingViewsTest, CablesArePickedUpRepluggedAndPulledAndResetOnlyWhenConfirmed) {
    DragCable(LeftJack(kInput, 0), RightJack(kMme, 0));
    DragCable(LeftJack(kAsio, 0), RightJack(kMme, 0));
    Dump d = Read();
    EXPECT_EQ(d.At(kMme, 0).count, 2);

    // Grabbing the shared jack takes the first source in scan order (ASIO before INPUT); dropped
    // on the background, the cable stays out.
    DragCable(RightJack(kMme, 0), Point{150, 430});
    d = Read();
    EXPECT_EQ(d.At(kAsio, 0).inUse, 0);
    EXPECT_EQ(d.At(kInput, 0).inUse, 1);
    EXPECT_EQ(d.At(kMme, 0).count, 1);

    // A click on a plugged jack unplugs and plugs back.
    ClickFlexPath(LeftJack(kInput, 0));
    ExpectNotice("3328");
    ClickFlexPath(RightJack(kMme, 0));
    ExpectNotice("3328");
    const Dump same = Read();
    EXPECT_EQ(same.routes, d.routes);

    // The destination end moved to another right jack; then a cable dropped on the plugged left
    // jack replaces its cable (the old destination keeps its count).
    DragCable(RightJack(kMme, 0), RightJack(kAsio, 7));
    DragCable(RightJack(kMme, 2), LeftJack(kInput, 0));
    d = Read();
    EXPECT_EQ(d.At(kInput, 0), (Record{1, 0, kMme, 1, 2, 0, 0}));
    EXPECT_EQ(d.At(kMme, 0).count, 0);
    EXPECT_EQ(d.At(kMme, 2).count, 1);
    EXPECT_EQ(d.At(kAsio, 7).count, 1);

    // The WDM layer's OUT button: outputs off in its record 0 only, sent each time.
    ClickFlexPath(Point{176 + 12, 37 + 7});
    ExpectNotice("3328");
    d = Read();
    EXPECT_EQ(d.At(kWdm, 0).off, 1);
    EXPECT_EQ(d.At(kMme, 0).off, 0);
    EXPECT_EQ(d.At(kAsio, 0).off, 0);
    EXPECT_EQ(d.checks.substr(0, 5), "0 1 0");
    ClickFlexPath(Point{89 + 12, 37 + 7});
    ExpectNotice("3328");
    d = Read();
    EXPECT_EQ(d.At(kMme, 0).off, 1);
    EXPECT_EQ(d.checks.substr(0, 5), "1 1 0");
    Shot("flexpath_out_off.png", flexPath_);

    ASSERT_TRUE(program_->Send("answer cancel"));
    ClickReset(flexPath_);
    EXPECT_EQ(program_->WaitForLine("messagebox"), "messagebox Reset FlexPATH settings");
    const Dump kept = Read();
    EXPECT_EQ(kept.routes, d.routes);
    EXPECT_EQ(kept.flexPathNotices, d.flexPathNotices);

    // The menu bar keeps its selection after a command that changed nothing; a click on the
    // caption leaves it, as a person's next click elsewhere would.
    ASSERT_TRUE(wine_.Click(flexPath_.x + 60, flexPath_.y - 30));
    ASSERT_TRUE(program_->Send("answer ok"));
    ClickReset(flexPath_);
    EXPECT_EQ(program_->WaitForLine("messagebox"), "messagebox Reset FlexPATH settings");
    ExpectNotice("3328");
    d = Read();
    for (const Record& r : d.routes) {
        EXPECT_EQ(r, (Record{0, 0, 0, 0, 0, 0, -1}));
    }
    EXPECT_EQ(d.checks.substr(0, 5), "0 0 0");
    EXPECT_EQ(d.flexPathNotices, kept.flexPathNotices + 1);
}

TEST_F(RoutingViewsTest, OutputButtonsStepChannelsSinglyAndInLinkedPairs) {
    Point plus[8], minus[8];
    for (int row = 0; row < 8; ++row) {
        plus[row] = {92 + 11, 34 + 23 * row + 8};
        minus[row] = {48 + 11, 34 + 23 * row + 8};
    }
    const Point link{48 + 33, 217 + 8};

    // The program's map holds 11 for output 6, replaced at creation by its own row.
    Dump d = Read();
    EXPECT_EQ(d.map, (std::array<int, 8>{0, 3, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(d.labels, "1 4 3 4 5 6 7 8");
    EXPECT_EQ(d.visible, "1 1 1 1 1 1 1 1");

    ClickOutput(plus[7]);  // shows 8: stays, still notified
    ExpectNotice("3072");
    ClickOutput(minus[1]);
    ExpectNotice("3072");
    ClickOutput(Point{20, 250});  // a release on the view's own background
    ExpectNotice("3072");
    d = Read();
    EXPECT_EQ(d.map, (std::array<int, 8>{0, 2, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(d.labels, "1 3 3 4 5 6 7 8");
    EXPECT_EQ(d.outputNotices, 3);
    Shot("output_routing_unlinked.png", output_);

    ClickOutput(link);
    ExpectNotice("3072");
    d = Read();
    EXPECT_EQ(d.visible, "1 0 1 0 1 0 1 0");
    EXPECT_EQ(d.checks.substr(6), "1");
    EXPECT_EQ(d.map, (std::array<int, 8>{0, 2, 2, 3, 4, 5, 6, 7}));  // linking keeps the map

    ClickOutput(plus[2]);  // outputs 3 and 4 showing 3 and 4 become 4 and 5
    ExpectNotice("3072");
    ClickOutput(minus[0]);  // 1 cannot go lower: neither moves
    ExpectNotice("3072");
    ClickOutput(plus[6]);  // 7 and 8: 8 cannot grow
    ExpectNotice("3072");
    d = Read();
    EXPECT_EQ(d.map, (std::array<int, 8>{0, 2, 3, 4, 4, 5, 6, 7}));
    EXPECT_EQ(d.labels, "1 3 4 5 5 6 7 8");
    Shot("output_routing_linked.png", output_);

    // Unlinking brings the upper rows' buttons back; linking again and resetting unlinks too.
    ClickOutput(link);
    ExpectNotice("3072");
    EXPECT_EQ(Read().visible, "1 1 1 1 1 1 1 1");
    ClickOutput(link);
    ExpectNotice("3072");
    ASSERT_TRUE(program_->Send("answer ok"));
    ClickReset(output_);
    EXPECT_EQ(program_->WaitForLine("messagebox"), "messagebox Reset output channels");
    ExpectNotice("3072");
    d = Read();
    EXPECT_EQ(d.map, (std::array<int, 8>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(d.labels, "1 2 3 4 5 6 7 8");
    EXPECT_EQ(d.visible, "1 1 1 1 1 1 1 1");
    EXPECT_EQ(d.checks.substr(6), "0");
    Shot("output_routing_reset.png", output_);

    // A map re-read while the view was hidden shows once the view is shown again.
    ASSERT_TRUE(program_->Send("reload 7 6 5 4 3 2 1 0"));
    ASSERT_TRUE(program_->WaitForLine("reloaded"));
    EXPECT_EQ(Read().labels, "8 7 6 5 4 3 2 1");
}

class CompactRoutingViewTest : public RoutingViewsTest {
  protected:
    CompactRoutingViewTest() { args_ = {"compact"}; }
};

TEST_F(CompactRoutingViewTest, PatchesLikeTheFullViewWithoutAResetMenu) {
    Dump d = Read();
    EXPECT_EQ(d.menus, "0 1");
    DragCable(LeftJack(kWdm, 5), RightJack(kMme, 15));
    DragCable(RightJack(kAsio, 0), LeftJack(kInput, 9));
    ClickFlexPath(Point{224 + 12, 37 + 7});  // the ASIO layer's OUT button
    ExpectNotice("3328");
    d = Read();
    EXPECT_EQ(d.At(kWdm, 5), (Record{1, 0, kMme, 1, 15, 0, 0}));
    EXPECT_EQ(d.At(kInput, 9), (Record{1, 0, kAsio, 1, 0, 0, 0}));
    EXPECT_EQ(d.At(kMme, 15).count, 1);
    EXPECT_EQ(d.At(kAsio, 0).count, 1);
    EXPECT_EQ(d.At(kAsio, 0).off, 1);
    EXPECT_EQ(d.checks.substr(0, 5), "0 0 1");
    EXPECT_EQ(d.flexPathNotices, 3);
    Shot("flexpath_compact.png", flexPath_);
}

}  // namespace
}  // namespace q407::test
