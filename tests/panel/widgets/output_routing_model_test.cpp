// Stepping outputs singly and in stereo pairs; labels count channels from 1.
#include "panel/widgets/output_routing_model.h"

#include <gtest/gtest.h>

namespace q407::panel {
namespace {

OutputMap Identity() {
    OutputMap m{};
    for (int32_t i = 0; i < 8; ++i) {
        m.entries[i] = i;
    }
    return m;
}

TEST(OutputRoutingModelTest, EntriesOutOfRangeAtCreationBecomeTheirOwnRow) {
    OutputMap m{{0, 8, 2, 300, 4, 5, 7, -2}};
    OutputRoutingModel model(&m, 8);
    EXPECT_EQ(m.entries[1], 1);
    EXPECT_EQ(m.entries[3], 3);
    EXPECT_EQ(m.entries[6], 7);  // in range: kept
    EXPECT_EQ(model.LabelText(1), "2");
    EXPECT_EQ(model.LabelText(3), "4");
    EXPECT_EQ(model.LabelText(6), "8");
}

TEST(OutputRoutingModelTest, PlusAndMinusStopAtTheEndsAndReportNoChange) {
    OutputMap m = Identity();
    OutputRoutingModel model(&m, 8);
    const OutputRoutingChange top = model.Plus(7);  // shows 8
    EXPECT_FALSE(top.changed);
    EXPECT_EQ(m.entries[7], 7);
    EXPECT_FALSE(model.Minus(0).changed);
    EXPECT_EQ(m.entries[0], 0);

    const OutputRoutingChange up = model.Plus(2);
    EXPECT_TRUE(up.changed);
    EXPECT_EQ(up.rows.lower, 2);
    EXPECT_EQ(up.rows.upper, 2);
    EXPECT_EQ(m.entries[2], 3);
    EXPECT_EQ(m.entries[3], 3);  // unlinked: the neighbour stays
    EXPECT_EQ(model.LabelText(2), "4");
    EXPECT_TRUE(model.Minus(2).changed);
    EXPECT_TRUE(model.Minus(2).changed);
    EXPECT_EQ(m.entries[2], 1);
    EXPECT_FALSE(model.Plus(8).changed);  // no such row
    EXPECT_FALSE(model.Minus(-1).changed);
}

TEST(OutputRoutingModelTest, LinkedPairsMoveTogetherOrNotAtAll) {
    OutputMap m = Identity();
    OutputRoutingModel model(&m, 8);
    EXPECT_TRUE(model.ToggleLink());
    EXPECT_EQ(m.entries[2], 2);  // linking does not touch the map
    EXPECT_EQ(model.PairOf(3).lower, 2);
    EXPECT_EQ(model.PairOf(3).upper, 3);
    EXPECT_EQ(model.PairOf(6).upper, 7);

    // Rows showing 3 and 4 become 4 and 5, from either row of the pair.
    EXPECT_TRUE(model.Plus(3).changed);
    EXPECT_EQ(m.entries[2], 3);
    EXPECT_EQ(m.entries[3], 4);
    EXPECT_TRUE(model.Minus(2).changed);
    EXPECT_TRUE(model.Plus(2).changed);
    EXPECT_EQ(model.LabelText(2), "4");
    EXPECT_EQ(model.LabelText(3), "5");

    // Rows showing 8 and 2: 8 cannot grow, so neither moves.
    m.entries[4] = 7;
    m.entries[5] = 1;
    EXPECT_FALSE(model.Plus(4).changed);
    EXPECT_EQ(m.entries[4], 7);
    EXPECT_EQ(m.entries[5], 1);
    // And with 1 below: minus moves neither.
    m.entries[4] = 0;
    EXPECT_FALSE(model.Minus(5).changed);
    EXPECT_EQ(m.entries[5], 1);
}

TEST(OutputRoutingModelTest, LinkHidesUpperRowButtonsAndResetUnlinks) {
    OutputMap m = Identity();
    OutputRoutingModel model(&m, 8);
    for (int32_t r = 0; r < 8; ++r) {
        EXPECT_TRUE(model.RowButtonsVisible(r));
    }
    model.ToggleLink();
    for (int32_t r = 0; r < 8; ++r) {
        EXPECT_EQ(model.RowButtonsVisible(r), r % 2 == 0) << r;
    }
    model.Plus(0);
    model.Plus(0);
    model.Reset();
    EXPECT_FALSE(model.Linked());
    for (int32_t r = 0; r < 8; ++r) {
        EXPECT_EQ(m.entries[r], r);
        EXPECT_TRUE(model.RowButtonsVisible(r));
    }
    EXPECT_TRUE(model.ToggleLink());
    EXPECT_FALSE(model.ToggleLink());
}

TEST(OutputRoutingModelTest, OddRowCountLeavesTheLastRowAlone) {
    OutputMap m = Identity();
    OutputRoutingModel model(&m, 3);
    EXPECT_EQ(m.entries[5], 5);  // beyond the rows: untouched at creation
    model.ToggleLink();
    EXPECT_EQ(model.PairOf(2).upper, 2);
    EXPECT_FALSE(model.Plus(2).changed);  // 2 + 1 reaches the row count
    EXPECT_TRUE(model.Minus(2).changed);
    EXPECT_EQ(m.entries[2], 1);
    EXPECT_EQ(m.entries[3], 3);
}

}  // namespace
}  // namespace q407::panel
