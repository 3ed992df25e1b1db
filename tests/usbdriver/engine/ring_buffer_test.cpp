#include "usbdriver/engine/ring_buffer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

namespace q407 {
namespace {

// A ring over its own storage with a guard zone on both sides to catch stray writes.
template <int32_t kElements, int32_t kElementSize>
struct GuardedRing {
    static constexpr size_t kGuard = 64;
    static constexpr size_t kBytes = static_cast<size_t>(kElements) * kElementSize;
    std::array<uint8_t, kGuard + kBytes + kGuard> memory{};
    RingBuffer ring{};

    GuardedRing() {
        memory.fill(0xA5);
        EXPECT_EQ(Initialize(&ring, kElementSize, kElements, storage(), 1, kElementSize), 0);
    }
    uint8_t* storage() { return memory.data() + kGuard; }
    bool GuardsIntact() const {
        for (size_t i = 0; i < kGuard; ++i) {
            if (memory[i] != 0xA5 || memory[kGuard + kBytes + i] != 0xA5) return false;
        }
        return true;
    }
};

std::vector<int32_t> Sequence(int32_t first, int32_t count) {
    std::vector<int32_t> v(static_cast<size_t>(count));
    std::iota(v.begin(), v.end(), first);
    return v;
}

TEST(RingBufferInitialize, RefusesCountsThatAreNotPowersOfTwoWithoutTouchingTheRecord) {
    std::vector<uint8_t> storage(4096);
    RingBuffer ring;
    std::memset(&ring, 0x5C, sizeof(ring));
    RingBuffer before;
    std::memcpy(&before, &ring, sizeof(ring));

    for (int32_t count : {1000, 0, -8, 3, 6, 1023}) {
        EXPECT_EQ(Initialize(&ring, 1, count, storage.data(), 1, 1), -1) << count;
        EXPECT_EQ(std::memcmp(&ring, &before, sizeof(ring)), 0) << count;
    }
    EXPECT_EQ(Initialize(&ring, 1, INT32_MIN, storage.data(), 1, 1), -1);
    EXPECT_EQ(Initialize(nullptr, 1, 1024, storage.data(), 1, 1), -1);
    EXPECT_EQ(Initialize(&ring, 1, 1024, nullptr, 1, 1), -1);
    EXPECT_EQ(Initialize(&ring, 0, 1024, storage.data(), 1, 1), -1);
    EXPECT_EQ(std::memcmp(&ring, &before, sizeof(ring)), 0);
}

TEST(RingBufferInitialize, SetsEveryField) {
    std::vector<uint8_t> storage(1024 * 4);
    RingBuffer ring;
    std::memset(&ring, 0x5C, sizeof(ring));
    ASSERT_EQ(Initialize(&ring, 4, 1024, storage.data(), 8, 3), 0);
    EXPECT_EQ(ring.size, 1024);
    EXPECT_EQ(ring.writeIndex, 0);
    EXPECT_EQ(ring.readIndex, 0);
    EXPECT_EQ(ring.bigMask, 2047);
    EXPECT_EQ(ring.smallMask, 1023);
    EXPECT_EQ(ring.elementSize, 4);
    EXPECT_EQ(ring.buffer, storage.data());
    EXPECT_EQ(ring.channels, 8);
    EXPECT_EQ(ring.readPending, 0);
    EXPECT_EQ(ring.sampleWidth, 3);
    EXPECT_EQ(ring.bufferEnd, storage.data() + storage.size());
    EXPECT_EQ(GetReadAvailable(&ring), 0);
    EXPECT_EQ(GetWriteAvailable(&ring), 1024);

    // A one-element ring is a power of two too.
    ASSERT_EQ(Initialize(&ring, 4, 1, storage.data(), 1, 4), 0);
    EXPECT_EQ(ring.bigMask, 1);
    EXPECT_EQ(ring.smallMask, 0);
}

TEST(RingBufferTransfer, FullAndEmptyAreToldApart) {
    GuardedRing<8, 4> g;
    const auto data = Sequence(100, 9);
    EXPECT_EQ(Write(&g.ring, data.data(), 8), 8);
    EXPECT_EQ(GetReadAvailable(&g.ring), 8);
    EXPECT_EQ(GetWriteAvailable(&g.ring), 0);
    EXPECT_EQ(Write(&g.ring, data.data() + 8, 1), 0);
    EXPECT_EQ(g.ring.writeIndex, 8);  // full: write is size ahead, not equal to read

    std::vector<int32_t> out(8, -1);
    EXPECT_EQ(Read(&g.ring, out.data(), 9), 8);
    EXPECT_EQ(out, Sequence(100, 8));
    EXPECT_EQ(GetReadAvailable(&g.ring), 0);
    EXPECT_EQ(GetWriteAvailable(&g.ring), 8);
    EXPECT_EQ(Read(&g.ring, out.data(), 1), 0);
    EXPECT_TRUE(g.GuardsIntact());
}

TEST(RingBufferTransfer, PartialTransfersMoveWhatFits) {
    GuardedRing<16, 2> g;
    std::vector<uint16_t> in(20);
    std::iota(in.begin(), in.end(), uint16_t{1});
    EXPECT_EQ(Write(&g.ring, in.data(), 10), 10);
    EXPECT_EQ(Write(&g.ring, in.data() + 10, 10), 6);  // only 6 free
    std::vector<uint16_t> out(20, 0);
    EXPECT_EQ(Read(&g.ring, out.data(), 5), 5);
    EXPECT_EQ(Read(&g.ring, out.data() + 5, 20), 11);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 16, in.begin()));
    EXPECT_EQ(out[16], 0);
    EXPECT_TRUE(g.GuardsIntact());
}

