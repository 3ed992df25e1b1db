// Client samples to engine samples and back: where the client's bits land in a 32-bit sample.
#include "wdmdriver/sample_conversion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace q407::testing {
namespace {

using wdm::ClientToEngine;
using wdm::EngineToClient;

TEST(SampleConversion, SixteenBitPlaybackFillsTheUpperHalfAndZeroesTheLower) {
    const std::vector<uint8_t> client = {0x34, 0x12, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x7F};
    std::vector<LONG> engine(4, 0x5A5A5A5A);
    ClientToEngine(client.data(), 2, engine.data(), 4);
    EXPECT_EQ(static_cast<uint32_t>(engine[0]), 0x12340000u);
    EXPECT_EQ(engine[1], -65536);     // -1 << 16
    EXPECT_EQ(engine[2], INT32_MIN);  // most negative stays most negative
    EXPECT_EQ(static_cast<uint32_t>(engine[3]), 0x7FFF0000u);
}

TEST(SampleConversion, ThirtyTwoBitSamplesPassUnchangedBothWays) {
    const std::vector<int32_t> values = {0, 1, -1, INT32_MIN, INT32_MAX, 0x12345678};
    std::vector<LONG> engine(values.size());
    ClientToEngine(reinterpret_cast<const UCHAR*>(values.data()), 4, engine.data(),
                   static_cast<ULONG>(values.size()));
    for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(engine[i], values[i]);
    std::vector<int32_t> back(values.size(), 7);
    EngineToClient(engine.data(), 4, reinterpret_cast<UCHAR*>(back.data()),
                   static_cast<ULONG>(engine.size()));
    EXPECT_EQ(back, values);
}

TEST(SampleConversion, SixteenBitRecordingKeepsTheUpperHalf) {
    const std::vector<LONG> engine = {0x12345678, static_cast<LONG>(0xFFFF0001u), INT32_MIN,
                                      0x0000FFFF};
    std::vector<uint8_t> client(engine.size() * 2 + 1, 0xEE);
    EngineToClient(engine.data(), 2, client.data(), static_cast<ULONG>(engine.size()));
    const std::vector<uint8_t> expected = {0x34, 0x12, 0xFF, 0xFF, 0x00, 0x80, 0x00, 0x00, 0xEE};
    EXPECT_EQ(client, expected);  // and nothing written past the samples
}

TEST(SampleConversion, ThreeByteSamplesUseTheUpperThreeBytes) {
    const std::vector<uint8_t> client = {0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF};
    std::vector<LONG> engine(2);
    ClientToEngine(client.data(), 3, engine.data(), 2);
    EXPECT_EQ(static_cast<uint32_t>(engine[0]), 0x12345600u);
    EXPECT_EQ(engine[1], -256);
    std::vector<uint8_t> back(6);
    const std::vector<LONG> recorded = {0x123456AB, -1};
    EngineToClient(recorded.data(), 3, back.data(), 2);
    EXPECT_EQ(back, (std::vector<uint8_t>{0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF}));
}

TEST(SampleConversion, UnsupportedWidthsWriteNothing) {
    const std::vector<uint8_t> client(16, 0x11);
    std::vector<LONG> engine(2, 9);
    ClientToEngine(client.data(), 0, engine.data(), 2);
    ClientToEngine(client.data(), 5, engine.data(), 2);
    EXPECT_EQ(engine, (std::vector<LONG>{9, 9}));
}

}  // namespace
}  // namespace q407::testing
