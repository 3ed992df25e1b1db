// The mixer page's rules without windows: links, mute, the input and clock source rules, how a
// stored record is taken in, and which changes reach the owner, in which order, when.
#include "panel/widgets/mixer_page_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace q407::panel {
namespace {

struct Call {
    std::string name;
    int delayMs;
    PanelConfig config;
};

class RecordingOwner : public PanelOwner {
  public:
    void applyOutputLevels(PanelConfig config, int delayMs) override {
        calls.push_back({"levels", delayMs, config});
    }
    void applyDigitalSettings(PanelConfig config) override {
        calls.push_back({"digital", -1, config});
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const Call& c : calls) names.push_back(c.name);
        return names;
    }
    std::vector<Call> calls;
};

PanelConfig Stored() {
    PanelConfig config;
    std::memset(&config, 0, sizeof config);
    for (int k = 0; k < kPanelOutputs; ++k) config.volume[k] = static_cast<uint8_t>(100 + k);
    config.autoClock = 1;
    config.spdifInput = 0;
    config.sampleRate = 48000;
    config.latency = 256;
    return config;
}

using Names = std::vector<std::string>;

TEST(MixerPageModel, NothingReachesTheOwnerBeforeTheFirstRecord) {
    RecordingOwner owner;
    MixerPageModel page(&owner);
    EXPECT_FALSE(page.Live());
    EXPECT_EQ(page.Config().sampleRate, -1);  // all 0xFF
    page.FaderMoved(0, 12);
    page.MuteClicked(3);
    page.LinkClicked(1);
    page.InputSourceClicked(true);
    page.ClockSourceClicked(false);
    EXPECT_TRUE(owner.calls.empty());
    // The controls still follow the user.
    EXPECT_EQ(page.FaderPosition(0), 12);
    EXPECT_TRUE(page.Buttons().muteOn[3]);
    EXPECT_TRUE(page.Buttons().linkOn[1]);
    page.ApplyConfig(Stored());
    EXPECT_TRUE(page.Live());
    EXPECT_TRUE(owner.calls.empty());  // taking a record passes nothing back
    page.LinkClicked(0);
    EXPECT_EQ(owner.Names(), Names({"digital"}));
}

TEST(MixerPageModel, FaderAndMuteCopyToTheLinkedPartnerAndPassBoth) {
    RecordingOwner owner;
    MixerPageModel page(&owner);
    page.ApplyConfig(Stored());
    EXPECT_EQ(page.FaderMoved(0, 90), -1);  // not linked
    EXPECT_EQ(page.FaderPosition(1), 101);
    page.LinkClicked(0);
    // Linking does not align the channels.
    EXPECT_EQ(page.Config().volume[0], 90);
    EXPECT_EQ(page.Config().volume[1], 101);
    owner.calls.clear();
    EXPECT_EQ(page.FaderMoved(0, 70), 1);
    EXPECT_EQ(page.FaderPosition(1), 70);
    EXPECT_EQ(page.Config().volume[1], 70);
    EXPECT_EQ(page.Config().volume[2], 102);
    ASSERT_EQ(owner.Names(), Names({"levels", "digital"}));
    EXPECT_EQ(owner.calls[0].delayMs, 0);
    EXPECT_EQ(owner.calls[0].config.volume[1], 70);  // a whole copy, after the change
    EXPECT_EQ(owner.calls[1].config.sampleRate, 48000);
    owner.calls.clear();
    EXPECT_EQ(page.MuteClicked(1), 0);  // muting output 2 mutes output 1
    EXPECT_TRUE(page.Buttons().muteOn[0]);
    EXPECT_EQ(page.Config().mute[0], 1);
    EXPECT_EQ(page.Config().mute[1], 1);
    EXPECT_EQ(owner.Names(), Names({"levels", "digital"}));
    page.MuteClicked(0);
    EXPECT_EQ(page.Config().mute[1], 0);
    // Pair 3/4 is not linked.
    EXPECT_EQ(page.MuteClicked(2), -1);
    EXPECT_EQ(page.Config().mute[3], 0);
    // A position beyond the range is stored clamped.
    page.FaderMoved(5, 300);
    EXPECT_EQ(page.Config().volume[5], 127);
    EXPECT_EQ(page.FaderMoved(9, 1), -1);  // no such output
}

