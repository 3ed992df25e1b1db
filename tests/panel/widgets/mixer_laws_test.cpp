// The mixer page's fader, meter and hold-marker laws, against values worked out by hand.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "panel/widgets/fader_law.h"
#include "panel/widgets/meter_law.h"
#include "panel/widgets/mixer_page_layout.h"

namespace q407::panel {
namespace {

std::string Db(int position) {
    char text[16];
    FaderDbText(position, text, sizeof text);
    return text;
}

TEST(FaderLaw, ReadOutEndsAndOneStepUpFromTheBottom) {
    FaderLaw law;
    EXPECT_EQ(Db(127), "0.0dB");
    EXPECT_EQ(Db(0), "-63.5dB");
    EXPECT_EQ(Db(law.Step(0, 120)), "-63.0dB");  // one wheel notch up
    EXPECT_EQ(Db(126), "-0.5dB");
    EXPECT_EQ(law.Step(127, 1), 127);
    EXPECT_EQ(law.Step(0, -1), 0);
    char tiny[4];
    FaderDbText(0, tiny, sizeof tiny);
    EXPECT_EQ(std::string(tiny), "-63");  // cut, still terminated
}

TEST(FaderLaw, PointerRowToPositionAndKnobRow) {
    FaderLaw law;
    EXPECT_EQ(law.PositionAt(8), 127);
    EXPECT_EQ(law.PositionAt(153), 0);
    EXPECT_EQ(law.PositionAt(-40), 127);  // above the track: clamped
    EXPECT_EQ(law.PositionAt(400), 0);
    // (8 + 145 - 80) x 127 / 145 = 63.9 -> 63
    EXPECT_EQ(law.PositionAt(80), 63);
    EXPECT_EQ(law.KnobTop(127), 0);
    EXPECT_EQ(law.KnobTop(0), 145);
    EXPECT_EQ(law.KnobTop(64), 145 - 145 * 64 / 127);
    EXPECT_EQ(law.KnobTop(300), 0);  // a stored byte beyond the range
    // The knob's centre maps back to (about) its own position.
    for (int p = 0; p <= 127; ++p) {
        const int back = law.PositionAt(law.KnobTop(p) + 8);
        EXPECT_LE(std::abs(back - p), 1) << p;
    }
    FaderLaw flat{16, 16, 0, 127};
    EXPECT_EQ(flat.PositionAt(3), 0);
}

TEST(MeterLaw, LogCurveLimitAndFall) {
    EXPECT_EQ(MeterLevel(0, 100), 0);  // silence drops at once
    EXPECT_EQ(MeterLevel(1, 0), 18);
    EXPECT_EQ(MeterLevel(123, 0), 126);
    for (int raw = 124; raw <= 127; ++raw) EXPECT_EQ(MeterLevel(uint8_t(raw), 0), 126) << raw;
    // Out of the driver's range: full scale, never a negative or undefined level.
    for (int raw = 128; raw <= 255; ++raw) EXPECT_EQ(MeterLevel(uint8_t(raw), 0), 126) << raw;
    EXPECT_EQ(MeterLevel(1, 100), 98);  // falls by 2
    EXPECT_EQ(MeterLevel(1, 30), 28);
    EXPECT_EQ(MeterLevel(1, 18), 18);  // not below
    EXPECT_EQ(MeterLevel(1, 19), 17);
}

TEST(MeterLaw, FirstUpdateAfterSilenceShowsZeroAndHistoryIsShared) {
    MeterHistory history;
    MeterUpdate updates[24];
    uint8_t peaks[24] = {};
    peaks[0] = 123;
    peaks[16] = 1;
    peaks[23] = 200;
    UpdateMeterLevels(peaks, history, updates);
    EXPECT_EQ(updates[0].bar, 0);
    EXPECT_EQ(updates[0].hold, 0);
    EXPECT_EQ(history.inputs[0], 126);
    EXPECT_EQ(history.outputs[0], 18);
    EXPECT_EQ(history.outputs[7], 126);
    UpdateMeterLevels(peaks, history, updates);
    EXPECT_EQ(updates[0].bar, 126);
    EXPECT_EQ(updates[0].hold, 126);
    EXPECT_EQ(updates[16].bar, 18);
    EXPECT_EQ(updates[23].bar, 126);
    EXPECT_EQ(updates[1].bar, 0);
    peaks[0] = 1;
    UpdateMeterLevels(peaks, history, updates);
    EXPECT_EQ(updates[0].bar, 124);  // falling, not dropping to 18
    history.Clear();
    UpdateMeterLevels(peaks, history, updates);
    EXPECT_EQ(updates[0].bar, 0);
    UpdateMeterLevels(nullptr, history, updates);  // no record: all silent
    EXPECT_EQ(history.inputs[0], 0);
}

TEST(BarLevel, AcceptanceAndLitRows) {
    BarLevel bar;
    EXPECT_FALSE(bar.Set(0));    // 0 over 0: nothing to repaint
    EXPECT_FALSE(bar.Set(127));  // the maximum is never shown
    EXPECT_FALSE(bar.Set(-3));
    EXPECT_TRUE(bar.Set(126));
    EXPECT_EQ(bar.LitTop(145), 145 - 145 * 126 / 127);
    EXPECT_TRUE(bar.Set(0));
    EXPECT_EQ(bar.level, 0);
    EXPECT_EQ(bar.LitTop(145), 145);
}

TEST(HoldMarker, ColourAndTimedFall) {
    HoldMarker marker;
    EXPECT_TRUE(marker.Set(115));
    EXPECT_EQ(marker.colour, kHoldColourNormal);
    EXPECT_TRUE(marker.Set(116));
    EXPECT_EQ(marker.colour, kHoldColourHigh);
    EXPECT_EQ(marker.counter, 2);
    EXPECT_FALSE(marker.Set(127));  // out of range: untouched
    EXPECT_EQ(marker.hold, 116);
    // counter 2: not a multiple of 6, the hold stays until the counter reaches 6.
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(marker.Set(50));
        EXPECT_EQ(marker.hold, 116) << i;
    }
    EXPECT_EQ(marker.counter, 6);
    marker.Set(50);
    EXPECT_EQ(marker.hold, 112);  // distance above 4: by 4
    EXPECT_EQ(marker.counter, 1);
    EXPECT_EQ(marker.colour, kHoldColourHigh);  // the colour follows rises only
    for (int i = 0; i < 5; ++i) marker.Set(50);
    EXPECT_EQ(marker.hold, 112);
    marker.Set(50);
    EXPECT_EQ(marker.hold, 108);