TEST(RingBufferTransfer, IndicesWrapAtTwiceTheSize) {
    GuardedRing<16, 4> g;
    int32_t next = 0;
    int32_t expected = 0;
    // 3 * size elements in uneven chunks, checking data order on the way.
    for (int32_t chunk : {5, 7, 16, 3, 9, 8}) {
        const auto in = Sequence(next, chunk);
        ASSERT_EQ(Write(&g.ring, in.data(), chunk), chunk);
        next += chunk;
        EXPECT_GE(g.ring.writeIndex, 0);
        EXPECT_LT(g.ring.writeIndex, 32);
        std::vector<int32_t> out(static_cast<size_t>(chunk));
        ASSERT_EQ(Read(&g.ring, out.data(), chunk), chunk);
        EXPECT_EQ(out, Sequence(expected, chunk));
        expected += chunk;
    }
    EXPECT_EQ(next, 48);
    EXPECT_EQ(g.ring.writeIndex, 16);
    EXPECT_EQ(g.ring.readIndex, 16);
    EXPECT_EQ(GetReadAvailable(&g.ring), 0);
    EXPECT_EQ(GetWriteAvailable(&g.ring), 16);
    EXPECT_TRUE(g.GuardsIntact());
}

TEST(RingBufferTransfer, WrappedWriteAndReadUseTwoRegionsInOrder) {
    GuardedRing<8, 4> g;
    g.ring.writeIndex = 13;  // slot 5
    g.ring.readIndex = 13;
    const auto in = Sequence(1, 6);
    ASSERT_EQ(Write(&g.ring, in.data(), 6), 6);
    const int32_t* slots = reinterpret_cast<const int32_t*>(g.storage());
    EXPECT_EQ(slots[5], 1);
    EXPECT_EQ(slots[7], 3);
    EXPECT_EQ(slots[0], 4);
    EXPECT_EQ(slots[2], 6);
    EXPECT_EQ(g.ring.writeIndex, 3);  // (13 + 6) & 15
    std::vector<int32_t> out(6);
    ASSERT_EQ(Read(&g.ring, out.data(), 6), 6);
    EXPECT_EQ(out, in);
    EXPECT_TRUE(g.GuardsIntact());
}

TEST(RingBufferRegions, ReadRegionsSplitAtTheEndOfTheStorage) {
    GuardedRing<8, 4> g;
    g.ring.readIndex = 6;
    g.ring.writeIndex = 10;
    void* first = nullptr;
    void* second = nullptr;
    int32_t firstCount = -1;
    int32_t secondCount = -1;
    EXPECT_EQ(GetReadRegions(&g.ring, 4, &first, &firstCount, &second, &secondCount), 4);
    EXPECT_EQ(first, g.storage() + 6 * 4);
    EXPECT_EQ(firstCount, 2);
    EXPECT_EQ(second, g.storage());
    EXPECT_EQ(secondCount, 2);
    EXPECT_EQ(g.ring.readIndex, 6);  // queries move nothing
    EXPECT_EQ(g.ring.writeIndex, 10);

    // Asking for less than wraps gives one region.
    EXPECT_EQ(GetReadRegions(&g.ring, 2, &first, &firstCount, &second, &secondCount), 2);
    EXPECT_EQ(first, g.storage() + 6 * 4);
    EXPECT_EQ(firstCount, 2);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(secondCount, 0);

    // Asking for more than is stored is shortened.
    EXPECT_EQ(GetReadRegions(&g.ring, 100, &first, &firstCount, &second, &secondCount), 4);
    EXPECT_EQ(firstCount + secondCount, 4);

    // Nothing asked, nothing given.
    EXPECT_EQ(GetReadRegions(&g.ring, 0, &first, &firstCount, &second, &secondCount), 0);
    EXPECT_EQ(firstCount, 0);
    EXPECT_EQ(GetReadRegions(&g.ring, -3, &first, &firstCount, &second, &secondCount), 0);
    EXPECT_EQ(firstCount, 0);
    EXPECT_EQ(secondCount, 0);
}

