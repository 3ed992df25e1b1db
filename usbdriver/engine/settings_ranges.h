// The range rules for the output map and the routing targets of a MixerSettings block, applied
// alike to a stored block at initialisation and to one a client hands in.
#pragma once

#include "shared/mixer_settings.h"

namespace q407 {

// A map entry naming no output maps its output to itself; a target kind out of range becomes 0
// and a target channel out of range the record's own channel.
inline void BringMapAndRoutesIntoRange(MixerSettings& block) {
    for (int32_t j = 0; j < kOutputChannelCount; ++j) {
        int32_t& entry = block.outputMap.entries[j];
        if (entry < 0 || entry >= kOutputChannelCount) entry = j;
    }
    for (int32_t i = 0; i < kRouteRecordCount; ++i) {
        RouteRecord& record = block.routeTable.records[i];
        if (record.targetKind < 0 || record.targetKind > kRouteMaxTargetKind) record.targetKind = 0;
        if (record.targetChannel < 0 || record.targetChannel > kRouteMaxTargetChannel)
            record.targetChannel = i % kRouteChannelsPerKind;
    }
}

}  // namespace q407
