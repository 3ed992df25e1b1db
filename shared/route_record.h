// One FlexPATH routing record and the table of 64 of them inside MixerSettings. The engine and the
// control panel read the same bytes under different names; each field notes both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client_kinds.h"

namespace q407 {

// Seven signed 32-bit little-endian integers.
struct RouteRecord {
    // Engine: this source channel feeds the target below.
    // Panel "in use": 1 while a cable leaves this (kind, channel) source jack, else 0.
    int32_t routeOut;
    // Engine: this capture channel takes its signal from the routing (capture-side records of
    // kinds MME and ASIO).
    // Panel "cable count": cables ending at this (kind, channel) destination jack, never below 0.
    int32_t routeIn;
    // Engine: target kind 0..3; a stored value above 3 becomes 0.
    // Panel "destination group": 0 MME, 1 WDM (DOLBY), 2 ASIO, 3 INPUT.
    int32_t targetKind;
    // Engine: not used.
    // Panel "destination side": always 1.
    int32_t targetSide;
    // Engine: target channel 0..16; a stored value above 16 becomes the record's own channel.
    // Panel "destination index": jack 0..15 of the destination group.
    int32_t targetChannel;
    // Engine: meaningful in the first record of a kind only; routed source channels of that kind
    // are silenced on their direct output.
    // Panel "outputs off": the OUT switch of groups 0, 1 and 2, kept in their record 0.
    int32_t kindMute;
    // Engine: device input channel that feeds this capture channel, or -1; computed by the engine
    // from the INPUT records, never taken from the client.
    // Panel "reserved": -1 after the routing view's Reset, otherwise left as it is.
    int32_t inputSource;
};

static_assert(sizeof(RouteRecord) == 28);
static_assert(offsetof(RouteRecord, routeOut) == 0);
static_assert(offsetof(RouteRecord, routeIn) == 4);
static_assert(offsetof(RouteRecord, targetKind) == 8);
static_assert(offsetof(RouteRecord, targetSide) == 12);
static_assert(offsetof(RouteRecord, targetChannel) == 16);
static_assert(offsetof(RouteRecord, kindMute) == 20);
static_assert(offsetof(RouteRecord, inputSource) == 24);

inline constexpr int32_t kRouteChannelsPerKind = 16;
inline constexpr int32_t kRouteRecordCount = kClientKindCount * kRouteChannelsPerKind;
inline constexpr int32_t kRouteMaxTargetKind = 3;
inline constexpr int32_t kRouteMaxTargetChannel = 16;
inline constexpr int32_t kRouteNoInputSource = -1;

// Kind-major: the record of kind k and channel c is entry 16k + c.
struct RouteTable {
    RouteRecord records[kRouteRecordCount];
};
static_assert(sizeof(RouteTable) == 64 * 28);

// Index of (kind, channel) in a RouteTable; the caller keeps kind in 0..3 and channel in 0..15.
constexpr int32_t RouteRecordIndex(int32_t kind, int32_t channel) {
    return kind * kRouteChannelsPerKind + channel;
}
constexpr int32_t RouteRecordIndex(ClientKind kind, int32_t channel) {
    return RouteRecordIndex(static_cast<int32_t>(kind), channel);
}

}  // namespace q407
