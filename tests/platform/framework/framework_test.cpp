// The framework classes in a real Win32 (Wine on a private X screen): the application's profile
// in the registry, kept from one run of the program to the next and under the program's own
// name; a dialog from a template whose bitmap button shows its pictures by state and reports
// clicks; a registered window class dispatching to its object; an exception thrown in a handler
// that stays inside the window procedure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/wine/wine_session.h"

namespace q407::test {
namespace {

const char* const kProbe = Q407_WINE_PROGRAM_framework_probe;

struct Colour {
    int r = -1;
    int g = -1;
    int b = -1;
};

// The mean colour of a binary PPM file (what import writes for a .ppm name).
std::optional<Colour> MeanColour(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string magic;
    int width = 0;
    int height = 0;
    int maxValue = 0;
    if (!(file >> magic >> width >> height >> maxValue) || magic != "P6" || maxValue != 255 ||
        width <= 0 || height <= 0)
        return std::nullopt;
    file.get();
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    if (!file.read(reinterpret_cast<char*>(rgb.data()), static_cast<std::streamsize>(rgb.size())))
        return std::nullopt;
    long sum[3] = {0, 0, 0};
    for (size_t i = 0; i < rgb.size(); ++i) sum[i % 3] += rgb[i];
    const long pixels = static_cast<long>(width) * height;
    return Colour{static_cast<int>(sum[0] / pixels), static_cast<int>(sum[1] / pixels),
                  static_cast<int>(sum[2] / pixels)};
}

std::string ScratchPath(const std::string& name) {
    return std::filesystem::temp_directory_path().string() + "/framework-test-" +
           std::to_string(getpid()) + "-" + name;
}

class FrameworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!wine_.Available()) GTEST_SKIP() << wine_.UnavailableReason();
    }

    // Runs the probe to its end; its lines.
    std::vector<std::string> RunProbe(const std::vector<std::string>& args) {
        std::unique_ptr<WineProcess> probe = wine_.Start(kProbe, args);
        if (!probe) {
            ADD_FAILURE() << "probe did not start";
            return {};
        }
        probe->CloseInput();
        // Every line up to the program's end (the last one it prints is "bare").
        std::vector<std::string> lines;
        while (std::optional<std::string> line = probe->WaitForLine("")) {
            lines.push_back(*line);
            if (line->rfind("bare ", 0) == 0) break;
        }
        const std::optional<int> code = probe->WaitForExit();
        EXPECT_EQ(code, 0) << probe->ErrorText();
        return lines;
    }

    // The colour in the middle of a client rectangle of the dialog.
    std::optional<Colour> ColourAt(const ScreenRect& client, int x, int y, int w, int h,
                                   const std::string& name) {
        const std::string path = ScratchPath(name + ".ppm");
        if (!wine_.Screenshot(path, ScreenRect{client.x + x, client.y + y, w, h}))
            return std::nullopt;
        std::optional<Colour> c = MeanColour(path);
        std::filesystem::remove(path);
        return c;
    }

    WineSession& wine_ = WineSession::Shared();
};

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    for (const std::string& l : lines) {
        if (l == line) return true;
    }
    return false;
}

TEST_F(FrameworkTest, ProfileValuesPersistUnderTheProgramsOwnName) {
    const std::vector<std::string> first = RunProbe({"profile", "write"});
    EXPECT_TRUE(Contains(first, "name framework_probe"));
    EXPECT_TRUE(Contains(first, "path Software\\ZEL\\framework_probe"));
    EXPECT_TRUE(Contains(first, "wrote 1 1"));
    EXPECT_TRUE(Contains(first, "refused 1 1 1"));
    EXPECT_TRUE(Contains(first, "NoSuchValue missing"));
    EXPECT_TRUE(Contains(first, "bare 0 0"));
    // The sums the program expects of its own patterns, read back in the same run.
    std::string expect;
    for (const std::string& l : first) {
        if (l.rfind("expect ", 0) == 0) expect = l;
    }
    unsigned configSum = 0;
    unsigned mixerSum = 0;
    ASSERT_EQ(std::sscanf(expect.c_str(), "expect %u %u", &configSum, &mixerSum), 2) << expect;
    const std::string config = "Q407LXConfig 360 " + std::to_string(configSum);
    const std::string mixer = "Q407LXMixer 1868 " + std::to_string(mixerSum);
    EXPECT_TRUE(Contains(first, config));
    EXPECT_TRUE(Contains(first, mixer));

    // A later run finds both values, whole.
    const std::vector<std::string> second = RunProbe({"profile", "read"});
    EXPECT_TRUE(Contains(second, config));
    EXPECT_TRUE(Contains(second, mixer));

    // Under another program name the values are that program's own.
    const std::vector<std::string> other = RunProbe({"profile", "as", "Q407PanOther"});
    EXPECT_TRUE(Contains(other, "renamed 1"));
    EXPECT_TRUE(Contains(other, "path Software\\ZEL\\Q407PanOther"));
    EXPECT_TRUE(Contains(other, config));
}

TEST_F(FrameworkTest, DialogButtonShowsItsPicturesAndReportsClicks) {
    std::unique_ptr<WineProcess> probe = wine_.Start(kProbe, {"dialog"});
    ASSERT_TRUE(probe);
    const std::optional<ScreenRect> client = probe->WaitForReady();
    ASSERT_TRUE(client) << probe->ErrorText();
    // The button is at (10, 10), 40 x 20, in the dialog's client area; the child at (80, 10).
    const int bx = client->x + 30;
    const int by = client->y + 20;

    std::optional<Colour> up = ColourAt(*client, 20, 15, 20, 10, "up");
    ASSERT_TRUE(up);
    EXPECT_GT(up->r, 180);
    EXPECT_LT(up->g, 40);

    ASSERT_TRUE(wine_.Press(bx, by));
    usleep(300 * 1000);
    std::optional<Colour> down = ColourAt(*client, 20, 15, 20, 10, "down");
    ASSERT_TRUE(down);
    EXPECT_GT(down->g, 160);
    EXPECT_LT(down->r, 40);
    ASSERT_TRUE(wine_.Release(bx, by));
    EXPECT_TRUE(probe->WaitForLine("clicked 1001"));

    ASSERT_TRUE(probe->Send("disable"));
    ASSERT_TRUE(probe->WaitForLine("disabled"));
    usleep(200 * 1000);
    std::optional<Colour> off = ColourAt(*client, 20, 15, 20, 10, "off");
    ASSERT_TRUE(off);
    EXPECT_GT(off->b, 170);
    EXPECT_LT(off->r, 40);
    // A disabled button reports nothing.
    ASSERT_TRUE(wine_.Click(bx, by));
    ASSERT_TRUE(probe->Send("enable"));
    ASSERT_TRUE(probe->WaitForLine("enabled"));

    // The child window of the registered class gets its own presses.
    ASSERT_TRUE(wine_.Click(client->x + 85, client->y + 16));
    EXPECT_TRUE(probe->WaitForLine("child press 5 6"));

    // A handler that throws leaves the program running and the object attached.
    ASSERT_TRUE(probe->Send("throw"));
    EXPECT_TRUE(probe->WaitForLine("survived 1"));
    ASSERT_TRUE(probe->Send("quit"));
    EXPECT_TRUE(probe->WaitForLine("ended 7"));
    EXPECT_EQ(probe->WaitForExit(), 7);
    int clicks = 0;
    for (const std::string& line : probe->Lines()) clicks += line == "clicked 1001" ? 1 : 0;
    EXPECT_EQ(clicks, 1);
}

}  // namespace
}  // namespace q407::test
