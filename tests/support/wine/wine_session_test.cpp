#include "tests/support/wine/wine_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace q407::test {
namespace {

using namespace std::chrono_literals;

const char* const kProbe = Q407_WINE_PROGRAM_probe_window;

// The pixels of a binary PPM file (what import writes for a .ppm name): width, height, RGB bytes.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
};

std::optional<Picture> ReadPpm(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string magic;
    int maxValue = 0;
    Picture picture;
    if (!(file >> magic >> picture.width >> picture.height >> maxValue) || magic != "P6" ||
        maxValue != 255 || picture.width <= 0 || picture.height <= 0)
        return std::nullopt;
    file.get();  // the one whitespace byte after the header
    picture.rgb.resize(static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height) *
                       3);
    if (!file.read(reinterpret_cast<char*>(picture.rgb.data()),
                   static_cast<std::streamsize>(picture.rgb.size())))
        return std::nullopt;
    return picture;
}

std::string ScratchPath(const std::string& name) {
    return std::filesystem::temp_directory_path().string() + "/wine-session-test-" +
           std::to_string(getpid()) + "-" + name;
}

class WineSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!wine_.Available()) GTEST_SKIP() << wine_.UnavailableReason();
    }

    // The probe window, started and shown; its client rectangle in *client.
    std::unique_ptr<WineProcess> StartProbe(ScreenRect* client) {
        std::unique_ptr<WineProcess> probe = wine_.Start(kProbe);
        if (!probe) return nullptr;
        std::optional<ScreenRect> rect = probe->WaitForReady();
        if (!rect) {
            ADD_FAILURE() << "no ready line; stderr: " << probe->ErrorText();
            return nullptr;
        }
        *client = *rect;
        return probe;
    }

    WineSession& wine_ = WineSession::Shared();
};

TEST(WineSessionParsing, ReadyLinesAndPngHeaders) {
    std::optional<ScreenRect> rect = ParseReadyLine("ready flexpath 13 84 310 450");
    ASSERT_TRUE(rect);
    EXPECT_EQ(rect->x, 13);
    EXPECT_EQ(rect->y, 84);
    EXPECT_EQ(rect->width, 310);
    EXPECT_EQ(rect->height, 450);
    EXPECT_FALSE(ParseReadyLine("ready flexpath 13 84 310"));
    EXPECT_FALSE(ParseReadyLine("ready flexpath 13 84 310 450 7"));
    EXPECT_FALSE(ParseReadyLine("steady flexpath 13 84 310 450"));
    EXPECT_FALSE(ParseReadyLine("ready flexpath 13 84 -1 450"));

    std::string path = ScratchPath("header.png");
    const unsigned char header[24] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13,
                                      'I',  'H', 'D', 'R', 0,    0,    1,    2,    0, 0, 3, 4};
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(header), 24);
    EXPECT_EQ(PngSize(path), std::make_pair(258, 772));
    std::ofstream(path, std::ios::binary).write("not a picture at all, no", 24);
    EXPECT_FALSE(PngSize(path));
    std::filesystem::remove(path);
}

TEST(WineSessionBounds, AToolThatOutlivesItsTimeoutIsKilled) {
    EXPECT_FALSE(RunBounded({"/bin/sleep", "30"}, {}, "", 200ms));
    EXPECT_EQ(RunBounded({"/bin/sh", "-c", "exit 3"}, {}, "", 10s), 3);
}

