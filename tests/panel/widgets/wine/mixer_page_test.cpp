// The mixer page as a person uses it: faders dragged and buttons clicked with the mouse on an
// Xvfb screen, what the page passes to its owner read from the host program's output, meter
// updates fed in, and a screenshot of the page with moving meters and hold markers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "panel/widgets/fader_law.h"
#include "panel/widgets/mixer_page_layout.h"
#include "tests/support/wine/ppm_pixel.h"
#include "tests/support/wine/wine_session.h"

namespace q407::test {
namespace {

using panel::PageRect;

const char* const kProgram = Q407_WINE_PROGRAM_mixer_page_program;
const std::string kShots = Q407_MIXER_SHOTS_DIR;

struct Dump {
    std::vector<int> faders, buttons, visible, hold, bar;
    std::vector<std::string> labels;
};

std::vector<int> Numbers(const std::string& line) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    std::vector<int> values;
    for (int v = 0; words >> v;) values.push_back(v);
    return values;
}
std::vector<std::string> Words(const std::string& line) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    std::vector<std::string> values;
    while (words >> word) values.push_back(word);
    return values;
}

// The record fields of a "levels DELAY ..." or "digital ..." line: volumes 0..7, mutes 8..15,
// links 16..19, source 20, clock 21.
std::vector<int> RecordOf(const std::string& line, bool levels) {
    std::vector<int> v = Numbers(line);
    if (levels && !v.empty()) v.erase(v.begin());
    return v;
}

class MixerPageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!wine_.Available()) GTEST_SKIP() << wine_.UnavailableReason();
        std::filesystem::create_directories(kShots);
        program_ = wine_.Start(kProgram);
        ASSERT_TRUE(program_);
        const auto ready = program_->WaitForLine("ready page");
        ASSERT_TRUE(ready) << program_->ErrorText();
        page_ = *ParseReadyLine(*ready);
    }
    void TearDown() override {
        if (program_) {
            program_->Send("quit");
            EXPECT_EQ(program_->WaitForExit(), 0);
        }
    }

    void Click(const PageRect& r) {
        ASSERT_TRUE(wine_.Click(page_.x + r.left + r.width / 2, page_.y + r.top + r.height / 2));
    }
    Dump Read() {
        program_->Send("dump");
        Dump d;
        auto next = [&](const char* prefix) {
            auto line = program_->WaitForLine(prefix);
            return line ? *line : std::string();
        };
        d.faders = Numbers(next("faders"));
        d.labels = Words(next("labels"));
        d.buttons = Numbers(next("buttons"));
        d.visible = Numbers(next("visible"));
        d.hold = Numbers(next("hold"));
        d.bar = Numbers(next("bar"));
        next("end");
        return d;
    }
    // The owner calls the program reported, up to the answer of the next dump.
    std::vector<std::string> Calls() {
        program_->Send("dump");
        std::vector<std::string> calls;
        const size_t from = program_->Lines().size();
        EXPECT_TRUE(program_->WaitForLine("end"));
        const auto& lines = program_->Lines();
        for (size_t i = from; i < lines.size(); ++i) {
            if (lines[i].rfind("levels", 0) == 0 || lines[i].rfind("digital", 0) == 0)
                calls.push_back(lines[i]);
        }
        return calls;
    }
    void Send(const std::string& line, const char* answer) {
        ASSERT_TRUE(program_->Send(line));
        ASSERT_TRUE(program_->WaitForLine(answer));
    }

    WineSession& wine_ = WineSession::Shared();
    std::unique_ptr<WineProcess> program_;
    ScreenRect page_;
};

constexpr int kMute = 0, kLink = 8, kAnalog = 12, kDigital = 13, kInternal = 14, kAuto = 15,
              kDigitalDisabled = 16;