TEST(RingBufferRegions, WriteRegionsSplitFromTheWriteSlot) {
    GuardedRing<8, 4> g;
    g.ring.readIndex = 3;
    g.ring.writeIndex = 6;  // 3 stored, 5 free: slots 6, 7, then 0, 1, 2
    void* first = nullptr;
    void* second = nullptr;
    int32_t firstCount = 0;
    int32_t secondCount = 0;
    EXPECT_EQ(GetWriteRegions(&g.ring, 8, &first, &firstCount, &second, &secondCount), 5);
    EXPECT_EQ(first, g.storage() + 6 * 4);
    EXPECT_EQ(firstCount, 2);
    EXPECT_EQ(second, g.storage());
    EXPECT_EQ(secondCount, 3);

    AdvanceWriteIndex(&g.ring, 5);
    EXPECT_EQ(GetWriteAvailable(&g.ring), 0);
    EXPECT_EQ(GetWriteRegions(&g.ring, 8, &first, &firstCount, &second, &secondCount), 0);
    EXPECT_EQ(firstCount, 0);
    EXPECT_EQ(secondCount, 0);
}

TEST(RingBufferRegions, ByteOffsetMovesOnlyTheFirstPointer) {
    std::array<int32_t, 16 * 8> storage{};
    RingBuffer ring;
    ASSERT_EQ(Initialize(&ring, 4, 16 * 8, storage.data(), 8, 4), 0);
    ring.readIndex = 120;  // wraps after 8 samples
    ring.writeIndex = 136;
    void* first = nullptr;
    void* second = nullptr;
    int32_t firstCount = 0;
    int32_t secondCount = 0;
    void* firstAt = nullptr;
    void* secondAt = nullptr;
    int32_t firstCountAt = 0;
    int32_t secondCountAt = 0;
    const int32_t m = GetReadRegions(&ring, 16, &first, &firstCount, &second, &secondCount);
    const int32_t mAt =
        GetReadRegionsAt(&ring, 16, &firstAt, &firstCountAt, &secondAt, &secondCountAt, 12);
    EXPECT_EQ(m, 16);
    EXPECT_EQ(mAt, m);
    EXPECT_EQ(firstCountAt, firstCount);
    EXPECT_EQ(secondCountAt, secondCount);
    EXPECT_EQ(firstCount, 8);
    EXPECT_EQ(firstAt, static_cast<uint8_t*>(first) + 12);
    EXPECT_EQ(secondAt, second);
    EXPECT_EQ(second, static_cast<void*>(storage.data()));
}

TEST(RingBufferRegions, IndexAdvancedPastTheReaderNeverGivesARegionOutsideTheStorage) {
    GuardedRing<8, 4> g;
    // A producer that advances by a whole fixed slot without checking can leave more than size
    // "stored"; regions must still stay inside the storage.
    AdvanceWriteIndex(&g.ring, 12);
    EXPECT_EQ(GetReadAvailable(&g.ring), 12);
    void* first = nullptr;
    void* second = nullptr;
    int32_t firstCount = 0;
    int32_t secondCount = 0;
    EXPECT_EQ(GetReadRegions(&g.ring, 12, &first, &firstCount, &second, &secondCount), 8);
    EXPECT_EQ(firstCount + secondCount, 8);
    EXPECT_EQ(GetWriteRegions(&g.ring, 4, &first, &firstCount, &second, &secondCount), 0);
    std::array<int32_t, 12> out{};
    EXPECT_EQ(Write(&g.ring, out.data(), 12), 0);
    EXPECT_EQ(Read(&g.ring, out.data(), 12), 8);
    EXPECT_TRUE(g.GuardsIntact());
}