    HoldMarker near;
    near.Set(60);
    near.counter = 0;
    near.Set(57);  // distance 3: by 2
    EXPECT_EQ(near.hold, 58);
    near.counter = 6;
    near.Set(57);  // distance 1: by 1
    EXPECT_EQ(near.hold, 57);
    near.counter = 12;
    near.Set(53);  // distance 4: by 2
    EXPECT_EQ(near.hold, 55);
    EXPECT_TRUE(near.Set(0));
    EXPECT_EQ(near.hold, 0);
    EXPECT_EQ(near.counter, 0);
    EXPECT_EQ(near.Row(145), 145);
    near.Set(126);
    EXPECT_EQ(near.Row(145), 145 - 145 * 126 / 127);
}

TEST(MixerPageLayout, TablesGiveEveryControlsPlace) {
    EXPECT_EQ(InputMeterRect(0).left, 18);
    EXPECT_EQ(InputMeterRect(1).left, 35);
    EXPECT_EQ(InputMeterRect(2).left, 53);
    EXPECT_EQ(InputMeterRect(15).left, 17 * 15 + 18 + 7);
    EXPECT_EQ(OutputRect(kMuteColumns, 0).left, 319);
    EXPECT_EQ(OutputRect(kMuteColumns, 7).left, 618);
    EXPECT_EQ(OutputRect(kMuteColumns, 6).left, 562);
    EXPECT_EQ(OutputRect(kOutputMeterColumns, 3).left, 456);
    EXPECT_EQ(OutputRect(kFaderColumns, 4).left, 507);
    EXPECT_EQ(OutputRect(kFaderColumns, 5).left, 525);
    EXPECT_EQ(OutputRect(kDbLabelColumns, 1).left, 360);
    EXPECT_EQ(LinkRect(3).left, 585);
    // Every output control of the last pair stays inside the page.
    for (const PairColumns* c :
         {&kMuteColumns, &kOutputMeterColumns, &kFaderColumns, &kDbLabelColumns}) {
        const PageRect r = OutputRect(*c, 7);
        EXPECT_LE(r.left + r.width, kPageWidth);
        EXPECT_LE(r.top + r.height, kPageHeight);
    }
}

}  // namespace
}  // namespace q407::panel
