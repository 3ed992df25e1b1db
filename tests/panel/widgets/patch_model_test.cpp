// The patching rules driven through press, move and release at jack coordinates, with the table
// read back after each gesture. Geometry: jack k of a column spans top = 52 + 23k, 12 pixels
// high; left columns at x 89 (MME), 176 (WDM), 224 (ASIO), 41 (INPUT), right columns 39 further.
#include "panel/widgets/patch_model.h"

#include <gtest/gtest.h>

#include <cstring>

namespace q407::panel {
namespace {

constexpr int32_t kMme = 0, kWdm = 1, kAsio = 2, kInput = 3;

PatchPoint LeftJack(int32_t group, int32_t k) {
    constexpr int32_t xs[] = {89, 176, 224, 41};
    return {xs[group] + 5, 52 + 23 * k + 5};
}
PatchPoint RightJack(int32_t group, int32_t k) {
    return {LeftJack(group, k).x + 39, LeftJack(group, k).y};
}

class PatchModelTest : public ::testing::Test {
  protected:
    PatchModelTest() {
        for (RouteRecord& r : table.records) {
            r = {0, 0, 0, 0, 0, 0, -1};
        }
    }
    RouteRecord& Rec(int32_t group, int32_t k) { return table.records[RouteRecordIndex(group, k)]; }
    void Drag(PatchPoint from, PatchPoint to) {
        model.Press(from);
        model.Move({(from.x + to.x) / 2, (from.y + to.y) / 2}, true);
        model.Move(to, true);
        last = model.Release(to);
    }