TEST(MixerPageModel, SpdifOnlyWithAutoClock) {
    RecordingOwner owner;
    MixerPageModel page(&owner);
    PanelConfig internal = Stored();
    internal.autoClock = 0;
    page.ApplyConfig(internal);
    EXPECT_TRUE(page.Buttons().digitalDisabled);
    page.InputSourceClicked(true);
    EXPECT_TRUE(page.Buttons().analogOn);
    EXPECT_FALSE(page.Buttons().digitalOn);
    EXPECT_TRUE(page.Buttons().digitalDisabled);
    EXPECT_EQ(page.Config().spdifInput, 0);
    EXPECT_EQ(owner.Names(), Names({"digital"}));
    page.ClockSourceClicked(true);
    EXPECT_TRUE(page.Buttons().autoOn);
    EXPECT_FALSE(page.Buttons().internalOn);
    EXPECT_FALSE(page.Buttons().digitalDisabled);
    EXPECT_EQ(page.Config().spdifInput, 0);  // the source is left as it was
    page.InputSourceClicked(true);
    EXPECT_TRUE(page.Buttons().digitalOn);
    EXPECT_FALSE(page.Buttons().analogOn);
    EXPECT_EQ(page.Config().spdifInput, 1);
    EXPECT_EQ(owner.calls.back().config.spdifInput, 1);
    EXPECT_EQ(owner.calls.back().config.autoClock, 1);
    // INTERNAL while S/PDIF is selected: back to analog.
    page.ClockSourceClicked(false);
    EXPECT_TRUE(page.Buttons().internalOn);
    EXPECT_TRUE(page.Buttons().analogOn);
    EXPECT_FALSE(page.Buttons().digitalOn);
    EXPECT_TRUE(page.Buttons().digitalDisabled);
    EXPECT_EQ(page.Config().spdifInput, 0);
    EXPECT_EQ(page.Config().autoClock, 0);
    EXPECT_EQ(owner.Names(), Names({"digital", "digital", "digital", "digital"}));
}

TEST(MixerPageModel, ApplyConfigNormalisesSourcesAndSetsControls) {
    MixerPageModel page(nullptr);
    PanelConfig odd = Stored();
    odd.autoClock = 7;   // anything but 1 is internal
    odd.spdifInput = 1;  // S/PDIF with an internal clock is not shown
    odd.mute[4] = 1;
    odd.pairLink[2] = 1;
    odd.volume[6] = 200;
    page.ApplyConfig(odd);
    EXPECT_EQ(page.Config().autoClock, 0);
    EXPECT_EQ(page.Config().spdifInput, 0);
    EXPECT_TRUE(page.Buttons().internalOn);
    EXPECT_TRUE(page.Buttons().analogOn);
    EXPECT_FALSE(page.Buttons().digitalOn);
    EXPECT_TRUE(page.Buttons().digitalDisabled);
    EXPECT_TRUE(page.Buttons().muteOn[4]);
    EXPECT_FALSE(page.Buttons().muteOn[5]);
    EXPECT_TRUE(page.Buttons().linkOn[2]);
    EXPECT_EQ(page.FaderPosition(6), 127);
    EXPECT_EQ(page.FaderPosition(0), 100);

    PanelConfig digital = Stored();
    digital.spdifInput = 1;
    page.ApplyConfig(digital);
    EXPECT_TRUE(page.Buttons().autoOn);
    EXPECT_TRUE(page.Buttons().digitalOn);
    EXPECT_FALSE(page.Buttons().analogOn);
    EXPECT_FALSE(page.Buttons().digitalDisabled);
    EXPECT_FALSE(page.Buttons().linkOn[2]);
    digital.spdifInput = 5;
    page.ApplyConfig(digital);
    EXPECT_EQ(page.Config().spdifInput, 0);
    EXPECT_TRUE(page.Buttons().analogOn);
    // Fields the page does not touch come through as they were.
    EXPECT_EQ(page.Config().latency, 256);
    // Without an owner nothing is called and nothing breaks.
    page.MuteClicked(0);
    EXPECT_TRUE(page.Buttons().muteOn[0]);
}

}  // namespace
}  // namespace q407::panel