TEST(RingBufferAdvance, AdvancesAreMaskedAndUnchecked) {
    GuardedRing<16, 1> g;
    AdvanceWriteIndex(&g.ring, 31);
    EXPECT_EQ(g.ring.writeIndex, 31);
    AdvanceWriteIndex(&g.ring, 1);
    EXPECT_EQ(g.ring.writeIndex, 0);
    AdvanceReadIndex(&g.ring, 40);
    EXPECT_EQ(g.ring.readIndex, 8);
    AdvanceReadIndex(&g.ring, -8);
    EXPECT_EQ(g.ring.readIndex, 0);
}

TEST(RingBufferFlush, EmptiesTheRingAndIgnoresNull) {
    GuardedRing<16, 1> g;
    const std::array<uint8_t, 5> bytes = {1, 2, 3, 4, 5};
    g.ring.readPending = 1;
    ASSERT_EQ(Write(&g.ring, bytes.data(), 5), 5);
    Flush(&g.ring);
    EXPECT_EQ(g.ring.writeIndex, 0);
    EXPECT_EQ(g.ring.readIndex, 0);
    EXPECT_EQ(GetReadAvailable(&g.ring), 0);
    EXPECT_EQ(g.ring.readPending, 1);  // belongs to the reader, not to Flush
    Flush(nullptr);
}

TEST(RingBufferNull, NullAndUninitialisedRingsAreEmptyAndInert) {
    EXPECT_EQ(GetReadAvailable(nullptr), 0);
    EXPECT_EQ(GetWriteAvailable(nullptr), 0);
    AdvanceReadIndex(nullptr, 1);
    AdvanceWriteIndex(nullptr, 1);
    void* first = reinterpret_cast<void*>(1);
    int32_t firstCount = 7;
    EXPECT_EQ(GetReadRegions(nullptr, 4, &first, &firstCount, nullptr, nullptr), 0);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(firstCount, 0);
    uint8_t byte = 0;
    EXPECT_EQ(Read(nullptr, &byte, 1), 0);
    EXPECT_EQ(Write(nullptr, &byte, 1), 0);

    RingBuffer zeroed{};  // engine context allocated zeroed, ring never initialised
    EXPECT_EQ(Write(&zeroed, &byte, 1), 0);
    EXPECT_EQ(Read(&zeroed, &byte, 1), 0);
}

TEST(RingBufferByteQueue, OneByteAtATimeAfterCheckingAvailability) {
    GuardedRing<4, 1> g;
    uint8_t value = 0;
    int32_t written = 0;
    while (GetWriteAvailable(&g.ring) > 0) {
        ASSERT_EQ(Write(&g.ring, &value, 1), 1);
        ++value;
        ++written;
    }
    EXPECT_EQ(written, 4);
    uint8_t out = 0xFF;
    for (uint8_t expected = 0; expected < 4; ++expected) {
        ASSERT_GT(GetReadAvailable(&g.ring), 0);
        ASSERT_EQ(Read(&g.ring, &out, 1), 1);
        EXPECT_EQ(out, expected);
    }
    EXPECT_EQ(GetReadAvailable(&g.ring), 0);
}

TEST(RingBufferConcurrency, ProducerAndConsumerOnTwoThreadsKeepEveryElementInOrder) {
    std::array<uint32_t, 64> storage{};
    RingBuffer ring;
    ASSERT_EQ(Initialize(&ring, 4, 64, storage.data(), 1, 4), 0);
    constexpr uint32_t kTotal = 200000;
    std::thread producer([&ring] {
        uint32_t next = 0;
        uint32_t chunk[13];
        while (next < kTotal) {
            const uint32_t want = kTotal - next < 13 ? kTotal - next : 13;
            for (uint32_t i = 0; i < want; ++i) chunk[i] = next + i;
            next += static_cast<uint32_t>(Write(&ring, chunk, static_cast<int32_t>(want)));
        }
    });
    uint32_t expected = 0;
    bool inOrder = true;
    uint32_t chunk[17];
    while (expected < kTotal) {
        const int32_t got = Read(&ring, chunk, 17);
        for (int32_t i = 0; i < got; ++i) inOrder = inOrder && chunk[i] == expected++;
    }
    producer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(GetReadAvailable(&ring), 0);
}

}  // namespace
}  // namespace q407
