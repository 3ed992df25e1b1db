// The laws of the slider, rotary, dial, counter and level-meter controls, checked against values
// worked out by hand from the laws' statements.
#include <gtest/gtest.h>

#include <limits>
#include <numbers>

#include "panel/widgets/dial_angle.h"
#include "panel/widgets/digit_counter.h"
#include "panel/widgets/knob_law.h"
#include "panel/widgets/level_bars.h"
#include "panel/widgets/slider_scale.h"

namespace q407::panel {
namespace {

TEST(SliderScale, LinearValueTruncatesTowardZeroAndClamps) {
    EXPECT_EQ(LinearSliderValue(50, 0, 100, 0, 255), 127);  // 127.5
    // -100 + 200 x 0.5 / 200 = -99.5: toward zero is -99 (rounding down would give -100).
    EXPECT_EQ(LinearSliderValue(0.5, 0, 200, -100, 100), -99);
    EXPECT_EQ(LinearSliderValue(-10, 0, 100, 0, 255), 0);
    EXPECT_EQ(LinearSliderValue(1e12, 0, 100, 0, 255), 255);
    EXPECT_EQ(LinearSliderValue(30, 10, 10, 4, 9), 4);  // an empty travel
    // p measured from another origin: low = 20, high = 120.
    EXPECT_EQ(LinearSliderValue(70, 20, 120, 0, 10), 5);
}

TEST(SliderScale, VerticalTravelMapsRowsBothWays) {
    VerticalTravel travel{110, 10, 0, 100};
    EXPECT_EQ(travel.ValueAt(10), 100);
    EXPECT_EQ(travel.ValueAt(110), 0);
    EXPECT_EQ(travel.ValueAt(60), 50);
    EXPECT_EQ(travel.ValueAt(500), 0);
    EXPECT_EQ(travel.ValueAt(-500), 100);
    EXPECT_EQ(travel.ThumbRow(0), 110);
    EXPECT_EQ(travel.ThumbRow(100), 10);
    EXPECT_EQ(travel.ThumbRow(25), 85);
    EXPECT_EQ(travel.ThumbRow(150), 10);
    EXPECT_EQ(travel.ThumbRow(-20), 110);
    for (int position = 0; position <= 100; ++position) {
        EXPECT_EQ(travel.ValueAt(travel.ThumbRow(position)), position);
    }
    EXPECT_EQ(travel.Clamp(-1), 0);
    EXPECT_EQ(travel.Clamp(101), 100);
    VerticalTravel flat{50, 50, 3, 3};
    EXPECT_EQ(flat.ThumbRow(3), 50);
    EXPECT_EQ(flat.ValueAt(0), 3);
}

TEST(SliderScale, DoubleSliderPartBySplits) {
    EXPECT_EQ(DoubleSliderPart(19, 20, 40), 0);
    EXPECT_EQ(DoubleSliderPart(20, 20, 40), 1);
    EXPECT_EQ(DoubleSliderPart(39, 20, 40), 1);
    EXPECT_EQ(DoubleSliderPart(40, 20, 40), 2);
}

TEST(KnobLaw, PositionsAndAnglesFollowTheLaw) {
    KnobLaw law{-2.3f, 2.3f, 100};
    EXPECT_FLOAT_EQ(law.AngleOf(0), -2.3f);
    EXPECT_FLOAT_EQ(law.AngleOf(100), 2.3f);
    EXPECT_NEAR(law.AngleOf(50), 0.0f, 1e-6);
    EXPECT_FLOAT_EQ(law.AngleOf(250), 2.3f);
    EXPECT_EQ(law.PositionOf(0.0f), 50);
    for (int position = 0; position <= 100; ++position) {
        EXPECT_EQ(law.PositionOf(law.AngleOf(position)), position);
    }
    // Limits narrower than the travel: -1 rad is (1.3 / 4.6) x 100 = 28.26 steps.
    KnobLaw narrow{-1.0f, 1.0f, 100};
    EXPECT_FLOAT_EQ(narrow.AngleOf(0), -1.0f);
    EXPECT_EQ(narrow.PositionOf(narrow.AngleOf(0)), 28);
    // One key step of 0.8 rad from the middle of 64 steps: 0.8 / 4.6 x 64 = 11.13 steps.
    KnobLaw keys{-2.3f, 2.3f, 64};
    EXPECT_EQ(keys.PositionOf(keys.Clamp(keys.AngleOf(32) + KnobLaw::kRadiansPerStep)), 43);
    KnobLaw none{-2.3f, 2.3f, 0};
    EXPECT_FLOAT_EQ(none.AngleOf(5), -2.3f);
    EXPECT_EQ(none.PositionOf(1.0f), 0);
}

TEST(KnobLaw, PointerSitsOnTheCircle) {
    KnobPoint top = KnobPointerCentre(30, 40, 10, 0.0f);
    EXPECT_EQ(top.x, 30);
    EXPECT_EQ(top.y, 30);
    KnobPoint right = KnobPointerCentre(30, 40, 10, static_cast<float>(std::numbers::pi / 2));
    EXPECT_EQ(right.x, 40);
    EXPECT_EQ(right.y, 40);
}

TEST(DialAngle, DegreesAreClockwiseFromTheStartAndNormalised) {
    EXPECT_DOUBLE_EQ(DialDegrees(5, 0, 0), 0.0);
    EXPECT_DOUBLE_EQ(DialDegrees(0, 5, 0), 90.0);  // below the centre: a quarter turn clockwise
    EXPECT_DOUBLE_EQ(DialDegrees(-5, 0, 0), 180.0);
    EXPECT_DOUBLE_EQ(DialDegrees(0, -5, 0), 270.0);
    EXPECT_DOUBLE_EQ(DialDegrees(5, 0, 90), 270.0);
    EXPECT_DOUBLE_EQ(DialDegrees(0, 5, -270), 0.0);
    EXPECT_DOUBLE_EQ(DialDegrees(0, 0, 45), 0.0);
    EXPECT_DOUBLE_EQ(NormaliseDegrees(720.0), 0.0);
    EXPECT_DOUBLE_EQ(NormaliseDegrees(-450.0), 270.0);
    double tiny = NormaliseDegrees(-1e-14);
    EXPECT_GE(tiny, 0.0);
    EXPECT_LT(tiny, 360.0);
    EXPECT_DOUBLE_EQ(NormaliseDegrees(std::numeric_limits<double>::quiet_NaN()), 0.0);
}

TEST(DialAngle, PositionsAndFrames) {
    EXPECT_EQ(DialPosition(180.0, 0, 100), 50);
    EXPECT_EQ(DialPosition(359.9, 0, 100), 99);
    EXPECT_EQ(DialPosition(-90.0, 0, 100), 75);
    EXPECT_EQ(DialPosition(90.0, 10, 20), 12);  // 10 + 10 x 0.25 = 12.5
    EXPECT_EQ(DialFrame(0, 0, 100, 11), 0);
    EXPECT_EQ(DialFrame(100, 0, 100, 11), 10);
    EXPECT_EQ(DialFrame(55, 0, 100, 11), 5);
    EXPECT_EQ(DialFrame(500, 0, 100, 11), 10);
    EXPECT_EQ(DialFrame(7, 7, 7, 11), 0);
}

TEST(DigitCounter, WrapsBelowZeroAndAboveTheBound) {
    EXPECT_EQ(DigitCounterValue(-1, 59, 0), 59);
    EXPECT_EQ(DigitCounterValue(60, 59, 0), 0);
    EXPECT_EQ(DigitCounterValue(60, 59, 1), 1);
    EXPECT_EQ(DigitCounterValue(59, 59, 0), 59);
    EXPECT_EQ(DigitCounterValue(0, 59, 7), 0);
    char text[12];
    EXPECT_EQ(FormatTwoDigits(5, text, sizeof text), 2u);
    EXPECT_STREQ(text, "05");
    FormatTwoDigits(123, text, sizeof text);
    EXPECT_STREQ(text, "123");
    FormatTwoDigits(-3, text, sizeof text);
    EXPECT_STREQ(text, "-3");
    char small[2];
    EXPECT_EQ(FormatTwoDigits(42, small, sizeof small), 1u);
    EXPECT_STREQ(small, "4");
}

TEST(LevelBars, HeightsStayWithinTheBar) {
    EXPECT_EQ(DarkRows(100, 30), 70);
    EXPECT_EQ(DarkRows(100, 0), 100);
    EXPECT_EQ(DarkRows(100, 100), 0);
    EXPECT_EQ(DarkRows(57, 50), 28);  // 28.5 rows
    EXPECT_EQ(DarkRows(100, 65535), 0);
    EXPECT_EQ(DarkRows(100, -5), 100);
    EXPECT_EQ(DarkRows(0, 50), 0);
    EXPECT_EQ(UnlitRows(80, 20), 60);
    EXPECT_EQ(UnlitRows(80, 500), 0);
    EXPECT_EQ(UnlitRows(80, -1), 80);
    EXPECT_EQ(UnlitRows(-4, 2), 0);
}

}  // namespace
}  // namespace q407::panel