    RouteTable table{};
    PatchModel model{&table, PatchLayout{}};
    PatchUpdate last;
};

TEST_F(PatchModelTest, GroupBoundsAndHalfOpenJackRectangles) {
    EXPECT_EQ(model.Group(kMme).Bounds(), (PatchRect{89, 52, 151, 409}));
    EXPECT_EQ(model.Group(kWdm).Bounds(), (PatchRect{176, 52, 199, 225}));
    EXPECT_EQ(model.Group(kAsio).Bounds(), (PatchRect{224, 52, 286, 409}));
    EXPECT_EQ(model.Group(kInput).Bounds(), (PatchRect{41, 52, 64, 409}));

    EXPECT_EQ(model.HitTest({89, 52}), (JackRef{kMme, kJackSideLeft, 0}));
    EXPECT_FALSE(model.HitTest({112, 52}).Valid());  // right edge is outside
    EXPECT_FALSE(model.HitTest({89, 64}).Valid());   // bottom edge is outside
    EXPECT_EQ(model.HitTest({150, 408}), (JackRef{kMme, kJackSideRight, 15}));
    EXPECT_EQ(model.HitTest({41, 52 + 23 * 15}), (JackRef{kInput, kJackSideLeft, 15}));
    // Row 8 of the MME left column does not exist (8 playback jacks), its right column does.
    EXPECT_FALSE(model.HitTest(LeftJack(kMme, 8)).Valid());
    EXPECT_EQ(model.HitTest(RightJack(kMme, 8)), (JackRef{kMme, kJackSideRight, 8}));
    EXPECT_FALSE(model.HitTest(RightJack(kWdm, 0)).Valid());  // WDM has no destinations
    // Centre where cables end: the midpoint plus one.
    EXPECT_EQ(model.Group(kMme).JackCentre(kJackSideLeft, 0), (PatchPoint{101, 59}));
}

TEST_F(PatchModelTest, DraggingFromFreeLeftJackToRightJackPatchesOneCable) {
    Drag(LeftJack(kWdm, 2), RightJack(kAsio, 5));
    EXPECT_TRUE(last.notify);
    EXPECT_EQ(Rec(kWdm, 2).routeOut, 1);
    EXPECT_EQ(Rec(kWdm, 2).targetKind, kAsio);
    EXPECT_EQ(Rec(kWdm, 2).targetSide, 1);
    EXPECT_EQ(Rec(kWdm, 2).targetChannel, 5);
    EXPECT_EQ(Rec(kAsio, 5).routeIn, 1);
    int inUse = 0;
    for (const RouteRecord& r : table.records) {
        inUse += r.routeOut;
    }
    EXPECT_EQ(inUse, 1);
    const auto cables = model.Cables();
    ASSERT_EQ(cables.size(), 1u);
    EXPECT_EQ(cables[0].penSet, kWdm);
    // Source (188, 105) above the destination (275, 174): hangs 20 below the lower end.
    EXPECT_EQ(cables[0].points,
              (std::array<PatchPoint, 4>{{{188, 105}, {188, 194}, {275, 194}, {275, 174}}}));
    EXPECT_FALSE(model.Pressed());
    EXPECT_FALSE(model.DragVisible());
}

TEST_F(PatchModelTest, DraggingFromRightJackToLeftJackAlsoPatches) {
    Drag(RightJack(kMme, 12), LeftJack(kInput, 3));
    EXPECT_EQ(Rec(kInput, 3).routeOut, 1);
    EXPECT_EQ(Rec(kInput, 3).targetKind, kMme);
    EXPECT_EQ(Rec(kInput, 3).targetChannel, 12);
    EXPECT_EQ(Rec(kMme, 12).routeIn, 1);
}

TEST_F(PatchModelTest, TwoSourcesIntoOneRightJackAndPickupTakesFirstInScanOrder) {
    Drag(LeftJack(kInput, 4), RightJack(kMme, 3));
    Drag(LeftJack(kAsio, 6), RightJack(kMme, 3));
    Drag(LeftJack(kAsio, 1), RightJack(kMme, 3));
    EXPECT_EQ(Rec(kMme, 3).routeIn, 3);
    EXPECT_EQ(model.FindSource(kMme, 3), (JackRef{kAsio, kJackSideLeft, 1}));

    // Pressing the right jack detaches ASIO 1 (ASIO before INPUT, lower index first) at once.
    model.Press(RightJack(kMme, 3));
    EXPECT_EQ(Rec(kMme, 3).routeIn, 2);
    EXPECT_EQ(Rec(kAsio, 1).routeOut, 0);
    EXPECT_EQ(Rec(kAsio, 6).routeOut, 1);
    EXPECT_EQ(Rec(kInput, 4).routeOut, 1);
    EXPECT_EQ(model.Origin(), (JackRef{kAsio, kJackSideLeft, 1}));
    // The loose end is re-plugged elsewhere.
    model.Move(RightJack(kAsio, 9), true);
    model.Release(RightJack(kAsio, 9));
    EXPECT_EQ(Rec(kAsio, 1).routeOut, 1);
    EXPECT_EQ(Rec(kAsio, 1).targetKind, kAsio);
    EXPECT_EQ(Rec(kAsio, 1).targetChannel, 9);
    EXPECT_EQ(Rec(kAsio, 9).routeIn, 1);
    EXPECT_EQ(Rec(kMme, 3).routeIn, 2);
}

TEST_F(PatchModelTest, PickedUpCableDroppedOnSameSideOrBackgroundStaysUnplugged) {
    Drag(LeftJack(kMme, 0), RightJack(kMme, 0));
    // Right end picked up and dropped on a left jack, the fixed end's side: pulled.
    model.Press(RightJack(kMme, 0));
    model.Move(LeftJack(kWdm, 0), true);
    model.Release(LeftJack(kWdm, 0));
    EXPECT_EQ(Rec(kMme, 0).routeOut, 0);
    EXPECT_EQ(Rec(kWdm, 0).routeOut, 0);
    EXPECT_EQ(Rec(kMme, 0).routeIn, 0);

    Drag(LeftJack(kMme, 1), RightJack(kAsio, 2));
    // Left end picked up; fixed end is the right jack; dropped on the background.
    model.Press(LeftJack(kMme, 1));
    EXPECT_EQ(Rec(kAsio, 2).routeIn, 0);  // already dropped at the press
    model.Move({20, 20}, true);           // outside the followed area: ignored
    model.Move({70, 430}, true);
    const PatchUpdate u = model.Release({70, 430});
    EXPECT_TRUE(u.notify);
    EXPECT_EQ(Rec(kMme, 1).routeOut, 0);
    EXPECT_EQ(Rec(kAsio, 2).routeIn, 0);
    EXPECT_TRUE(model.Cables().empty());
}

TEST_F(PatchModelTest, PressAndReleaseOnConnectedJackRestoresTheCable) {
    Drag(LeftJack(kInput, 7), RightJack(kAsio, 7));
    const RouteTable before = table;
    for (PatchPoint p : {LeftJack(kInput, 7), RightJack(kAsio, 7)}) {
        model.Press(p);
        EXPECT_EQ(Rec(kInput, 7).routeOut, 0);
        EXPECT_EQ(Rec(kAsio, 7).routeIn, 0);
        model.Release(p);
        EXPECT_EQ(0, std::memcmp(&before, &table, sizeof table));
    }
}

TEST_F(PatchModelTest, DroppingOnALeftJackWithACableReplacesIt) {
    Drag(LeftJack(kMme, 2), RightJack(kMme, 10));
    Drag(RightJack(kAsio, 4), LeftJack(kMme, 2));
    EXPECT_EQ(Rec(kMme, 2).targetKind, kAsio);
    EXPECT_EQ(Rec(kMme, 2).targetChannel, 4);
    EXPECT_EQ(Rec(kAsio, 4).routeIn, 1);
    // The overwritten cable's destination keeps its count.
    EXPECT_EQ(Rec(kMme, 10).routeIn, 1);
    EXPECT_EQ(model.Cables().size(), 1u);
}

TEST_F(PatchModelTest, ReleaseAfterPressOffTheJacksPullsTheCableThere) {
    Drag(LeftJack(kWdm, 1), RightJack(kMme, 1));
    Drag(LeftJack(kWdm, 3), RightJack(kMme, 2));
    model.Press({300, 20});  // no jack: no drag
    EXPECT_FALSE(model.Pressed());
    model.Release(RightJack(kMme, 1));
    EXPECT_EQ(Rec(kWdm, 1).routeOut, 0);
    EXPECT_EQ(Rec(kMme, 1).routeIn, 0);
    model.Release(LeftJack(kWdm, 3));
    EXPECT_EQ(Rec(kWdm, 3).routeOut, 0);
    EXPECT_EQ(Rec(kMme, 2).routeIn, 0);
}

TEST_F(PatchModelTest, HoverLightsOnlyJacksAcrossFromTheFixedEnd) {
    model.Press(LeftJack(kMme, 0));
    EXPECT_TRUE(model.Group(kMme).Highlighted(kJackSideLeft, 0));
    model.Move(LeftJack(kMme, 1), true);
    EXPECT_FALSE(model.Group(kMme).Highlighted(kJackSideLeft, 1));
    model.Move(RightJack(kMme, 1), true);
    EXPECT_TRUE(model.Group(kMme).Highlighted(kJackSideRight, 1));
    model.Move(RightJack(kMme, 2), true);
    EXPECT_FALSE(model.Group(kMme).Highlighted(kJackSideRight, 1));
    EXPECT_TRUE(model.Group(kMme).Highlighted(kJackSideRight, 2));
    EXPECT_TRUE(model.Group(kMme).Highlighted(kJackSideLeft, 0));  // the origin stays lit
    model.Release({5, 5});
    EXPECT_FALSE(model.Group(kMme).Highlighted(kJackSideRight, 2));
    EXPECT_FALSE(model.Group(kMme).Highlighted(kJackSideLeft, 0));
}

TEST_F(PatchModelTest, DragCurveFollowsOnlyButtonMovesInsideTheArea) {
    const PatchUpdate press = model.Press(LeftJack(kInput, 0));  // anchor is the press point
    EXPECT_EQ(press.redraw, PatchUpdate::Redraw::Whole);
    EXPECT_FALSE(press.notify);
    const PatchUpdate move = model.Move({200, 300}, true);
    EXPECT_EQ(move.redraw, PatchUpdate::Redraw::Area);
    EXPECT_EQ(move.area, (PatchRect{40, 40, 310, 450}));
    const auto curve = model.DragCurve();
    EXPECT_EQ(curve, (std::array<PatchPoint, 4>{{{46, 57}, {46, 320}, {200, 320}, {200, 300}}}));
    EXPECT_EQ(model.Move({250, 100}, false).redraw, PatchUpdate::Redraw::None);
    EXPECT_EQ(model.Move({40, 100}, true).redraw, PatchUpdate::Redraw::None);
    EXPECT_EQ(model.Move({310, 100}, true).redraw, PatchUpdate::Redraw::None);
    EXPECT_EQ(model.Move({100, 450}, true).redraw, PatchUpdate::Redraw::None);
    EXPECT_EQ(model.DragCurve(), curve);
    // Moving above the anchor flips the curve to start at the pointer.
    model.Move({300, 41}, true);
    EXPECT_EQ(model.DragCurve(),
              (std::array<PatchPoint, 4>{{{300, 41}, {300, 77}, {46, 77}, {46, 57}}}));
}

TEST_F(PatchModelTest, CompactLayoutFollowsEveryButtonMoveAndCentresWithoutOffset) {
    PatchLayout compact;
    compact.centreOffset = 0;
    compact.boundedMoves = false;
    compact.dragRedraw = {0, 66, 400, 500};
    PatchModel twin(&table, compact);
    EXPECT_EQ(twin.Group(kMme).JackCentre(kJackSideLeft, 0), (PatchPoint{100, 58}));
    twin.Press(LeftJack(kMme, 0));
    const PatchUpdate u = twin.Move({5, 5}, true);
    EXPECT_EQ(u.redraw, PatchUpdate::Redraw::Area);
    EXPECT_EQ(u.area, compact.dragRedraw);
    EXPECT_EQ(twin.DragCurve()[0], (PatchPoint{5, 5}));
}

TEST_F(PatchModelTest, OutputsOffTogglesRecordZeroOfItsLayerOnly) {
    EXPECT_TRUE(model.ToggleOutputsOff(kWdm));
    EXPECT_EQ(Rec(kWdm, 0).kindMute, 1);
    EXPECT_EQ(Rec(kMme, 0).kindMute, 0);
    EXPECT_EQ(Rec(kAsio, 0).kindMute, 0);
    EXPECT_TRUE(model.OutputsOff(kWdm));
    EXPECT_FALSE(model.ToggleOutputsOff(kWdm));
    EXPECT_EQ(Rec(kWdm, 0).kindMute, 0);
    EXPECT_FALSE(model.ToggleOutputsOff(kInput));  // INPUT has no OUT switch
    EXPECT_EQ(Rec(kInput, 0).kindMute, 0);
}

TEST_F(PatchModelTest, ResetClearsEveryRecordAndMarksTheReservedField) {
    for (RouteRecord& r : table.records) {
        r = {1, 5, 2, 1, 7, 1, 3};
    }
    model.Reset();
    for (const RouteRecord& r : table.records) {
        EXPECT_EQ(
            r.routeOut | r.routeIn | r.targetKind | r.targetSide | r.targetChannel | r.kindMute, 0);
        EXPECT_EQ(r.inputSource, -1);
    }
    EXPECT_TRUE(model.Cables().empty());
}

TEST_F(PatchModelTest, DestinationsOutsideTheViewAreNeitherDrawnNorFollowed) {
    Rec(kMme, 0) = {1, 0, 9, 1, 400, 0, -1};  // from storage, out of range
    Rec(kMme, 1) = {1, 0, kAsio, 1, 3, 0, -1};
    Rec(kAsio, 3).routeIn = 1;
    EXPECT_EQ(model.Cables().size(), 1u);
    model.Press(LeftJack(kMme, 0));  // treated as a free jack; nothing written out of bounds
    model.Release({5, 5});
    EXPECT_EQ(Rec(kMme, 0).routeOut, 1);
    model.Release(LeftJack(kMme, 0));  // pulls it without touching any count
    EXPECT_EQ(Rec(kMme, 0).routeOut, 0);
    EXPECT_EQ(Rec(kAsio, 3).routeIn, 1);
}

TEST_F(PatchModelTest, CountsNeverDropBelowZero) {
    Rec(kInput, 2) = {1, 0, kMme, 1, 6, 0, -1};  // a cable whose destination lost its count
    model.Press(LeftJack(kInput, 2));
    EXPECT_EQ(Rec(kMme, 6).routeIn, 0);
    model.Release({5, 5});
    EXPECT_EQ(Rec(kMme, 6).routeIn, 0);
}

}  // namespace
}  // namespace q407::panel
