// Where a routing record points. Records come from the client's settings block, so a target is
// looked up only through here: a target outside the per-destination tables (kinds 0..3, channels
// 0..15) names no destination at all.
#pragma once

#include "shared/route_record.h"

namespace q407 {

inline constexpr int32_t kNoRouteTarget = -1;

inline int32_t RouteTargetIndex(const RouteRecord& record) {
    if (record.targetKind < 0 || record.targetKind >= kClientKindCount) return kNoRouteTarget;
    if (record.targetChannel < 0 || record.targetChannel >= kRouteChannelsPerKind)
        return kNoRouteTarget;
    return RouteRecordIndex(record.targetKind, record.targetChannel);
}

// A device input named by field 6, or -1.
inline int32_t RouteInputSource(int32_t value) {
    return value >= 0 && value < kInputChannelCount ? value : kRouteNoInputSource;
}

}  // namespace q407
