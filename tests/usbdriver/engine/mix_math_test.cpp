#include "usbdriver/engine/mix_math.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace q407 {
namespace {

TEST(SaturatingAdd, ClampsOnlyOnOverflow) {
    EXPECT_EQ(SaturatingAdd(0x70000000, 0x70000000), 0x7FFFFFFF);
    EXPECT_EQ(SaturatingAdd(INT32_MIN, -1), INT32_MIN);
    EXPECT_EQ(SaturatingAdd(-0x70000000, -0x70000000), INT32_MIN);
    EXPECT_EQ(SaturatingAdd(0x7FFFFFFF, 1), 0x7FFFFFFF);
    // No overflow: the plain sum, including sums of opposite signs at the extremes.
    EXPECT_EQ(SaturatingAdd(0x7FFFFF00, 0xFF), 0x7FFFFFFF);
    EXPECT_EQ(SaturatingAdd(INT32_MAX, INT32_MIN), -1);
    EXPECT_EQ(SaturatingAdd(0x12345600, -0x00345600), 0x12000000);
    EXPECT_EQ(SaturatingAdd(-256, 256), 0);
}

// Exhaustive over a coarse grid of both operands against 64-bit arithmetic.
TEST(SaturatingAdd, AgreesWithWideArithmetic) {
    for (int64_t a = INT32_MIN; a <= INT32_MAX; a += 0x0FFFFFFF) {
        for (int64_t b = INT32_MIN; b <= INT32_MAX; b += 0x0EEEEEEE) {
            int64_t sum = a + b;
            if (sum > INT32_MAX) sum = INT32_MAX;
            if (sum < INT32_MIN) sum = INT32_MIN;
            EXPECT_EQ(SaturatingAdd(int32_t(a), int32_t(b)), int32_t(sum)) << a << " + " << b;
        }
    }
}

TEST(PeakOfRun, TakesTheTopSevenMagnitudeBitsOfItsStride) {
    std::vector<int32_t> s = {0x10000000, 0x7F000000, 0x20000000, 0, INT32_MIN, 0, 0x05000000, 0};
    // Stride 2 sees 0x10000000, 0x20000000, INT32_MIN (complement 0x7FFFFFFF), 0x05000000.
    EXPECT_EQ(PeakOfRun(s.data(), 2, 4), 127);
    // Stride 2 from the second sample: 0x7F000000 and zeros.
    EXPECT_EQ(PeakOfRun(s.data() + 1, 2, 4), 127);
    EXPECT_EQ(PeakOfRun(s.data(), 4, 1), 0x10);
    const int32_t small[] = {0x00FFFFFF, -0x01000000};
    // -0x01000000 complements to 0x00FFFFFF: below one step of the meter.
    EXPECT_EQ(PeakOfRun(small, 1, 2), 0);
    const int32_t negative[] = {-0x40000001};
    EXPECT_EQ(PeakOfRun(negative, 1, 1), 0x40);
    EXPECT_EQ(PeakOfRun(s.data(), 1, 0), 0);
}

}  // namespace
}  // namespace q407