TEST_F(MixerPageTest, ActsAsAPersonUsesIt) {
    const PageRect digital = panel::kSourceButtons[1].rect;
    const PageRect internal = panel::kSourceButtons[2].rect;
    const PageRect automatic = panel::kSourceButtons[3].rect;
    {
        SCOPED_TRACE("hidden until shown; nothing passed on before the first record");
        Dump d = Read();
        EXPECT_EQ(d.visible, std::vector<int>({0, 0, 0, 0, 0}));  // the template is not visible
        EXPECT_EQ(d.faders.size(), 8u);
        EXPECT_EQ(d.labels[0], "0.0dB");
        Send("show 1", "shown");
        d = Read();
        EXPECT_EQ(d.visible, std::vector<int>({1, 1, 1, 1, 1}));
        Click(panel::OutputRect(panel::kMuteColumns, 2));
        EXPECT_TRUE(Calls().empty());
        d = Read();
        EXPECT_EQ(d.buttons[kMute + 2], 1);  // the control follows the user all the same
    }
    // Output 1 at 127, 2 at 100; clock internal.
    Send("apply 127 100 90 90 90 90 90 90 0 0 0 0 0 0 0 0 0 0 0 0 0 0", "applied");
    {
        SCOPED_TRACE("S/PDIF refused while INTERNAL, chosen after AUTO, undone by INTERNAL");
        Dump d = Read();
        EXPECT_EQ(d.buttons[kMute + 2], 0);
        EXPECT_EQ(d.buttons[kDigitalDisabled], 1);
        EXPECT_EQ(d.labels[1], "-13.5dB");
        Click(digital);
        auto calls = Calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].rfind("digital", 0), 0u);
        EXPECT_EQ(RecordOf(calls[0], false)[20], 0);
        d = Read();
        EXPECT_EQ(d.buttons[kAnalog], 1);
        EXPECT_EQ(d.buttons[kDigital], 0);
        EXPECT_EQ(d.buttons[kDigitalDisabled], 1);
        Click(automatic);
        Click(digital);
        calls = Calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(RecordOf(calls[0], false)[21], 1);
        EXPECT_EQ(RecordOf(calls[1], false)[20], 1);
        d = Read();
        EXPECT_EQ(d.buttons[kDigital], 1);
        EXPECT_EQ(d.buttons[kAnalog], 0);
        EXPECT_EQ(d.buttons[kAuto], 1);
        EXPECT_EQ(d.buttons[kDigitalDisabled], 0);
        Click(internal);
        calls = Calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(RecordOf(calls[0], false)[20], 0);
        EXPECT_EQ(RecordOf(calls[0], false)[21], 0);
        d = Read();
        EXPECT_EQ(d.buttons[kAnalog], 1);
        EXPECT_EQ(d.buttons[kInternal], 1);
        EXPECT_EQ(d.buttons[kDigitalDisabled], 1);
    }
    {
        SCOPED_TRACE("linked pair: a dragged fader moves its partner, muting 2 mutes 1");
        Click(panel::LinkRect(0));
        auto calls = Calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(RecordOf(calls[0], false)[16], 1);
        // From the knob at the top down past the bottom of the track.
        const PageRect f = panel::OutputRect(panel::kFaderColumns, 0);
        const int x = page_.x + f.left + 5;
        const int top = page_.y + f.top;
        ASSERT_TRUE(wine_.Drag({{x, top + 8}, {x, top + 80}, {x, top + 150}, {x, top + 153}}));
        calls = Calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.front().rfind("levels 0 ", 0), 0u);
        EXPECT_EQ(RecordOf(calls.back(), false)[1], 0);  // the partner's byte went with it
        Dump d = Read();
        EXPECT_EQ(d.faders[0], 0);
        EXPECT_EQ(d.faders[1], 0);
        EXPECT_EQ(d.labels[0], "-63.5dB");
        EXPECT_EQ(d.labels[1], "-63.5dB");
        EXPECT_EQ(d.faders[2], 90);  // the next pair is not linked
        // One wheel notch up from the bottom.
        Send("wheel 1 120", "wheeled");
        d = Read();
        EXPECT_EQ(d.labels[1], "-63.0dB");
        EXPECT_EQ(d.labels[0], "-63.0dB");
        calls = Calls();
        Click(panel::OutputRect(panel::kMuteColumns, 1));
        calls = Calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].rfind("levels 0 ", 0), 0u);
        EXPECT_EQ(calls[1].rfind("digital", 0), 0u);
        const auto record = RecordOf(calls[0], true);
        EXPECT_EQ(record[8], 1);
        EXPECT_EQ(record[9], 1);
        EXPECT_EQ(record[0], 1);
        EXPECT_EQ(record[1], 1);
        d = Read();
        EXPECT_EQ(d.buttons[kMute + 0], 1);
        EXPECT_EQ(d.buttons[kMute + 1], 1);
        EXPECT_EQ(d.buttons[kLink + 0], 1);
    }
    {
        SCOPED_TRACE("meters: silent first update, then levels, hold markers and their colour");
        std::string loud = "meters";
        for (int i = 0; i < 24; ++i) loud += " " + std::to_string(i < 16 ? 5 + 8 * i : 123);
        Send(loud, "metered");
        Dump d = Read();
        EXPECT_EQ(d.bar[0], 0);
        Send(loud, "metered");
        d = Read();
        // raw 5: trunc(ln 6 x 26.33745) = 47; 123 (and the raw 200 below) reads 126.
        EXPECT_EQ(d.bar[0], 47);
        EXPECT_EQ(d.hold[0], 47);
        std::string quieter = "meters";
        for (int i = 0; i < 24; ++i) quieter += " " + std::to_string(i < 16 ? 2 + 4 * i : 200);
        for (int n = 0; n < 4; ++n) Send(quieter, "metered");
        d = Read();
        EXPECT_LT(d.bar[15], 126);  // falling by two an update
        EXPECT_GT(d.hold[15], d.bar[15]);
        EXPECT_EQ(d.bar[23], 126);
        const std::string shot = kShots + "/mixer_page.png";
        ASSERT_TRUE(wine_.Screenshot(shot, page_));
        const auto size = PngSize(shot);
        ASSERT_TRUE(size);
        EXPECT_EQ(size->first, panel::kPageWidth);
        EXPECT_EQ(size->second, panel::kPageHeight);
        // Hold markers: input 1 at 47 (green, row 145 - 145 x 47 / 127 = 92), output 8 at 126
        // (red, row 2), both drawn over their bars.
        const std::string pixels = kShots + "/mixer_page.ppm";
        ASSERT_TRUE(wine_.Screenshot(pixels, page_));
        const PageRect in0 = panel::InputMeterRect(0);
        const PageRect out7 = panel::OutputRect(panel::kOutputMeterColumns, 7);
        EXPECT_EQ(PixelOf(pixels, in0.left + 4, in0.top + 92), Rgb({94, 212, 42}));
        EXPECT_EQ(PixelOf(pixels, out7.left + 4, out7.top + 2), Rgb({253, 95, 89}));
        EXPECT_NE(PixelOf(pixels, in0.left + 4, in0.top + 91), Rgb({94, 212, 42}));
    }
}

}  // namespace
}  // namespace q407::test
