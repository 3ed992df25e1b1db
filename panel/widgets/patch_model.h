// The cable-patching model behind the FlexPATH views: jack geometry, the hit test, and the edits
// that pressing, dragging and releasing a cable make to the RouteTable. Plain C++ without window
// types, so that the windows stay thin and the rules can be checked without a display.
//
// The table belongs to the owner of the MixerSettings block; the model keeps pointers into it and
// must not outlive it. A record serves two jacks that share an index: "in use" and the destination
// fields belong to the left (source) jack, the cable count to the right (destination) jack.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "shared/route_record.h"

namespace q407::panel {

struct PatchPoint {
    int32_t x = 0;
    int32_t y = 0;
    friend bool operator==(const PatchPoint&, const PatchPoint&) = default;
};

// Half-open: left and top inside, right and bottom outside.
struct PatchRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    bool Contains(PatchPoint p) const {
        return p.x >= left && p.x < right && p.y >= top && p.y < bottom;
    }
    friend bool operator==(const PatchRect&, const PatchRect&) = default;
};

inline constexpr int32_t kJackSideLeft = 0;   // sources
inline constexpr int32_t kJackSideRight = 1;  // destinations
inline constexpr int32_t kPatchGroupCount = 4;
inline constexpr int32_t kPatchMaxJacks = kRouteChannelsPerKind;
inline constexpr int32_t kJackWidth = 23;
inline constexpr int32_t kJackHeight = 12;
inline constexpr int32_t kJackPitch = 23;
inline constexpr int32_t kRightColumnOffset = 39;

// A jack: group 0..3 (MME, WDM, ASIO, INPUT), side 0 left / 1 right, index in the column.
struct JackRef {
    int32_t group = -1;  // -1: no jack
    int32_t side = 0;
    int32_t index = 0;
    bool Valid() const { return group >= 0; }
    friend bool operator==(const JackRef&, const JackRef&) = default;
};

// One column pair of jacks and its slice of 16 records of the table.
class JackGroup {
  public:
    JackGroup() = default;
    JackGroup(int32_t x, int32_t y, int32_t leftCount, int32_t rightCount, RouteRecord* records,
              int32_t centreOffset);

    int32_t JackCount(int32_t side) const;
    PatchRect JackRect(int32_t side, int32_t index) const;
    // Where cables end.
    PatchPoint JackCentre(int32_t side, int32_t index) const;
    // From the group's top-left corner to the far edges of its last jack.
    PatchRect Bounds() const;
    bool Highlighted(int32_t side, int32_t index) const;
    void SetHighlight(int32_t side, int32_t index, bool on);
    void ClearHighlights();
    RouteRecord& Record(int32_t index) { return records_[index]; }
    const RouteRecord& Record(int32_t index) const { return records_[index]; }

  private:
    int32_t x_ = 0;
    int32_t y_ = 0;
    std::array<int32_t, 2> counts_{};
    int32_t centreOffset_ = 1;
    std::array<std::array<bool, kPatchMaxJacks>, 2> highlight_{};
    RouteRecord* records_ = nullptr;
};

// Where the view draws; the compact twin differs from the full view in these.
struct PatchLayout {
    int32_t originX = 41;  // x of the INPUT group; the others follow at fixed offsets
    int32_t originY = 52;
    int32_t inputCount = 16;    // jacks of the INPUT column and of the right columns
    int32_t playbackCount = 8;  // jacks of the MME, WDM and ASIO left columns
    int32_t centreOffset = 1;   // added to the integer midpoint of a jack
    bool boundedMoves = true;   // follow moves only inside moveArea
    PatchRect moveArea{41, 41, 310, 450};
    PatchRect dragRedraw{40, 40, 310, 450};  // invalidated on each drag step
};

// What a window must repaint after an operation, and whether it must tell its owner.
struct PatchUpdate {
    enum class Redraw { None, Whole, Area };
    Redraw redraw = Redraw::None;
    PatchRect area;  // with Redraw::Area
    bool notify = false;
};

// A cable to draw: its pen set (0..3 source group, 4 the dragged cable) and cubic Bezier points.
struct PatchCable {
    int32_t penSet = 0;
    std::array<PatchPoint, 4> points{};
};

inline constexpr int32_t kDragPenSet = 4;

class PatchModel {
  public:
    // table must hold all 64 records and outlive the model.
    PatchModel(RouteTable* table, const PatchLayout& layout);

    const JackGroup& Group(int32_t g) const { return groups_[g]; }
    JackRef HitTest(PatchPoint p) const;
    // First source (group, index of its left jack) of a right jack in scan order.
    JackRef FindSource(int32_t group, int32_t index) const;
    void Connect(int32_t leftGroup, int32_t leftIndex, int32_t rightGroup, int32_t rightIndex);
    void Disconnect(int32_t group, int32_t index);

    PatchUpdate Press(PatchPoint p);
    // buttons: the mouse message's key state; moves without a button are not followed.
    PatchUpdate Move(PatchPoint p, bool buttonDown);
    PatchUpdate Release(PatchPoint p);
    void Reset();

    bool OutputsOff(int32_t group) const;
    // Flips "outputs off" of group 0..2; returns the new value.
    bool ToggleOutputsOff(int32_t group);

    bool Pressed() const { return pressed_; }
    bool MovedSincePress() const { return moved_; }
    bool DragVisible() const { return pressed_ || moved_; }
    const std::array<PatchPoint, 4>& DragCurve() const { return drag_; }
    JackRef Hover() const { return hover_; }
    JackRef Origin() const { return origin_; }
    // The cables of the table in drawing order (MME, WDM, ASIO, INPUT, lower index first).
    std::vector<PatchCable> Cables() const;
    const PatchLayout& Layout() const { return layout_; }

    // The hanging curve from a source jack centre s to a destination centre e.
    static std::array<PatchPoint, 4> CableCurve(PatchPoint s, PatchPoint e);

  private:
    void TrackHover(PatchPoint q);
    void DragStep(PatchPoint q);
    bool DestinationOf(const RouteRecord& r, JackRef& out) const;
    void SetHighlight(JackRef j, bool on);
    void ClearDrag() { drag_ = {}; }

    PatchLayout layout_;
    std::array<JackGroup, kPatchGroupCount> groups_;
    JackRef hover_;
    JackRef origin_;
    PatchPoint anchor_;
    std::array<PatchPoint, 4> drag_{};
    bool pressed_ = false;
    bool moved_ = false;
};

}  // namespace q407::panel
