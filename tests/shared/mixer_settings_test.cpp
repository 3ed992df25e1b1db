#include "shared/mixer_settings.h"

#include <gtest/gtest.h>

#include <cstring>

namespace q407 {
namespace {

int32_t WordAt(const MixerSettings& s, size_t offset) {
    int32_t v;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(&s) + offset, sizeof(v));
    return v;
}

TEST(MixerSettingsDefaults, MatchTheEngineDefaultsByByteOffset) {
    constexpr MixerSettings s = DefaultMixerSettings();
    EXPECT_EQ(WordAt(s, 0), 44100);
    EXPECT_EQ(WordAt(s, 4), 256);
    EXPECT_EQ(WordAt(s, 8), 4);
    EXPECT_EQ(WordAt(s, 12), 1);
    EXPECT_EQ(WordAt(s, 16), 0);
    EXPECT_EQ(WordAt(s, 20), 0);
    EXPECT_EQ(WordAt(s, 24), 1);
    for (size_t offset = 28; offset < 44; offset += 4) EXPECT_EQ(WordAt(s, offset), 0) << offset;
    for (int32_t j = 0; j < 8; ++j) EXPECT_EQ(WordAt(s, 44 + 4 * static_cast<size_t>(j)), j);
    for (size_t offset = 76; offset < 1868; offset += 4) {
        ASSERT_EQ(WordAt(s, offset), 0) << offset;
    }
}

TEST(RouteTableLayout, RecordOfKindAndChannelIsKindMajor) {
    MixerSettings s = DefaultMixerSettings();
    s.routeTable.records[RouteRecordIndex(ClientKind::ASIO, 5)].targetChannel = 0x1234;
    // 76 + 28 * (16k + c) + 16
    EXPECT_EQ(WordAt(s, 76 + 28 * (16 * 2 + 5) + 16), 0x1234);
    s.routeTable.records[RouteRecordIndex(ClientKind::INPUT, 15)].inputSource = -1;
    EXPECT_EQ(WordAt(s, 1868 - 4), -1);
}

}  // namespace
}  // namespace q407
