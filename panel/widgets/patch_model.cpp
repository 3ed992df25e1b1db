#include "panel/widgets/patch_model.h"

#include <algorithm>

namespace q407::panel {

namespace {

// Group x positions relative to the INPUT group; the order is the table's kind order.
constexpr std::array<int32_t, kPatchGroupCount> kGroupOffsets = {48, 135, 183, 0};
constexpr int32_t kInputGroup = 3;

bool SideValid(int32_t side) {
    return side == kJackSideLeft || side == kJackSideRight;
}

}  // namespace

JackGroup::JackGroup(int32_t x, int32_t y, int32_t leftCount, int32_t rightCount,
                     RouteRecord* records, int32_t centreOffset)
    : x_(x),
      y_(y),
      counts_{std::clamp(leftCount, 0, kPatchMaxJacks), std::clamp(rightCount, 0, kPatchMaxJacks)},
      centreOffset_(centreOffset),
      records_(records) {}

int32_t JackGroup::JackCount(int32_t side) const {
    return SideValid(side) ? counts_[side] : 0;
}

PatchRect JackGroup::JackRect(int32_t side, int32_t index) const {
    const int32_t left = x_ + (side == kJackSideRight ? kRightColumnOffset : 0);
    const int32_t top = y_ + kJackPitch * index;
    return {left, top, left + kJackWidth, top + kJackHeight};
}

PatchPoint JackGroup::JackCentre(int32_t side, int32_t index) const {
    const PatchRect r = JackRect(side, index);
    return {(r.left + r.right) / 2 + centreOffset_, (r.top + r.bottom) / 2 + centreOffset_};
}

PatchRect JackGroup::Bounds() const {
    const int32_t side = counts_[kJackSideRight] > 0 ? kJackSideRight : kJackSideLeft;
    const int32_t last = std::max(counts_[side], counts_[kJackSideLeft]) - 1;
    if (last < 0) {
        return {x_, y_, x_, y_};
    }
    const PatchRect column = JackRect(side, 0);
    const PatchRect bottom = JackRect(kJackSideLeft, last);
    return {x_, y_, column.right, bottom.bottom};
}

bool JackGroup::Highlighted(int32_t side, int32_t index) const {
    return SideValid(side) && index >= 0 && index < kPatchMaxJacks && highlight_[side][index];
}

void JackGroup::SetHighlight(int32_t side, int32_t index, bool on) {
    if (SideValid(side) && index >= 0 && index < kPatchMaxJacks) {
        highlight_[side][index] = on;
    }
}

void JackGroup::ClearHighlights() {
    highlight_ = {};
}

PatchModel::PatchModel(RouteTable* table, const PatchLayout& layout) : layout_(layout) {
    const int32_t inputs = std::clamp(layout.inputCount, 0, kPatchMaxJacks);
    const int32_t playback = std::clamp(layout.playbackCount, 0, kPatchMaxJacks);
    for (int32_t g = 0; g < kPatchGroupCount; ++g) {
        const bool hasRight = g == static_cast<int32_t>(ClientKind::MME) ||
                              g == static_cast<int32_t>(ClientKind::ASIO);
        groups_[g] = JackGroup(layout.originX + kGroupOffsets[g], layout.originY,
                               g == kInputGroup ? inputs : playback, hasRight ? inputs : 0,
                               &table->records[RouteRecordIndex(g, 0)], layout.centreOffset);
    }
}

JackRef PatchModel::HitTest(PatchPoint p) const {
    for (int32_t g = 0; g < kPatchGroupCount; ++g) {
        const JackGroup& group = groups_[g];
        if (!group.Bounds().Contains(p)) {
            continue;
        }
        for (int32_t side = kJackSideLeft; side <= kJackSideRight; ++side) {
            for (int32_t k = 0; k < group.JackCount(side); ++k) {
                if (group.JackRect(side, k).Contains(p)) {
                    return {g, side, k};
                }
            }
        }
    }
    return {};
}

// The stored destination of a record names a right jack; the table may come from storage, so a
// destination that names no jack of this view is treated as no destination.
bool PatchModel::DestinationOf(const RouteRecord& r, JackRef& out) const {
    if (r.targetKind < 0 || r.targetKind >= kPatchGroupCount || r.targetChannel < 0 ||
        r.targetChannel >= kPatchMaxJacks) {
        return false;
    }
    out = {r.targetKind, kJackSideRight, r.targetChannel};
    return true;
}

JackRef PatchModel::FindSource(int32_t group, int32_t index) const {
    for (int32_t g = 0; g < kPatchGroupCount; ++g) {
        for (int32_t k = 0; k < kRouteChannelsPerKind; ++k) {
            const RouteRecord& r = groups_[g].Record(k);
            if (r.routeOut == 1 && r.targetKind == group && r.targetSide == kJackSideRight &&
                r.targetChannel == index) {
                return {g, kJackSideLeft, k};
            }
        }
    }
    return {};
}

void PatchModel::Connect(int32_t leftGroup, int32_t leftIndex, int32_t rightGroup,
                         int32_t rightIndex) {
    if (leftGroup < 0 || leftGroup >= kPatchGroupCount || rightGroup < 0 ||
        rightGroup >= kPatchGroupCount || leftIndex < 0 || leftIndex >= kPatchMaxJacks ||
        rightIndex < 0 || rightIndex >= kPatchMaxJacks) {
        return;
    }
    RouteRecord& source = groups_[leftGroup].Record(leftIndex);
    // A cable already leaving this jack is overwritten; its destination keeps its count.
    source.routeOut = 1;
    source.targetKind = rightGroup;
    source.targetSide = kJackSideRight;
    source.targetChannel = rightIndex;
    groups_[rightGroup].Record(rightIndex).routeIn += 1;
}

void PatchModel::Disconnect(int32_t group, int32_t index) {
    if (group < 0 || group >= kPatchGroupCount || index < 0 || index >= kPatchMaxJacks) {
        return;
    }
    RouteRecord& source = groups_[group].Record(index);
    JackRef dest;
    if (DestinationOf(source, dest)) {
        RouteRecord& target = groups_[dest.group].Record(dest.index);
        target.routeIn = std::max(target.routeIn - 1, 0);
    }
    source.routeOut = 0;
    source.targetKind = 0;
    source.targetSide = 0;
    source.targetChannel = 0;
}

void PatchModel::SetHighlight(JackRef j, bool on) {
    if (j.Valid()) {
        groups_[j.group].SetHighlight(j.side, j.index, on);
    }
}

void PatchModel::TrackHover(PatchPoint q) {
    moved_ = true;
    const JackRef hit = HitTest(q);
    if (!hit.Valid() || hit == hover_) {
        return;
    }
    if (hover_ != origin_) {
        SetHighlight(hover_, false);
    }
    hover_ = hit;
    // Only jacks across from the fixed end are targets.
    if (hit.side != origin_.side) {
        SetHighlight(hit, true);
    }
}

void PatchModel::DragStep(PatchPoint q) {
    if (!pressed_) {
        return;
    }
    TrackHover(q);
    const PatchPoint a = anchor_;
    if (a.y < q.y) {
        drag_ = {a, PatchPoint{a.x, q.y + 20}, PatchPoint{q.x, q.y + 20}, q};
    } else {
        drag_ = {q, PatchPoint{q.x, a.y + 20}, PatchPoint{a.x, a.y + 20}, a};
    }
}

PatchUpdate PatchModel::Press(PatchPoint p) {
    const JackRef hit = HitTest(p);
    if (!hit.Valid()) {
        return {};
    }
    const RouteRecord& own = groups_[hit.group].Record(hit.index);
    JackRef dest;
    if (hit.side == kJackSideRight && own.routeIn >= 1 &&
        FindSource(hit.group, hit.index).Valid()) {
        // The user takes the end plugged into this jack; the source end stays fixed.
        const JackRef source = FindSource(hit.group, hit.index);
        Disconnect(source.group, source.index);
        origin_ = source;
        anchor_ = groups_[source.group].JackCentre(source.side, source.index);
    } else if (hit.side == kJackSideLeft && own.routeOut == 1 && DestinationOf(own, dest)) {
        origin_ = dest;
        anchor_ = groups_[dest.group].JackCentre(dest.side, dest.index);
        Disconnect(hit.group, hit.index);
    } else {
        ClearDrag();
        origin_ = hit;
        anchor_ = p;
    }
    hover_ = origin_;
    SetHighlight(hit, true);
    pressed_ = true;
    moved_ = false;
    DragStep(p);
    return {PatchUpdate::Redraw::Whole, {}, false};
}

PatchUpdate PatchModel::Move(PatchPoint p, bool buttonDown) {
    if (!buttonDown || (layout_.boundedMoves && !layout_.moveArea.Contains(p)) || !pressed_) {
        return {};
    }
    DragStep(p);
    return {PatchUpdate::Redraw::Area, layout_.dragRedraw, false};
}

PatchUpdate PatchModel::Release(PatchPoint p) {
    const JackRef hit = HitTest(p);
    if (hit.Valid()) {
        if (moved_) {
            if (origin_.Valid() && hit.side != origin_.side) {
                if (hit.side == kJackSideLeft) {
                    Connect(hit.group, hit.index, origin_.group, origin_.index);
                } else {
                    Connect(origin_.group, origin_.index, hit.group, hit.index);
                }
            }
            SetHighlight(origin_, false);
        } else if (hit.side == kJackSideRight) {
            // A press off the jacks started no drag: releasing on a jack pulls its cable.
            const JackRef source = FindSource(hit.group, hit.index);
            if (source.Valid()) {
                Disconnect(source.group, source.index);
            }
        } else {
            Disconnect(hit.group, hit.index);
        }
        SetHighlight(hit, false);
    }
    pressed_ = false;
    moved_ = false;
    ClearDrag();
    for (JackGroup& g : groups_) {
        g.ClearHighlights();
    }
    return {PatchUpdate::Redraw::Whole, {}, true};
}

void PatchModel::Reset() {
    for (JackGroup& g : groups_) {
        for (int32_t k = 0; k < kRouteChannelsPerKind; ++k) {
            RouteRecord& r = g.Record(k);
            r.routeOut = 0;
            r.routeIn = 0;
            r.targetKind = 0;
            r.targetSide = 0;
            r.targetChannel = 0;
            r.kindMute = 0;
            r.inputSource = kRouteNoInputSource;
        }
    }
}

bool PatchModel::OutputsOff(int32_t group) const {
    return group >= 0 && group < kInputGroup && groups_[group].Record(0).kindMute == 1;
}

bool PatchModel::ToggleOutputsOff(int32_t group) {
    if (group < 0 || group >= kInputGroup) {
        return false;
    }
    RouteRecord& r = groups_[group].Record(0);
    r.kindMute = r.kindMute == 1 ? 0 : 1;
    return r.kindMute == 1;
}

std::array<PatchPoint, 4> PatchModel::CableCurve(PatchPoint s, PatchPoint e) {
    if (s.y < e.y) {
        return {s, PatchPoint{s.x, e.y + 20}, PatchPoint{e.x, e.y + 20}, e};
    }
    return {e, PatchPoint{e.x, s.y + 20}, PatchPoint{s.x, s.y + 20}, s};
}

std::vector<PatchCable> PatchModel::Cables() const {
    std::vector<PatchCable> cables;
    for (int32_t g = 0; g < kPatchGroupCount; ++g) {
        const JackGroup& group = groups_[g];
        for (int32_t k = 0; k < group.JackCount(kJackSideLeft); ++k) {
            const RouteRecord& r = group.Record(k);
            JackRef dest;
            if (r.routeOut != 1 || !DestinationOf(r, dest)) {
                continue;
            }
            cables.push_back(
                {g, CableCurve(group.JackCentre(kJackSideLeft, k),
                               groups_[dest.group].JackCentre(dest.side, dest.index))});
        }
    }
    return cables;
}

}  // namespace q407::panel
