// The client buffer behind a wave-PCI pin: mappings follow the client's bytes (playback) or room
// (recording) and never run past them; tags are checked.
#include "sim/host/portcls/wave_client_buffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "sim/host/machine.h"

using q407::sim::portcls::WaveClientBuffer;

namespace {

struct Mapped {
    uint8_t* address = nullptr;
    uint32_t bytes = 0;
};

Mapped Map(WaveClientBuffer& buffer, uintptr_t tag) {
    Mapped m;
    EXPECT_TRUE(buffer.GetMapping(tag, &m.address, &m.bytes)) << "tag " << tag;
    return m;
}

std::vector<uint8_t> Ramp(size_t count, uint8_t first = 0) {
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

}  // namespace

TEST(WaveClientBuffer, PlaybackMappingsCarryTheClientsBytesInOrderAndNeverMore) {
    std::vector<uint8_t> storage(64);
    WaveClientBuffer buffer(false, storage.data(), storage.size(), 4, 16);
    uint8_t* address = nullptr;
    uint32_t bytes = 0;
    EXPECT_FALSE(buffer.GetMapping(1, &address, &bytes)) << "nothing written yet";

    const auto data = Ramp(40, 1);
    EXPECT_EQ(buffer.Write(data.data(), 22), 22u);  // 5 frames and half of one
    Mapped first = Map(buffer, 1);
    Mapped second = Map(buffer, 2);
    EXPECT_EQ(first.bytes, 16u);
    EXPECT_EQ(second.bytes, 4u) << "only the one whole frame left";
    EXPECT_EQ(std::vector<uint8_t>(first.address, first.address + 16),
              std::vector<uint8_t>(data.begin(), data.begin() + 16));
    EXPECT_EQ(second.address[0], data[16]);
    EXPECT_FALSE(buffer.GetMapping(3, &address, &bytes)) << "the half frame is not handed out";

    EXPECT_EQ(buffer.Write(data.data() + 22, 2), 2u);  // completes the frame
    Mapped third = Map(buffer, 3);
    EXPECT_EQ(third.bytes, 4u);
    EXPECT_EQ(third.address[3], data[23]);
    EXPECT_EQ(buffer.BytesMapped(), 24u);
    EXPECT_EQ(buffer.Queued(), 24u) << "nothing released yet";
}

TEST(WaveClientBuffer, ReleasedBytesComeFreeInRingOrderOnly) {
    std::vector<uint8_t> storage(32);
    WaveClientBuffer buffer(false, storage.data(), storage.size(), 4, 16);
    const auto data = Ramp(48);
    EXPECT_EQ(buffer.Write(data.data(), 48), 32u) << "a full ring takes no more";
    Map(buffer, 10);
    Map(buffer, 11);
    buffer.ReleaseMapping(11);
    EXPECT_EQ(buffer.Queued(), 32u) << "the earlier mapping still holds its bytes";
    EXPECT_EQ(buffer.Write(data.data(), 4), 0u);
    buffer.ReleaseMapping(10);
    EXPECT_EQ(buffer.Queued(), 0u);
    EXPECT_EQ(buffer.Write(data.data() + 32, 16), 16u);

    // The next mapping wraps: it starts at the ring's beginning with the new bytes.
    Mapped wrapped = Map(buffer, 12);
    EXPECT_EQ(wrapped.address, storage.data());
    EXPECT_EQ(wrapped.bytes, 16u);
    EXPECT_EQ(wrapped.address[0], data[32]);
}

TEST(WaveClientBuffer, AMappingStopsAtTheRingsEnd) {
    std::vector<uint8_t> storage(24);
    WaveClientBuffer buffer(false, storage.data(), storage.size(), 4, 16);
    const auto data = Ramp(24);
    buffer.Write(data.data(), 16);
    Map(buffer, 1);
    buffer.ReleaseMapping(1);
    buffer.Write(data.data(), 16);  // 8 bytes to the end, 8 wrapped
    Mapped tail = Map(buffer, 2);
    Mapped head = Map(buffer, 3);
    EXPECT_EQ(tail.address, storage.data() + 16);
    EXPECT_EQ(tail.bytes, 8u);
    EXPECT_EQ(head.address, storage.data());
    EXPECT_EQ(head.bytes, 8u);
}

TEST(WaveClientBuffer, RecordingMappingsHandOutTheClientsRoomAndReleaseMakesItReadable) {
    std::vector<uint8_t> storage(32);
    WaveClientBuffer buffer(true, storage.data(), storage.size(), 8, 16);
    EXPECT_EQ(buffer.Mappable(), 32u);
    Mapped a = Map(buffer, 1);
    Mapped b = Map(buffer, 2);
    uint8_t* address = nullptr;
    uint32_t bytes = 0;
    EXPECT_FALSE(buffer.GetMapping(3, &address, &bytes)) << "no room left";
    for (uint32_t i = 0; i < a.bytes; ++i) a.address[i] = static_cast<uint8_t>(0x10 + i);
    for (uint32_t i = 0; i < b.bytes; ++i) b.address[i] = static_cast<uint8_t>(0x40 + i);

    std::vector<uint8_t> out(64);
    EXPECT_EQ(buffer.Read(out.data(), out.size()), 0u) << "nothing released yet";
    buffer.ReleaseMapping(1);
    EXPECT_EQ(buffer.Queued(), 16u);
    EXPECT_EQ(buffer.Read(out.data(), 5), 5u);
    EXPECT_EQ(out[0], 0x10);
    EXPECT_EQ(out[4], 0x14);
    // 5 bytes read free less than a frame of room.
    EXPECT_FALSE(buffer.GetMapping(3, &address, &bytes));
    EXPECT_EQ(buffer.Read(out.data(), 64), 11u);
    EXPECT_EQ(out[10], 0x1F);
    Mapped c = Map(buffer, 3);
    EXPECT_EQ(c.bytes, 16u);
    EXPECT_EQ(c.address, storage.data());
}

TEST(WaveClientBuffer, RevokingReturnsRecordingRoomAndDropsPlaybackBytes) {
    std::vector<uint8_t> storage(32);
    WaveClientBuffer recording(true, storage.data(), storage.size(), 4, 8);
    Map(recording, 7);
    Map(recording, 8);
    uintptr_t first = 0;
    uintptr_t last = 0;
    EXPECT_EQ(recording.RevokeAll(&first, &last), 2u);
    EXPECT_EQ(first, 7u);
    EXPECT_EQ(last, 8u);
    EXPECT_EQ(recording.Mappable(), 32u);
    EXPECT_EQ(recording.Queued(), 0u);

    std::vector<uint8_t> playStorage(32);
    WaveClientBuffer playback(false, playStorage.data(), playStorage.size(), 4, 8);
    const auto data = Ramp(24);
    playback.Write(data.data(), 24);
    Map(playback, 1);
    EXPECT_EQ(playback.RevokeAll(&first, &last), 1u);
    EXPECT_EQ(playback.Queued(), 16u) << "the revoked mapping's bytes are gone, the rest stays";
    playback.Reset();
    EXPECT_EQ(playback.Queued(), 0u);
    EXPECT_EQ(playback.Mappable(), 0u);
}

class WaveClientBufferVerifier : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(WaveClientBufferVerifier, ATagReleasedTwiceOrNeverHandedOutStops) {
    EXPECT_DEATH(
        {
            q407::sim::Machine m;
            std::vector<uint8_t> storage(16);
            WaveClientBuffer buffer(false, storage.data(), storage.size(), 4, 8);
            buffer.Write(storage.data(), 8);
            uint8_t* address;
            uint32_t bytes;
            buffer.GetMapping(5, &address, &bytes);
            buffer.ReleaseMapping(5);
            buffer.ReleaseMapping(5);
        },
        "VERIFIER: IPortWavePciStream::ReleaseMapping: tag 5 is not held by any mapping");
    EXPECT_DEATH(
        {
            q407::sim::Machine m;
            std::vector<uint8_t> storage(16);
            WaveClientBuffer buffer(true, storage.data(), storage.size(), 4, 8);
            buffer.ReleaseMapping(9);
        },
        "VERIFIER: IPortWavePciStream::ReleaseMapping: tag 9 is not held by any mapping "
        "\\(released twice or never handed out\\)");
}

TEST_F(WaveClientBufferVerifier, ATagHandedOutWhileStillHeldStops) {
    EXPECT_DEATH(
        {
            q407::sim::Machine m;
            std::vector<uint8_t> storage(16);
            WaveClientBuffer buffer(true, storage.data(), storage.size(), 4, 8);
            uint8_t* address;
            uint32_t bytes;
            buffer.GetMapping(3, &address, &bytes);
            buffer.GetMapping(3, &address, &bytes);
        },
        "VERIFIER: IPortWavePciStream::GetMapping: tag 3 is already held");
}

TEST(WaveClientBuffer, StoppingKeepsCapturedBytesAndDropsTheUnfinishedMapping) {
    std::vector<uint8_t> storage(32);
    WaveClientBuffer buffer(true, storage.data(), storage.size(), 4, 8);
    Mapped done = Map(buffer, 1);
    Map(buffer, 2);
    for (uint32_t i = 0; i < done.bytes; ++i) done.address[i] = static_cast<uint8_t>(0xA0 + i);
    buffer.ReleaseMapping(1);
    buffer.RevokeAll(nullptr, nullptr);
    buffer.Reset();
    EXPECT_EQ(buffer.Queued(), 8u);
    std::vector<uint8_t> out(16);
    EXPECT_EQ(buffer.Read(out.data(), out.size()), 8u);
    EXPECT_EQ(out[7], 0xA7);
    Mapped next = Map(buffer, 3);
    EXPECT_EQ(next.address, storage.data() + 8) << "recording goes on after the kept bytes";
}
