// The run arithmetic that reads one channel out of interleaved rings, and the strided copies and
// sums between runs, checked against plain element-by-element references.
#include "usbdriver/engine/sample_runs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "usbdriver/engine/ring_buffer.h"

namespace q407 {
namespace {

// Sample value that names the frame and the channel it belongs to.
int32_t Tag(int32_t frame, int32_t channel) {
    return (frame << 8) | channel;
}

std::vector<int32_t> Collect(const SampleRuns& runs) {
    std::vector<int32_t> out;
    for (const SampleRun& run : runs.run)
        for (uint32_t i = 0; i < run.count; ++i)
            out.push_back(run.samples[uint64_t(i) * run.stride]);
    return out;
}

bool InsideStorage(const SampleRuns& runs, const std::vector<int32_t>& storage) {
    const int32_t* begin = storage.data();
    const int32_t* end = storage.data() + storage.size();
    for (const SampleRun& run : runs.run) {
        if (run.count == 0) continue;
        const int32_t* last = run.samples + uint64_t(run.count - 1) * run.stride;
        if (run.samples < begin || last >= end) return false;
    }
    return true;
}

// Every read position of a small ring (frames straddle its end whenever the channel count does
// not divide the size), every channel, several period lengths: the runs give exactly the
// channel's next frames samples, in order, and nothing outside the storage.
TEST(InterleavedChannelRuns, MatchBruteForceOnWrappedRings) {
    constexpr int32_t kSize = 64;
    for (int32_t channels : {1, 2, 6, 8}) {
        for (int32_t frames : {1, 3, kSize / channels}) {
            for (int32_t start = 0; start < 2 * kSize; start += channels) {
                std::vector<int32_t> storage(kSize, -1);
                RingBuffer ring{};
                ASSERT_EQ(Initialize(&ring, 4, kSize, storage.data(), channels, 4), 0);
                // Move both indices to the start position, in whole frames as a stream would.
                AdvanceWriteIndex(&ring, start);
                AdvanceReadIndex(&ring, start);
                for (int32_t f = 0; f < frames; ++f) {
                    for (int32_t c = 0; c < channels; ++c) {
                        const int32_t v = Tag(f, c);
                        ASSERT_EQ(Write(&ring, &v, 1), 1);
                    }
                }
                void* first = nullptr;
                void* second = nullptr;
                int32_t firstCount = 0;
                int32_t secondCount = 0;
                ASSERT_EQ(GetReadRegions(&ring, channels * frames, &first, &firstCount, &second,
                                         &secondCount),
                          channels * frames);
                for (int32_t c = 0; c < channels; ++c) {
                    const SampleRuns runs =
                        InterleavedChannelRuns(first, firstCount, second, secondCount, channels, c);
                    std::vector<int32_t> expected;
                    for (int32_t f = 0; f < frames; ++f) expected.push_back(Tag(f, c));
                    EXPECT_EQ(Collect(runs), expected)
                        << "channels " << channels << " frames " << frames << " start " << start
                        << " channel " << c;
                    EXPECT_TRUE(InsideStorage(runs, storage));
                    EXPECT_EQ(runs.run[0].stride, uint32_t(channels));
                }
            }
        }
    }
}

// The first region ends inside the last frame: the channels past the split find their last
// sample at the very start of the second region, which holds less than one frame.
TEST(InterleavedChannelRuns, SecondRegionShorterThanOneFrame) {
    std::vector<int32_t> storage(16, 0);
    // 6 channels x 2 frames read from slot 6: 10 elements in the first region, 2 in the second.
    for (int32_t i = 0; i < 10; ++i) storage[size_t(6 + i)] = Tag(i / 6, i % 6);
    storage[0] = Tag(1, 4);
    storage[1] = Tag(1, 5);
    for (int32_t c = 0; c < 6; ++c) {
        const SampleRuns runs =
            InterleavedChannelRuns(storage.data() + 6, 10, storage.data(), 2, 6, c);
        EXPECT_EQ(Collect(runs), (std::vector<int32_t>{Tag(0, c), Tag(1, c)})) << "channel " << c;
    }
}

TEST(InterleavedChannelRuns, RefusesChannelsOutsideTheFrame) {
    std::vector<int32_t> storage(16, 7);
    EXPECT_EQ(InterleavedChannelRuns(storage.data(), 16, nullptr, 0, 2, 2).Total(), 0u);
    EXPECT_EQ(InterleavedChannelRuns(storage.data(), 16, nullptr, 0, 2, -1).Total(), 0u);
    EXPECT_EQ(InterleavedChannelRuns(storage.data(), 16, nullptr, 0, 0, 0).Total(), 0u);
    EXPECT_EQ(InterleavedChannelRuns(nullptr, 0, nullptr, 0, 2, 1).Total(), 0u);
}

// Copy and add between runs of different shapes, against an element-wise reference.
TEST(TransferRuns, CopiesAndAddsAcrossRunBoundaries) {
    std::vector<int32_t> a(40);
    for (size_t i = 0; i < a.size(); ++i) a[i] = int32_t(i + 1) * 1000;
    // Source: 5 samples at stride 3, then 7 at stride 2.
    SampleRuns source{};
    source.run[0] = {a.data(), 3, 5};
    source.run[1] = {a.data() + 20, 2, 7};
    const std::vector<int32_t> sourceValues = Collect(source);

    std::vector<int32_t> d(64, -5);
    SampleRuns destination{};
    destination.run[0] = {d.data() + 1, 4, 9};
    destination.run[1] = {d.data() + 50, 1, 3};
    TransferRuns(source, destination, 12, RunMode::Copy);
    EXPECT_EQ(Collect(destination), sourceValues);
    // Untouched in between.
    EXPECT_EQ(d[0], -5);
    EXPECT_EQ(d[2], -5);
    EXPECT_EQ(d[53], -5);

    TransferRuns(source, destination, 12, RunMode::Add);
    std::vector<int32_t> doubled;
    for (int32_t v : sourceValues) doubled.push_back(2 * v);
    EXPECT_EQ(Collect(destination), doubled);
}

TEST(TransferRuns, ShortSourceCopiesSilenceAndAddsNothing) {
    std::vector<int32_t> s = {1, 2, 3};
    std::vector<int32_t> d(8, 9);
    TransferRuns(SingleRun(s.data(), 1, 3), SingleRun(d.data(), 1, 8), 8, RunMode::Add);
    EXPECT_EQ(d, (std::vector<int32_t>{10, 11, 12, 9, 9, 9, 9, 9}));
    TransferRuns(SingleRun(s.data(), 1, 3), SingleRun(d.data(), 1, 8), 8, RunMode::Copy);
    EXPECT_EQ(d, (std::vector<int32_t>{1, 2, 3, 0, 0, 0, 0, 0}));
}

TEST(TransferRuns, NeverWritesPastTheDestination) {
    std::vector<int32_t> s(32, 4);
    std::vector<int32_t> d(10, 0);
    // Asked for more than the destination holds: only its 4 samples at stride 2 change.
    TransferRuns(SingleRun(s.data(), 1, 32), SingleRun(d.data(), 2, 4), 32, RunMode::Copy);
    EXPECT_EQ(d, (std::vector<int32_t>{4, 0, 4, 0, 4, 0, 4, 0, 0, 0}));
    ZeroRuns(SingleRun(d.data(), 2, 2), 100);
    EXPECT_EQ(d, (std::vector<int32_t>{0, 0, 0, 0, 4, 0, 4, 0, 0, 0}));
}

}  // namespace
}  // namespace q407