TEST_F(WineSessionTest, ClicksAndDragsReachTheWindowInClientCoordinates) {
    ScreenRect client;
    std::unique_ptr<WineProcess> probe = StartProbe(&client);
    ASSERT_TRUE(probe);
    EXPECT_GT(client.width, 100);
    EXPECT_GT(client.height, 100);
    EXPECT_LE(client.x + client.width, 1024);
    EXPECT_LE(client.y + client.height, 768);
    EXPECT_EQ(probe->WaitForLine("title"), "title Probe window");

    ASSERT_TRUE(wine_.Click(client.x + 10, client.y + 20));
    EXPECT_EQ(probe->WaitForLine("press"), "press 10 20");
    EXPECT_EQ(probe->WaitForLine("release"), "release 10 20");

    ASSERT_TRUE(wine_.Drag({{client.x + 30, client.y + 40},
                            {client.x + 60, client.y + 50},
                            {client.x + 90, client.y + 70}}));
    EXPECT_EQ(probe->WaitForLine("press"), "press 30 40");
    EXPECT_EQ(probe->WaitForLine("release"), "release 90 70");

    ASSERT_TRUE(wine_.Press(client.x + 5, client.y + 6));
    EXPECT_EQ(probe->WaitForLine("press"), "press 5 6");
    ASSERT_TRUE(wine_.Release(client.x + 7, client.y + 8));
    EXPECT_EQ(probe->WaitForLine("release"), "release 7 8");

    // Outside the window: nothing reaches it.
    ASSERT_TRUE(wine_.Click(client.x + client.width + 50, client.y + client.height + 50));
    ASSERT_TRUE(probe->Send("quit"));
    EXPECT_EQ(probe->WaitForExit(), 0);
    for (const std::string& line : probe->Lines()) EXPECT_NE(line, "press 0 0");
    EXPECT_EQ(probe->Lines().size(), 8u) << "ready and title lines, three presses and releases";
}

TEST_F(WineSessionTest, ScreenshotsShowTheWindowAtItsReportedPlace) {
    ScreenRect client;
    std::unique_ptr<WineProcess> probe = StartProbe(&client);
    ASSERT_TRUE(probe);
    ASSERT_TRUE(probe->Send("fill 200 30 40"));
    ASSERT_TRUE(probe->WaitForLine("filled"));

    std::string whole = ScratchPath("screen.png");
    ASSERT_TRUE(wine_.Screenshot(whole));
    EXPECT_GT(std::filesystem::file_size(whole), 0u);
    EXPECT_EQ(PngSize(whole), std::make_pair(1024, 768));

    std::string part = ScratchPath("client.ppm");
    ASSERT_TRUE(wine_.Screenshot(part, client));
    std::optional<Picture> picture = ReadPpm(part);
    ASSERT_TRUE(picture);
    ASSERT_EQ(picture->width, client.width);
    ASSERT_EQ(picture->height, client.height);
    // Every pixel of the client area has the colour the program painted: the rectangle of the
    // ready line is exactly where the window is on the screen.
    size_t others = 0;
    for (size_t i = 0; i < picture->rgb.size(); i += 3) {
        if (picture->rgb[i] != 200 || picture->rgb[i + 1] != 30 || picture->rgb[i + 2] != 40)
            ++others;
    }
    EXPECT_EQ(others, 0u);

    // One pixel further out on each side is the frame, not the client area.
    std::string frame = ScratchPath("frame.ppm");
    ASSERT_TRUE(wine_.Screenshot(
        frame, ScreenRect{client.x - 1, client.y - 1, client.width + 2, client.height + 2}));
    std::optional<Picture> framed = ReadPpm(frame);
    ASSERT_TRUE(framed);
    EXPECT_NE(framed->rgb[0], 200);

    ASSERT_TRUE(probe->Send("exit 7"));
    EXPECT_EQ(probe->WaitForExit(), 7);
    for (const std::string& path : {whole, part, frame}) std::filesystem::remove(path);
}

TEST_F(WineSessionTest, AHungProgramIsKilledAndTheSessionGoesOn) {
    std::unique_ptr<WineProcess> hung = wine_.Start(kProbe, {"hang"});
    ASSERT_TRUE(hung);
    EXPECT_FALSE(hung->WaitForReady(1500ms));
    EXPECT_TRUE(hung->Running());
    EXPECT_FALSE(hung->WaitForExit(300ms)) << "a hung program has no exit code";
    EXPECT_FALSE(hung->Running());
    EXPECT_FALSE(hung->WaitForLine("ready", 100ms));

    // The next program still starts, shows and ends in the same session.
    ScreenRect client;
    std::unique_ptr<WineProcess> probe = StartProbe(&client);
    ASSERT_TRUE(probe);
    probe->CloseInput();
    ASSERT_TRUE(probe->Send("quit") == false);
    probe->Kill();
    EXPECT_FALSE(probe->Running());
}

}  // namespace
}  // namespace q407::test
